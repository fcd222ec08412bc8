#include "transloom/workbook/xlsx_reader.h"

#include <expat.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <map>
#include <string_view>

#include "common/zip/zip_reader.h"
#include "transloom/workbook/utf.h"

namespace workbook::xlsx {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// Worksheets nest a handful of levels; anything deep is an attack on the stack.
constexpr int kMaxDepth = 64;
// Expat joins a namespace and a local name with this; it occurs in neither.
constexpr char kNamespaceSeparator = ' ';
// UTF-8 takes at most 3 bytes per UTF-16 unit: a longer text is over the limit.
constexpr std::size_t kMaxTextBytes = 3 * kMaxTextUnits;

constexpr std::string_view kRootRelations = "_rels/.rels";
constexpr std::string_view kTypeOfficeDocument = "/officeDocument";
constexpr std::string_view kTypeWorksheet = "/worksheet";
constexpr std::string_view kTypeSharedStrings = "/sharedStrings";

std::string_view LocalName(const XML_Char* name) {
  const char* separator = std::strrchr(name, kNamespaceSeparator);
  return separator ? std::string_view(separator + 1) : std::string_view(name);
}

// The value of the attribute with the local name, or nullptr.
const char* Attribute(const XML_Char** attributes, std::string_view local) {
  for (int i = 0; attributes[i] != nullptr; i += 2)
    if (LocalName(attributes[i]) == local) return attributes[i + 1];
  return nullptr;
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

// What one part's events go to. A failed Status stops the parse.
class PartHandler {
 public:
  virtual ~PartHandler() = default;
  virtual Status Start(std::string_view name, const XML_Char** attributes) = 0;
  virtual Status End(std::string_view name) = 0;
  virtual Status Text(std::string_view) { return Status::Ok(); }
};

struct ParserFree {
  void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

// Drives expat over one part and stops it at the first refusal.
class PartParser {
 public:
  explicit PartParser(PartHandler* handler) : handler_(handler) {}

  Status Parse(ZZIP_FILE* file, const std::string& part, std::uint64_t limit) {
    std::unique_ptr<XML_ParserStruct, ParserFree> parser(
        XML_ParserCreateNS("UTF-8", kNamespaceSeparator));
    if (!parser) return Status::Fail(part + ": out of memory");
    parser_ = parser.get();
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, &PartParser::OnStart, &PartParser::OnEnd);
    XML_SetCharacterDataHandler(parser_, &PartParser::OnText);
    // No document type declaration at all: without one there are no
    // entities to expand and nothing outside the archive to fetch.
    XML_SetStartDoctypeDeclHandler(parser_, &PartParser::OnDoctype);
    XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);

    std::vector<char> chunk(kReadChunk);
    std::uint64_t total = 0;
    for (;;) {
      const zzip_ssize_t n = zzip_file_read(file, chunk.data(), chunk.size());
      if (n < 0) return Status::Fail(part + ": cannot unpack the part (damaged data)");
      total += static_cast<std::uint64_t>(n);
      if (total > limit)
        return Status::Fail(part + ": unpacks to more than the " + std::to_string(limit) +
                            " bytes its archive directory declares");
      const bool last = n == 0;
      if (XML_Parse(parser_, chunk.data(), static_cast<int>(n), last) != XML_STATUS_OK) {
        if (!failure_.ok) return Status::Fail(part + ": " + failure_.message);
        return Status::Fail(part + " line " +
                            std::to_string(XML_GetCurrentLineNumber(parser_)) + ": " +
                            XML_ErrorString(XML_GetErrorCode(parser_)));
      }
      if (last) return Status::Ok();
    }
  }

 private:
  void Stop(Status why) {
    if (failure_.ok) failure_ = std::move(why);
    XML_StopParser(parser_, XML_FALSE);
  }
  static void OnStart(void* self, const XML_Char* name, const XML_Char** attributes) {
    auto* p = static_cast<PartParser*>(self);
    if (++p->depth_ > kMaxDepth) return p->Stop(Status::Fail("elements nest too deeply"));
    if (Status s = p->handler_->Start(LocalName(name), attributes); !s) p->Stop(s);
  }
  static void OnEnd(void* self, const XML_Char* name) {
    auto* p = static_cast<PartParser*>(self);
    --p->depth_;
    if (Status s = p->handler_->End(LocalName(name)); !s) p->Stop(s);
  }
  static void OnText(void* self, const XML_Char* text, int length) {
    auto* p = static_cast<PartParser*>(self);
    if (Status s = p->handler_->Text(std::string_view(text, static_cast<std::size_t>(length))); !s)
      p->Stop(s);
  }
  static void OnDoctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<PartParser*>(self)->Stop(
        Status::Fail("holds a document type declaration, which a workbook never needs"));
  }

  PartHandler* handler_;
  XML_Parser parser_ = nullptr;
  Status failure_ = Status::Ok();
  int depth_ = 0;
};

// The parts of the archive by lower-case name (part names ignore case).
class Archive {
 public:
  Status Open(const std::string& path) {
    std::vector<zipfile::ZipEntryInfo> entries;
    if (Status s = zipfile::ReadZipDirectory(path, kMaxPartBytes, &entries); !s) return s;
    for (zipfile::ZipEntryInfo& e : entries) parts_[LowerAscii(e.name)] = std::move(e);
    Status opened;
    dir_ = zipfile::OpenZipArchive(path, &opened);
    if (!dir_) return opened.ok ? Status::Fail("cannot open the archive") : opened;
    return Status::Ok();
  }
  bool Has(const std::string& part) const { return parts_.count(LowerAscii(part)) != 0; }
  Status Parse(const std::string& part, PartHandler* handler) {
    const auto it = parts_.find(LowerAscii(part));
    if (it == parts_.end()) return Status::Fail("the archive has no part " + part);
    zipfile::ZzipFile file(zzip_file_open(dir_.get(), it->second.name.c_str(), 0));
    if (!file) return Status::Fail(part + ": cannot open the part in the archive");
    PartParser parser(handler);
    return parser.Parse(file.get(), part, std::min(it->second.size, kMaxPartBytes));
  }

 private:
  std::map<std::string, zipfile::ZipEntryInfo> parts_;
  zipfile::ZzipDir dir_;
};

struct Relation {
  std::string id, type, target;
  bool external = false;
};

class RelationsHandler : public PartHandler {
 public:
  std::vector<Relation> relations;
  Status Start(std::string_view name, const XML_Char** attributes) override {
    if (name != "Relationship") return Status::Ok();
    Relation r;
    const char* id = Attribute(attributes, "Id");
    const char* type = Attribute(attributes, "Type");
    const char* target = Attribute(attributes, "Target");
    const char* mode = Attribute(attributes, "TargetMode");
    if (id) r.id = id;
    if (type) r.type = type;
    if (target) r.target = target;
    r.external = mode != nullptr && std::string_view(mode) == "External";
    relations.push_back(std::move(r));
    return Status::Ok();
  }
  Status End(std::string_view) override { return Status::Ok(); }
};

// "xl/workbook.xml" -> "xl/_rels/workbook.xml.rels".
std::string RelationsPartOf(const std::string& part) {
  const std::size_t slash = part.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : part.substr(0, slash + 1);
  return folder + "_rels/" + part.substr(slash == std::string::npos ? 0 : slash + 1) + ".rels";
}

// A relation's target as a part name: absolute targets start at the root,
// others at the folder of the part that names them; ".." parts may not
// climb above the root.
bool ResolveTarget(const std::string& sourcePart, const std::string& target, std::string* part) {
  std::vector<std::string> segments;
  std::string_view rest = target;
  if (!rest.empty() && rest.front() == '/') {
    rest.remove_prefix(1);
  } else {
    const std::size_t slash = sourcePart.rfind('/');
    std::string_view folder =
        slash == std::string::npos ? std::string_view() : std::string_view(sourcePart).substr(0, slash);
    while (!folder.empty()) {
      const std::size_t next = folder.find('/');
      segments.emplace_back(folder.substr(0, next));
      folder = next == std::string_view::npos ? std::string_view() : folder.substr(next + 1);
    }
  }
  while (!rest.empty()) {
    const std::size_t next = rest.find('/');
    const std::string_view segment = rest.substr(0, next);
    rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
    if (segment.empty() || segment == ".") continue;
    if (segment == "..") {
      if (segments.empty()) return false;
      segments.pop_back();
      continue;
    }
    segments.emplace_back(segment);
  }
  if (segments.empty()) return false;
  part->clear();
  for (const std::string& s : segments) *part += (part->empty() ? "" : "/") + s;
  return true;
}

Status ReadRelations(Archive& archive, const std::string& sourcePart,
                     std::vector<Relation>* relations) {
  const std::string part = RelationsPartOf(sourcePart);
  if (!archive.Has(part)) return Status::Fail("the archive has no part " + part);
  RelationsHandler handler;
  if (Status s = archive.Parse(part, &handler); !s) return s;
  *relations = std::move(handler.relations);
  return Status::Ok();
}

// The part a relation of the given type points to; "" when there is none.
Status FindRelated(const std::vector<Relation>& relations, const std::string& sourcePart,
                   std::string_view type, const std::string& id, std::string* part) {
  part->clear();
  for (const Relation& r : relations) {
    if (!EndsWith(r.type, type) || (!id.empty() && r.id != id)) continue;
    if (r.external || !ResolveTarget(sourcePart, r.target, part))
      return Status::Fail(RelationsPartOf(sourcePart) + ": relation " + r.id + " points to \"" +
                          r.target + "\", outside the archive");
    return Status::Ok();
  }
  return Status::Ok();
}

struct SheetEntry {
  std::string name, relationId;
};

class WorkbookHandler : public PartHandler {
 public:
  std::vector<SheetEntry> sheets;
  Status Start(std::string_view name, const XML_Char** attributes) override {
    if (name != "sheet") return Status::Ok();
    SheetEntry entry;
    const char* sheetName = Attribute(attributes, "name");
    const char* id = Attribute(attributes, "id");
    if (sheetName) entry.name = sheetName;
    if (id) entry.relationId = id;
    sheets.push_back(std::move(entry));
    return Status::Ok();
  }
  Status End(std::string_view) override { return Status::Ok(); }
};

// Office Open XML writes characters XML cannot hold as "_xHHHH_".
std::string DecodeEscapes(const std::string& text) {
  if (text.find("_x") == std::string::npos) return text;
  std::u16string units;
  if (!utf::Utf8ToUtf16(text, &units)) return text;
  std::u16string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    unsigned value = 0;
    bool escape = i + 6 < units.size() && units[i] == u'_' && units[i + 1] == u'x' &&
                  units[i + 6] == u'_';
    for (std::size_t k = 2; escape && k < 6; ++k) {
      const char16_t c = units[i + k];
      const int digit = c >= u'0' && c <= u'9'   ? c - u'0'
                        : c >= u'a' && c <= u'f' ? c - u'a' + 10
                        : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                                 : -1;
      if (digit < 0) escape = false;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    if (!escape) {
      out.push_back(units[i]);
      continue;
    }
    out.push_back(static_cast<char16_t>(value));
    i += 6;
  }
  // A lone surrogate from an escape cannot become UTF-8: keep the text as written.
  std::string decoded = utf::Utf16ToUtf8(out);
  std::size_t check = 0;
  return utf::Utf16Length(decoded, &check) ? decoded : text;
}

Status CheckTextLength(const std::string& text, const std::string& where) {
  std::size_t units = 0;
  if (!utf::Utf16Length(text, &units) || units > kMaxTextUnits)
    return Status::Fail(where + ": a text longer than the " + std::to_string(kMaxTextUnits) +
                        " characters a cell holds");
  return Status::Ok();
}

// Collects text inside <t> elements, leaving out phonetic runs (<rPh>).
class TextCollector {
 public:
  void Start(std::string_view name) {
    if (name == "rPh") ++phonetic_;
    if (name == "t" && phonetic_ == 0) inText_ = true;
  }
  void End(std::string_view name) {
    if (name == "rPh") --phonetic_;
    if (name == "t") inText_ = false;
  }
  Status Text(std::string_view text) {
    if (!inText_) return Status::Ok();
    if (value_.size() + text.size() > kMaxTextBytes)
      return Status::Fail("a text longer than the " + std::to_string(kMaxTextUnits) +
                          " characters a cell holds");
    value_.append(text);
    return Status::Ok();
  }
  std::string Take() {
    std::string out = DecodeEscapes(value_);
    value_.clear();
    return out;
  }

 private:
  int phonetic_ = 0;
  bool inText_ = false;
  std::string value_;
};

class SharedStringsHandler : public PartHandler {
 public:
  std::vector<std::string> strings;
  Status Start(std::string_view name, const XML_Char**) override {
    if (name == "si") inItem_ = true;
    if (inItem_) text_.Start(name);
    return Status::Ok();
  }
  Status End(std::string_view name) override {
    if (!inItem_) return Status::Ok();
    text_.End(name);
    if (name == "si") {
      inItem_ = false;
      strings.push_back(text_.Take());
      return CheckTextLength(strings.back(), "shared string " + std::to_string(strings.size() - 1));
    }
    return Status::Ok();
  }
  Status Text(std::string_view text) override { return inItem_ ? text_.Text(text) : Status::Ok(); }

 private:
  bool inItem_ = false;
  TextCollector text_;
};

// "BC12" -> column 54, row 11; false for anything else.
bool ParseReference(std::string_view ref, int* row, int* column) {
  std::size_t i = 0;
  long long c = 0, r = 0;
  while (i < ref.size() && ref[i] >= 'A' && ref[i] <= 'Z' && i < 4) c = c * 26 + (ref[i++] - 'A' + 1);
  if (c == 0 || i == ref.size()) return false;
  const std::size_t digits = i;
  while (i < ref.size() && ref[i] >= '0' && ref[i] <= '9' && i - digits < 8) r = r * 10 + (ref[i++] - '0');
  if (i != ref.size() || r == 0) return false;
  *row = static_cast<int>(r - 1);
  *column = static_cast<int>(c - 1);
  return true;
}

bool ParseRowNumber(const char* text, int* row) {
  long long value = 0;
  const std::string_view s(text);
  const auto result = std::from_chars(s.data(), s.data() + s.size(), value);
  if (result.ec != std::errc() || result.ptr != s.data() + s.size() || value < 1 ||
      value > 100000000)
    return false;
  *row = static_cast<int>(value - 1);
  return true;
}

std::string CellName(int row, int column) {
  std::string letters;
  for (int c = column + 1; c > 0; c = (c - 1) / 26)
    letters.insert(letters.begin(), static_cast<char>('A' + (c - 1) % 26));
  return letters + std::to_string(row + 1);
}

std::uint8_t ErrorCodeOf(const std::string& text) {
  for (std::uint8_t code : {0x00, 0x07, 0x0F, 0x17, 0x1D, 0x24, 0x2A})
    if (text == ErrorCodeText(code)) return code;
  return 0xFF;
}

class WorksheetHandler : public PartHandler {
 public:
  explicit WorksheetHandler(const std::vector<std::string>* strings) : strings_(strings) {}
  std::map<std::uint32_t, Cell> cells;

  Status Start(std::string_view name, const XML_Char** attributes) override {
    if (name == "sheetData") inData_ = true;
    if (!inData_) return Status::Ok();
    if (name == "row") {
      const char* r = Attribute(attributes, "r");
      if (r != nullptr && !ParseRowNumber(r, &row_))
        return Status::Fail("row number \"" + std::string(r) + "\" is not valid");
      if (r == nullptr) ++row_;
      column_ = -1;
    } else if (name == "c") {
      const char* ref = Attribute(attributes, "r");
      const char* type = Attribute(attributes, "t");
      if (ref != nullptr) {
        int row = 0;
        if (!ParseReference(ref, &row, &column_) || row != row_)
          return Status::Fail("cell reference \"" + std::string(ref) + "\" is not valid in row " +
                              std::to_string(row_ + 1));
      } else {
        ++column_;
      }
      type_ = type ? type : "n";
      inCell_ = true;
      hasValue_ = false;
      value_.clear();
    } else if (inCell_ && name == "v") {
      inValue_ = true;
      hasValue_ = true;
    } else if (inCell_ && name == "is") {
      inInline_ = true;
      hasValue_ = true;
    } else if (inInline_) {
      inline_.Start(name);
    }
    return Status::Ok();
  }

  Status End(std::string_view name) override {
    if (name == "sheetData") inData_ = false;
    if (inInline_) {
      if (name == "is") {
        inInline_ = false;
        value_ = inline_.Take();
      } else {
        inline_.End(name);
      }
      return Status::Ok();
    }
    if (name == "v") inValue_ = false;
    if (name == "c" && inCell_) {
      inCell_ = false;
      return FinishCell();
    }
    return Status::Ok();
  }

  Status Text(std::string_view text) override {
    if (inInline_) return inline_.Text(text);
    if (!inValue_) return Status::Ok();
    if (value_.size() + text.size() > kMaxTextBytes)
      return Status::Fail("cell " + CellName(row_, column_) + ": a text longer than the " +
                          std::to_string(kMaxTextUnits) + " characters a cell holds");
    value_.append(text);
    return Status::Ok();
  }

 private:
  Status FinishCell() {
    // A cell without a value carries only formatting: nothing to read.
    if (!hasValue_) return Status::Ok();
    const std::string where = "cell " + CellName(row_, column_);
    if (row_ >= kMaxRows)
      return Status::Fail(where + " lies beyond the " + std::to_string(kMaxRows) +
                          " rows a sheet may have here");
    if (column_ >= kMaxColumns)
      return Status::Fail(where + " lies beyond the " + std::to_string(kMaxColumns) +
                          " columns a sheet may have here");
    Cell cell;
    if (type_ == "s") {
      std::size_t index = 0;
      const auto r = std::from_chars(value_.data(), value_.data() + value_.size(), index);
      if (r.ec != std::errc() || r.ptr != value_.data() + value_.size() || index >= strings_->size())
        return Status::Fail(where + " refers to shared string \"" + value_ + "\" of " +
                            std::to_string(strings_->size()));
      cell.text = (*strings_)[index];
    } else if (type_ == "str" || type_ == "inlineStr" || type_ == "d") {
      cell.text = type_ == "str" ? DecodeEscapes(value_) : value_;
      if (Status s = CheckTextLength(cell.text, where); !s) return s;
    } else if (type_ == "b") {
      if (value_ != "0" && value_ != "1" && value_ != "true" && value_ != "false")
        return Status::Fail(where + ": \"" + value_ + "\" is not a boolean");
      cell.kind = CellKind::kBoolean;
      cell.boolean = value_ == "1" || value_ == "true";
    } else if (type_ == "e") {
      cell.kind = CellKind::kError;
      cell.error = ErrorCodeOf(value_);
    } else if (type_ == "n") {
      // A formula whose result is empty, or an empty value: nothing shows.
      if (value_.empty()) return Status::Ok();
      double number = 0;
      const auto r = std::from_chars(value_.data(), value_.data() + value_.size(), number);
      if (r.ec != std::errc() || r.ptr != value_.data() + value_.size() || !std::isfinite(number))
        return Status::Fail(where + ": \"" + value_ + "\" is not a finite number");
      cell.kind = CellKind::kNumber;
      cell.number = number;
    } else {
      return Status::Fail(where + " has the unknown cell type \"" + type_ + "\"");
    }
    cells[static_cast<std::uint32_t>(row_) * kMaxColumns + static_cast<std::uint32_t>(column_)] =
        std::move(cell);
    return Status::Ok();
  }

  const std::vector<std::string>* strings_;
  bool inData_ = false, inCell_ = false, inValue_ = false, inInline_ = false, hasValue_ = false;
  int row_ = -1, column_ = -1;
  std::string type_, value_;
  TextCollector inline_;
};

}  // namespace

bool LooksLikeZip(const std::uint8_t* data, std::size_t size) {
  return size >= 4 && data[0] == 'P' && data[1] == 'K' && data[2] == 3 && data[3] == 4;
}

Status ReadXlsxFile(const std::string& path, std::vector<std::unique_ptr<Sheet>>* sheets) {
  Archive archive;
  if (Status s = archive.Open(path); !s) return s;
  if (!archive.Has(std::string(kRootRelations)))
    return Status::Fail("not an Office Open XML workbook (the archive has no _rels/.rels)");

  std::vector<Relation> relations;
  if (Status s = ReadRelations(archive, "", &relations); !s) return s;
  std::string workbookPart;
  if (Status s = FindRelated(relations, "", kTypeOfficeDocument, "", &workbookPart); !s) return s;
  if (workbookPart.empty() || !archive.Has(workbookPart))
    return Status::Fail("not an Excel workbook (the archive has no workbook part)");

  WorkbookHandler book;
  if (Status s = archive.Parse(workbookPart, &book); !s) return s;
  if (Status s = ReadRelations(archive, workbookPart, &relations); !s) return s;

  std::vector<std::string> strings;
  std::string stringsPart;
  if (Status s = FindRelated(relations, workbookPart, kTypeSharedStrings, "", &stringsPart); !s)
    return s;
  if (!stringsPart.empty()) {
    SharedStringsHandler handler;
    if (Status s = archive.Parse(stringsPart, &handler); !s) return s;
    strings = std::move(handler.strings);
  }

  // The first worksheet; chart sheets are left out as in Excel 97-2003 files.
  sheets->clear();
  for (const SheetEntry& entry : book.sheets) {
    std::string sheetPart;
    if (Status s = FindRelated(relations, workbookPart, kTypeWorksheet, entry.relationId,
                               &sheetPart);
        !s)
      return s;
    if (sheetPart.empty()) continue;
    WorksheetHandler handler(&strings);
    if (Status s = archive.Parse(sheetPart, &handler); !s) return s;
    sheets->push_back(std::make_unique<Sheet>(entry.name, std::move(handler.cells)));
    break;
  }
  return Status::Ok();
}

}  // namespace workbook::xlsx
