#include "transloom/core/file_names.h"

#include <cstdio>

namespace transloom {

std::string ExportFileName(const std::string& deviceIp, const std::tm& when,
                           const std::string& language) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "_%04d%02d%02d%02d%02d%02d_", when.tm_year + 1900,
                when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
  return deviceIp + stamp + language + ".xls";
}

std::string WorkbookLanguageName(const std::string& path) {
  const std::size_t underscore = path.rfind('_');
  const std::size_t xls = path.find(".xls");
  if (underscore == std::string::npos || xls == std::string::npos || xls <= underscore) return {};
  return path.substr(underscore + 1, xls - underscore - 1);
}

int TextColumnForPath(const std::string& path) {
  // Only the workbook's own name counts: a folder named "EnglishTeam" says
  // nothing about the texts inside, and a relative path must read the same
  // as an absolute one.
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.find("English") != std::string::npos) return 1;
  return WorkbookLanguageName(name) == "English" ? 1 : 2;
}

bool IsNameInsideFolder(const std::string& name) {
  if (name.empty() || name.front() == '/') return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = name.find('/', start);
    const std::string part = name.substr(start, slash == std::string::npos ? slash : slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

}  // namespace transloom
