// Device language numbers: the channel of CMD_LANG_EXPORT and CMD_LANG_IMPORT
// names a language by number. One table for the tools and the simulator.
#pragma once

#include <string>
#include <vector>

namespace devlink {

// Exact, case-sensitive name match; -1 for any other name.
int NameToLanguageId(const std::string& name);
// The name of a number, or "" when the number is not in the table.
std::string LanguageIdToName(int id);
// Every name of the table, in number order.
std::vector<std::string> KnownLanguageNames();

}  // namespace devlink
