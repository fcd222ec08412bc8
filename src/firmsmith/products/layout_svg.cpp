#include "firmsmith/products/layout_svg.h"

#include <cstdio>

namespace products {
namespace {

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  return buf;
}

std::string Rgb(Colour c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "#%02x%02x%02x", c.r, c.g, c.b);
  return buf;
}

}  // namespace

std::string LayoutSvg(const LayoutPicture& p) {
  std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" + Num(p.width) +
         "\" height=\"" + Num(p.height) + "\" viewBox=\"0 0 " + Num(p.width) + " " +
         Num(p.height) + "\">\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  for (const PictureRect& r : p.rects) {
    svg += "<rect id=\"" + Escape(r.id) + "\" x=\"" + Num(r.x) + "\" y=\"" + Num(r.y) +
           "\" width=\"" + Num(r.w) + "\" height=\"" + Num(r.h) + "\" fill=\"" + Rgb(r.fill) +
           "\"" + (r.stroked ? " stroke=\"" + Rgb(r.stroke) + "\" stroke-width=\"1\"" : "") +
           "><title>" + Escape(r.tip) + "</title></rect>\n";
  }
  for (const PictureLine& l : p.lines)
    svg += "<line x1=\"" + Num(l.x1) + "\" y1=\"" + Num(l.y1) + "\" x2=\"" + Num(l.x2) +
           "\" y2=\"" + Num(l.y2) + "\" stroke=\"" + Rgb(l.colour) + "\" stroke-width=\"0.5\"/>\n";
  for (const PictureText& t : p.texts)
    svg += "<text x=\"" + Num(t.x) + "\" y=\"" + Num(t.y) + "\" font-family=\"sans-serif\" "
           "font-size=\"" + Num(p.fontSize) + "\" fill=\"" + Rgb(t.colour) + "\"" +
           (t.bold ? " font-weight=\"bold\"" : "") + ">" + Escape(t.text) + "</text>\n";
  svg += "</svg>\n";
  return svg;
}

}  // namespace products
