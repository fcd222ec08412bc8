#include "peer_tools.h"

#include <json/json.h>

#include <memory>
#include <sstream>

#include "test_support.h"

namespace workbooktest {

const std::vector<std::string> kSampleTexts = {
    "Plain Latin text",
    "Größe ändern — Ça marche",
    "Сохранить настройки",
    "录像回放设置",
    "録画の設定を保存",
    "إعدادات التسجيل",
    "Emoji 📹🎥 in a label",
    "",
    "tab\tand \"quotes\", comma",
};

namespace {

// Runs a Python reader script on `path` and parses the JSON it prints.
bool RunPythonReader(const std::string& module, const char* script, const std::string& path,
                     Json::Value* root, std::string* error) {
  const testsupport::CommandResult run = testsupport::RunCommand({kSystemPython, "-c", script, path});
  if (run.status != 0) {
    *error = module + " failed: " + run.err;
    return false;
  }
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string parseError;
  if (!reader->parse(run.out.data(), run.out.data() + run.out.size(), root, &parseError)) {
    *error = module + " output is not JSON: " + parseError;
    return false;
  }
  return true;
}

}  // namespace

bool HavePythonModule(const std::string& module) {
  return testsupport::RunCommand({kSystemPython, "-c", "import " + module}).status == 0;
}

bool ReadWithXlrd(const std::string& path, std::vector<PeerSheet>* sheets, std::string* error) {
  static const char kScript[] = R"PY(
import json, sys, xlrd
book = xlrd.open_workbook(sys.argv[1])
out = []
for sheet in book.sheets():
    cells = []
    for r in range(sheet.nrows):
        for c in range(sheet.ncols):
            cell = sheet.cell(r, c)
            if cell.ctype in (xlrd.XL_CELL_EMPTY, xlrd.XL_CELL_BLANK):
                continue
            cells.append([r, c, cell.ctype, cell.value])
    out.append({"name": sheet.name, "cells": cells})
sys.stdout.write(json.dumps(out, ensure_ascii=False))
)PY";
  Json::Value root;
  if (!RunPythonReader("xlrd", kScript, path, &root, error)) return false;
  sheets->clear();
  for (const Json::Value& s : root) {
    PeerSheet sheet;
    sheet.name = s["name"].asString();
    for (const Json::Value& c : s["cells"]) {
      workbook::Cell cell;
      switch (c[2].asInt()) {
        case 1:  // XL_CELL_TEXT
          cell.text = c[3].asString();
          break;
        case 2:  // XL_CELL_NUMBER
          cell.kind = workbook::CellKind::kNumber;
          cell.number = c[3].asDouble();
          break;
        case 4:  // XL_CELL_BOOLEAN
          cell.kind = workbook::CellKind::kBoolean;
          cell.boolean = c[3].asInt() != 0;
          break;
        case 5:  // XL_CELL_ERROR
          cell.kind = workbook::CellKind::kError;
          cell.error = static_cast<std::uint8_t>(c[3].asInt());
          break;
        default:
          *error = "xlrd reports an unexpected cell type " + c[2].asString();
          return false;
      }
      sheet.cells[{c[0].asInt(), c[1].asInt()}] = cell;
    }
    sheets->push_back(std::move(sheet));
  }
  return true;
}

bool ReadWithOpenpyxl(const std::string& path, PeerSheet* sheet, std::string* error) {
  static const char kScript[] = R"PY(
import json, sys, openpyxl
book = openpyxl.load_workbook(sys.argv[1], data_only=True)
sheet = book.worksheets[0]
cells = []
for row in sheet.iter_rows():
    for cell in row:
        if cell.value is None:
            continue
        v = cell.value
        kind = "b" if isinstance(v, bool) else "n" if isinstance(v, (int, float)) else "s"
        cells.append([cell.row - 1, cell.column - 1, kind, v if kind != "s" else str(v)])
sys.stdout.write(json.dumps({"name": sheet.title, "cells": cells}, ensure_ascii=False))
)PY";
  Json::Value root;
  if (!RunPythonReader("openpyxl", kScript, path, &root, error)) return false;
  sheet->name = root["name"].asString();
  sheet->cells.clear();
  for (const Json::Value& c : root["cells"]) {
    workbook::Cell cell;
    const std::string kind = c[2].asString();
    if (kind == "b") {
      cell.kind = workbook::CellKind::kBoolean;
      cell.boolean = c[3].asBool();
    } else if (kind == "n") {
      cell.kind = workbook::CellKind::kNumber;
      cell.number = c[3].asDouble();
    } else {
      cell.text = c[3].asString();
    }
    sheet->cells[{c[0].asInt(), c[1].asInt()}] = cell;
  }
  return true;
}

bool WriteZipParts(const std::string& path,
                   const std::vector<std::pair<std::string, std::string>>& parts,
                   std::string* error, bool encryptedFlag) {
  static const char kScript[] = R"PY(
import json, sys, zipfile
parts = json.loads(sys.stdin.read())
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for name, content in parts:
        info = zipfile.ZipInfo(name)
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, content.encode("utf-8"))
if sys.argv[2] == "1":
    # zipfile writes no encrypted entries: set the flag in every local and
    # central header by hand.
    data = bytearray(open(sys.argv[1], "rb").read())
    for signature, flags in ((b"PK\x03\x04", 6), (b"PK\x01\x02", 8)):
        at = data.find(signature)
        while at >= 0:
            data[at + flags] |= 1
            at = data.find(signature, at + 4)
    open(sys.argv[1], "wb").write(bytes(data))
)PY";
  Json::Value list(Json::arrayValue);
  for (const auto& [name, content] : parts) {
    Json::Value part(Json::arrayValue);
    part.append(name);
    part.append(content);
    list.append(part);
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  const testsupport::CommandResult run = testsupport::RunCommand(
      {kSystemPython, "-c", kScript, path, encryptedFlag ? "1" : "0"}, Json::writeString(writer, list));
  if (run.status != 0) {
    *error = "zipfile failed: " + run.err;
    return false;
  }
  return true;
}

namespace {

// xls2csv's output: sheets end with a form feed, rows with a line feed,
// cells are separated by commas and quoted with doubled inner quotes.
std::vector<std::vector<std::vector<std::string>>> ParseCsvSheets(const std::string& text) {
  std::vector<std::vector<std::vector<std::string>>> sheets(1);
  std::vector<std::string> row;
  std::string cell;
  bool quoted = false;
  bool rowOpen = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (quoted) {
      if (ch == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        cell += '"';
        ++i;
      } else if (ch == '"') {
        quoted = false;
      } else {
        cell += ch;
      }
      continue;
    }
    if (ch == '"') {
      quoted = true;
      rowOpen = true;
    } else if (ch == ',') {
      row.push_back(cell);
      cell.clear();
      rowOpen = true;
    } else if (ch == '\n') {
      row.push_back(cell);
      sheets.back().push_back(row);
      row.clear();
      cell.clear();
      rowOpen = false;
    } else if (ch == '\f') {
      if (rowOpen) {
        row.push_back(cell);
        sheets.back().push_back(row);
        row.clear();
        cell.clear();
        rowOpen = false;
      }
      sheets.emplace_back();
    } else {
      cell += ch;
      rowOpen = true;
    }
  }
  if (sheets.back().empty()) sheets.pop_back();
  return sheets;
}

}  // namespace

bool ReadWithXls2csv(const std::string& path, std::vector<std::vector<std::vector<std::string>>>* sheets,
                     std::string* error) {
  const testsupport::CommandResult run = testsupport::RunCommand({"xls2csv", "-d", "utf-8", path});
  if (run.status != 0) {
    *error = "xls2csv failed: " + run.err;
    return false;
  }
  *sheets = ParseCsvSheets(run.out);
  return true;
}

bool ReadWithLibreOffice(const std::string& path, std::vector<std::vector<std::string>>* rows,
                         std::string* error) {
  testsupport::TempDir scratch;
  const testsupport::CommandResult run = testsupport::RunCommand(
      {"soffice", "--headless", "--norestore", "--convert-to",
       "csv:Text - txt - csv (StarCalc):44,34,76,1", "--outdir", scratch / "out", path},
      "", {{"HOME", scratch / "home"}});
  const std::string name = path.substr(path.rfind('/') + 1);
  const std::string csv = scratch / ("out/" + name.substr(0, name.rfind('.')) + ".csv");
  if (!testsupport::FileExists(csv)) {
    *error = "LibreOffice wrote no CSV: " + run.out + run.err;
    return false;
  }
  const auto sheets = ParseCsvSheets(testsupport::ReadFile(csv));
  rows->clear();
  if (!sheets.empty()) *rows = sheets.front();
  return true;
}

bool WriteWithXlwt(const std::string& script, const std::string& path, std::string* error) {
  const std::string program = "import sys, xlwt\npath = sys.argv[1]\n" + script;
  const testsupport::CommandResult run = testsupport::RunCommand({kSystemPython, "-c", program, path});
  if (run.status != 0) {
    *error = "xlwt script failed: " + run.err;
    return false;
  }
  return true;
}

}  // namespace workbooktest
