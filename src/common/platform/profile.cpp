#include "common/platform/profile.h"

#include <cctype>
#include <cstdlib>

#include "common/platform/files.h"

namespace platform {
namespace {

std::string Trim(const std::string& s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::string Unquote(const std::string& v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

// Splits text into lines at LF; a CR before the LF belongs to the line ending.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    pos = nl + 1;
  }
  return lines;
}

// "[name]" with blanks allowed around; text after the closing bracket is ignored.
bool ParseSectionLine(const std::string& line, std::string* name) {
  std::string t = Trim(line);
  if (t.empty() || t[0] != '[') return false;
  std::size_t close = t.find(']');
  *name = Trim(close == std::string::npos ? t.substr(1) : t.substr(1, close - 1));
  return true;
}

bool ParseKeyLine(const std::string& line, std::string* key, std::string* value) {
  std::size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  *key = Trim(line.substr(0, eq));
  *value = Trim(line.substr(eq + 1));
  return true;
}

}  // namespace

std::string CutUtf8(const std::string& text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t cut = maxBytes;
  // Step back over continuation bytes so the lead byte goes too.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

Profile Profile::Load(const std::string& path) {
  std::string text;
  if (!ReadFileText(path, &text)) return Profile();
  return Parse(text);
}

Profile Profile::Parse(const std::string& input) {
  Profile p;
  std::string text = input;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  Section* current = nullptr;
  for (const std::string& line : SplitLines(text)) {
    std::string name;
    if (ParseSectionLine(line, &name)) {
      p.sections_.push_back(Section{name, {}});
      current = &p.sections_.back();
      continue;
    }
    std::string t = Trim(line);
    if (current == nullptr || t.empty() || t[0] == ';') continue;
    std::string key;
    std::string value;
    if (ParseKeyLine(line, &key, &value)) current->entries.push_back(Entry{key, Unquote(value)});
  }
  return p;
}

const Profile::Section* Profile::FindSection(const std::string& name) const {
  for (const Section& s : sections_)
    if (SameName(s.name, name)) return &s;
  return nullptr;
}

bool Profile::HasSection(const std::string& section) const { return FindSection(section) != nullptr; }

bool Profile::Has(const std::string& section, const std::string& key) const {
  const Section* s = FindSection(section);
  if (s == nullptr) return false;
  for (const Entry& e : s->entries)
    if (SameName(e.key, key)) return true;
  return false;
}

std::string Profile::Get(const std::string& section, const std::string& key,
                         const std::string& fallback, std::size_t bufferSize) const {
  std::size_t limit = bufferSize == 0 ? 0 : bufferSize - 1;
  const Section* s = FindSection(section);
  if (s != nullptr) {
    for (const Entry& e : s->entries)
      if (SameName(e.key, key)) return CutUtf8(e.value, limit);
  }
  return CutUtf8(fallback, limit);
}

int Profile::GetInt(const std::string& section, const std::string& key, int fallback) const {
  if (!Has(section, key)) return fallback;
  std::string v = Get(section, key);
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 10);
  if (end == v.c_str()) return fallback;
  return static_cast<int>(n);
}

std::vector<std::string> Profile::Keys(const std::string& section) const {
  std::vector<std::string> keys;
  const Section* s = FindSection(section);
  if (s == nullptr) return keys;
  for (const Entry& e : s->entries) {
    bool seen = false;
    for (const std::string& k : keys) seen = seen || SameName(k, e.key);
    if (!seen) keys.push_back(e.key);
  }
  return keys;
}

std::string ReadProfileString(const std::string& path, const std::string& section,
                              const std::string& key, const std::string& fallback,
                              std::size_t bufferSize) {
  return Profile::Load(path).Get(section, key, fallback, bufferSize);
}

int ReadProfileInt(const std::string& path, const std::string& section, const std::string& key,
                   int fallback) {
  return Profile::Load(path).GetInt(section, key, fallback);
}

bool WriteProfileString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value) {
  std::string text;
  ReadFileText(path, &text);  // a missing file starts empty
  std::vector<std::string> lines = SplitLines(text);
  const std::string newline = text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  const std::string keyLine = key + "=" + value;

  // Find the first matching section, the first matching key inside it, and
  // the last non-blank line of the section (where a new key goes).
  bool inSection = false;
  bool sectionFound = false;
  std::size_t insertAt = lines.size();
  bool replaced = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string name;
    if (ParseSectionLine(lines[i], &name)) {
      if (inSection) break;  // end of our section
      if (!sectionFound && SameName(name, section)) {
        inSection = true;
        sectionFound = true;
        insertAt = i + 1;
      }
      continue;
    }
    if (!inSection) continue;
    std::string k;
    std::string v;
    std::string t = Trim(lines[i]);
    if (!t.empty() && t[0] != ';' && ParseKeyLine(lines[i], &k, &v) && SameName(k, key)) {
      lines[i] = keyLine;
      replaced = true;
      break;
    }
    if (!t.empty()) insertAt = i + 1;
  }
  if (!replaced) {
    if (sectionFound) {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), keyLine);
    } else {
      lines.push_back("[" + section + "]");
      lines.push_back(keyLine);
    }
  }
  std::string out;
  for (const std::string& l : lines) out += l + newline;
  return WriteFileAtomic(path, out).ok;
}

}  // namespace platform
