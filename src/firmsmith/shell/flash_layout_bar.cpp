#include "firmsmith/shell/flash_layout_bar.h"

#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

namespace shell {
namespace {

QColor ToQt(products::Colour c) { return QColor(c.r, c.g, c.b); }

}  // namespace

FlashLayoutBar::FlashLayoutBar(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("flashLayoutBar"));
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void FlashLayoutBar::SetFlashLayout(products::FlashLayout layout) {
  layout_ = std::move(layout);
  update();
}

products::LayoutPicture FlashLayoutBar::Picture() const {
  return products::DrawFlashLayout(layout_, width(), height());
}

void FlashLayoutBar::paintEvent(QPaintEvent*) {
  const products::LayoutPicture pic = Picture();
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing, false);
  for (const products::PictureRect& r : pic.rects) {
    painter.setPen(r.stroked ? QPen(ToQt(r.stroke)) : Qt::NoPen);
    painter.setBrush(ToQt(r.fill));
    painter.drawRect(QRectF(r.x, r.y, r.w, r.h));
  }
  painter.setRenderHint(QPainter::Antialiasing, true);
  for (const products::PictureLine& l : pic.lines) {
    painter.setPen(QPen(ToQt(l.colour), 0.5));
    painter.drawLine(QPointF(l.x1, l.y1), QPointF(l.x2, l.y2));
  }
  QFont font = this->font();
  font.setPixelSize(static_cast<int>(pic.fontSize));
  for (const products::PictureText& t : pic.texts) {
    font.setBold(t.bold);
    painter.setFont(font);
    painter.setPen(ToQt(t.colour));
    painter.drawText(QPointF(t.x, t.y), QString::fromStdString(t.text));
  }
}

bool FlashLayoutBar::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    const QPointF at = static_cast<QHelpEvent*>(event)->pos();
    const products::LayoutPicture pic = Picture();
    QString tip;
    // The partition under the pointer; its fill band adds how full it is.
    for (const products::PictureRect& r : pic.rects) {
      if (!QRectF(r.x, r.y, r.w, r.h).contains(at) && !(r.id.rfind("fill-", 0) == 0)) continue;
      if (r.id.rfind("part-", 0) == 0) {
        tip = QString::fromStdString(r.tip);
      } else if (r.id.rfind("fill-", 0) == 0 && !tip.isEmpty() &&
                 at.y() >= r.y && at.y() < r.y + r.h) {
        tip += QStringLiteral("\n") + QString::fromStdString(r.tip);
      }
    }
    if (tip.isEmpty()) {
      QToolTip::hideText();
      event->ignore();
    } else {
      QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), tip, this);
    }
    return true;
  }
  return QWidget::event(event);
}

}  // namespace shell
