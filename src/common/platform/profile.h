// Profile (INI) files read and written the way the device tools have always
// read them: section and key names compared without regard to ASCII case,
// blanks around keys and values dropped, one matching pair of quotes removed,
// the first section and the first key of a name win. Reading never fails: an
// unreadable file reads as empty.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

class Profile {
 public:
  // Parses the file; a missing or unreadable file gives an empty profile.
  static Profile Load(const std::string& path);
  static Profile Parse(const std::string& text);

  // The value of key in section, or `fallback` when the key is missing. The
  // result is cut to at most bufferSize - 1 bytes, like a fixed buffer would
  // cut it, but never inside a UTF-8 sequence. An empty value is returned as
  // empty, not as the fallback: callers that treat both alike test for it.
  std::string Get(const std::string& section, const std::string& key,
                  const std::string& fallback = "", std::size_t bufferSize = 4096) const;
  bool Has(const std::string& section, const std::string& key) const;
  // Integer read: leading decimal digits with an optional sign; a missing key
  // or a value without digits gives `fallback`.
  int GetInt(const std::string& section, const std::string& key, int fallback) const;
  // Names of the keys of a section, in file order, each once.
  std::vector<std::string> Keys(const std::string& section) const;
  bool HasSection(const std::string& section) const;

 private:
  struct Entry {
    std::string key;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };
  const Section* FindSection(const std::string& name) const;
  std::vector<Section> sections_;
};

// One-shot reads, for callers that read a single value.
std::string ReadProfileString(const std::string& path, const std::string& section,
                              const std::string& key, const std::string& fallback,
                              std::size_t bufferSize);
int ReadProfileInt(const std::string& path, const std::string& section,
                   const std::string& key, int fallback);

// Sets key in section: replaces the first matching line in place, or appends
// the key at the end of the section, or appends the section at the end of the
// file; every other line is kept as it stands. Creates the file when missing.
// The file is replaced through a temporary file and a rename, so a failed
// write never leaves it half-written. Returns false when it cannot write.
bool WriteProfileString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value);

// Cuts text to at most maxBytes bytes without splitting a UTF-8 sequence.
std::string CutUtf8(const std::string& text, std::size_t maxBytes);

}  // namespace platform
