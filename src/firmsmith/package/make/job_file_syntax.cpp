#include "firmsmith/package/make/job_file_syntax.h"

#include <strings.h>

#include <algorithm>
#include <cctype>

namespace package {
namespace {

struct SectionKeys {
  const char* section;
  std::vector<std::string> keys;
};

// Every name a job file may hold; docs/job-files.md describes each.
const std::vector<SectionKeys>& Schema() {
  static const std::vector<SectionKeys> schema = {
      {"Job", {"Product", "Kind", "OriginalFile"}},
      {"Partitions",
       {"web", "logo", "user", "romfs", "custom", "app", "ylk", "mtd", "ubootlogo", "romfs2",
        "param"}},
      {"FileSystems", {"web", "logo", "user", "romfs", "custom", "app", "ylk"}},
      {"Custom", {"Strings",
                  "Languages",
                  "KoreanFonts",
                  "Pictures",
                  "Configs",
                  "IP",
                  "Port",
                  "UserName",
                  "Password",
                  "CopyUsers",
                  "AppDownloadLink",
                  "IOS",
                  "Android",
                  "SN",
                  "OtherName",
                  "OtherContent",
                  "CloudServer",
                  "CloudAddress",
                  "CloudPort",
                  "DeviceModel",
                  "CloseOnlineUpgrade",
                  "LineInGain",
                  "LineInLeft",
                  "LineInRight",
                  "OEMDevType"}},
  };
  return schema;
}

bool Same(const std::string& a, const std::string& b) {
  return ::strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

std::string Unquote(const std::string& v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::vector<std::string> SectionNames() {
  std::vector<std::string> names;
  for (const SectionKeys& s : Schema()) names.push_back(s.section);
  return names;
}

}  // namespace

std::string NearestName(const std::string& name, const std::vector<std::string>& candidates) {
  // A slip of one key in a short name, two in a longer one.
  const std::size_t allowed = name.size() <= 4 ? 1 : 2;
  std::string best;
  std::size_t bestDistance = allowed + 1;
  for (const std::string& c : candidates) {
    const std::size_t d = EditDistance(name, c);
    if (d < bestDistance) {
      best = c;
      bestDistance = d;
    }
  }
  return best;
}

std::string DidYouMean(const std::string& name, const std::vector<std::string>& candidates) {
  const std::string near = NearestName(name, candidates);
  return near.empty() ? std::string() : " (did you mean '" + near + "'?)";
}

bool JobFileText::Scan(const std::string& input, int* line, std::string* reason) {
  sections_.clear();
  entries_.clear();
  std::string text = input;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  const SectionKeys* current = nullptr;
  int number = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    const std::string t = Trim(text.substr(pos, nl - pos));
    pos = nl + 1;
    ++number;
    *line = number;
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t[0] == '[') {
      const std::size_t close = t.find(']');
      if (close == std::string::npos) return *reason = "'" + t + "' has no closing ']'", false;
      if (!Trim(t.substr(close + 1)).empty())
        return *reason = "text after the section name '" + t + "'", false;
      const std::string name = Trim(t.substr(1, close - 1));
      current = nullptr;
      for (const SectionKeys& s : Schema())
        if (Same(s.section, name)) current = &s;
      if (current == nullptr)
        return *reason = "unknown section [" + name + "]" + DidYouMean(name, SectionNames()) +
                         "; a job file has [Job], [Partitions], [FileSystems] and [Custom]",
               false;
      if (const int first = SectionLine(current->section); first != 0)
        return *reason = "section [" + std::string(current->section) +
                         "] given twice (first on line " + std::to_string(first) + ")",
               false;
      sections_.push_back({current->section, number});
      continue;
    }
    const std::size_t eq = t.find('=');
    if (eq == std::string::npos)
      return *reason = "'" + t + "' is neither [Section], key=value nor a comment", false;
    const std::string key = Trim(t.substr(0, eq));
    if (current == nullptr) return *reason = "key '" + key + "' before any [Section]", false;
    const std::string* known = nullptr;
    for (const std::string& k : current->keys)
      if (Same(k, key)) known = &k;
    if (known == nullptr)
      return *reason = "unknown key '" + key + "' in [" + current->section + "]" +
                       DidYouMean(key, current->keys),
             false;
    if (const int first = KeyLine(current->section, *known); first != 0)
      return *reason = "key '" + *known + "' given twice in [" + current->section +
                       "] (first on line " + std::to_string(first) + ")",
             false;
    entries_.push_back({current->section, *known, Unquote(Trim(t.substr(eq + 1))), number});
  }
  *line = 0;
  return true;
}

int JobFileText::SectionLine(const std::string& section) const {
  for (const SectionSeen& s : sections_)
    if (Same(s.name, section)) return s.line;
  return 0;
}

int JobFileText::KeyLine(const std::string& section, const std::string& key) const {
  for (const JobFileEntry& e : entries_)
    if (Same(e.section, section) && Same(e.key, key)) return e.line;
  return 0;
}

}  // namespace package
