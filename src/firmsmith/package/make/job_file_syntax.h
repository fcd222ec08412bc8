// The strict reading of a job file: every line is a comment (";" or "#"), a
// blank line, a known "[Section]" or a known "key=value" of its section, each
// section and key at most once. A typo must stop the run, not quietly drop
// the logo, so an unknown name is refused with the nearest known one.
// Section and key names compare without regard to ASCII case, as profiles do.
#pragma once

#include <string>
#include <vector>

namespace package {

struct JobFileEntry {
  std::string section;  // as the schema spells it ("Partitions")
  std::string key;      // as the schema spells it ("logo")
  std::string value;    // blanks and one pair of quotes removed
  int line = 0;
};

class JobFileText {
 public:
  // Scans `text`. False with the 1-based line and the reason (with a "did
  // you mean" for a near miss) at the first line that breaks the rules.
  bool Scan(const std::string& text, int* line, std::string* reason);

  // The line of a section header or of a key, 0 when absent.
  int SectionLine(const std::string& section) const;
  int KeyLine(const std::string& section, const std::string& key) const;
  const std::vector<JobFileEntry>& entries() const { return entries_; }

 private:
  struct SectionSeen {
    std::string name;
    int line;
  };
  std::vector<SectionSeen> sections_;
  std::vector<JobFileEntry> entries_;
};

// The candidate closest to `name` (ASCII case ignored) within an edit
// distance that a typo makes, or "" when none is that close.
std::string NearestName(const std::string& name, const std::vector<std::string>& candidates);

// " (did you mean 'x'?)" for a near miss, else "".
std::string DidYouMean(const std::string& name, const std::vector<std::string>& candidates);

}  // namespace package
