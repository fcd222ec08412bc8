#include "common/devlink/language_ids.h"

namespace devlink {
namespace {

struct LanguageId {
  const char* name;
  int id;
};

// Numbers 15, 16, 18 and 22 are not used by the devices.
constexpr LanguageId kLanguages[] = {
    {"English", 0},     {"SimpChinese", 1}, {"TradChinese", 2}, {"Italian", 3},
    {"Spanish", 4},     {"Japanese", 5},    {"Russian", 6},     {"French", 7},
    {"German", 8},      {"Portugal", 9},    {"Turkey", 10},     {"Poland", 11},
    {"Romanian", 12},   {"Hungarian", 13},  {"Finnish", 14},    {"Farsi", 17},
    {"Thai", 19},       {"Greek", 20},      {"Vietnamese", 21}, {"Brazilian", 23},
    {"Hebrew", 24},     {"Indonesian", 25}, {"Arabic", 26},     {"Swedish", 27},
    {"Czech", 28},      {"Bulgarian", 29},  {"Slovakia", 30},   {"Dutch", 31},
};

}  // namespace

int NameToLanguageId(const std::string& name) {
  for (const LanguageId& l : kLanguages)
    if (name == l.name) return l.id;
  return -1;
}

std::string LanguageIdToName(int id) {
  for (const LanguageId& l : kLanguages)
    if (id == l.id) return l.name;
  return {};
}

std::vector<std::string> KnownLanguageNames() {
  std::vector<std::string> names;
  for (const LanguageId& l : kLanguages) names.emplace_back(l.name);
  return names;
}

}  // namespace devlink
