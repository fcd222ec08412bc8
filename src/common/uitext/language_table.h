// The UI language string table. Every text either program shows passes
// through GetString: the program holds keys (template captions, message keys,
// "Transloom."-prefixed keys), the active ".lang" file gives the texts, and a
// key without a text falls back to what follows its first "." (or the key
// itself), so an installation without any language file still reads as English.
//
// One component, two configurations: CInitLanguage (Firmsmith: Config.ini in
// the base directory, files in "<base>Language/", 128-byte Solution) and
// CMultiLanguage (Transloom: Config.ini and files beside its executable,
// 64-byte Solution). Each has one process-wide instance.
#pragma once

#include <string>

#include "common/platform/profile.h"

namespace uitext {

enum class LanguageConfig { Firmsmith, Transloom };

class LanguageTable {
 public:
  explicit LanguageTable(LanguageConfig config) : config_(config) {}
  virtual ~LanguageTable() = default;

  // Stores the base directory (a trailing "/" is added when missing).
  void SetBasePath(const std::string& directory);
  // Reads themes/Solution and sets the language name and file path; the file
  // need not exist. Transloom's configuration reads from the base directory
  // when one was set, else from the program directory.
  void LoadLanguage();
  // The translation of key, or its fallback. Never fails.
  std::string GetString(const std::string& key) const;

  LanguageConfig config() const { return config_; }
  const std::string& basePath() const { return basePath_; }
  const std::string& languageName() const { return languageName_; }
  const std::string& languageFilePath() const { return languageFilePath_; }

 private:
  LanguageConfig config_;
  std::string basePath_;
  std::string languageName_;
  std::string languageFilePath_;
  platform::Profile strings_;
};

// The fallback rule on its own: text after the first ".", else the key.
std::string FallbackText(const std::string& key);

class CInitLanguage : public LanguageTable {
 public:
  CInitLanguage() : LanguageTable(LanguageConfig::Firmsmith) {}
  static CInitLanguage* GetInstance();
  static void ReleaseInstance();
};

class CMultiLanguage : public LanguageTable {
 public:
  CMultiLanguage() : LanguageTable(LanguageConfig::Transloom) {}
  static CMultiLanguage* GetInstance();
  static void ReleaseInstance();
};

// The active table of this process: Firmsmith's when it exists, else
// Transloom's, else none (then GetString gives the fallback). Core code that
// shows messages translates through this, whichever program runs it.
std::string GetString(const std::string& key);

}  // namespace uitext
