#include "common/uitext/language_table.h"

#include <memory>

#include "common/platform/files.h"
#include "common/platform/progdir.h"

namespace uitext {
namespace {

constexpr std::size_t kValueBuffer = 300;  // a longer text is cut to 299 bytes
constexpr std::size_t kFirmsmithSolutionBuffer = 128;
constexpr std::size_t kTransloomSolutionBuffer = 64;

std::unique_ptr<CInitLanguage>& FirmsmithInstance() {
  static std::unique_ptr<CInitLanguage> instance;
  return instance;
}

std::unique_ptr<CMultiLanguage>& TransloomInstance() {
  static std::unique_ptr<CMultiLanguage> instance;
  return instance;
}

}  // namespace

std::string FallbackText(const std::string& key) {
  std::size_t dot = key.find('.');
  return dot == std::string::npos ? key : key.substr(dot + 1);
}

void LanguageTable::SetBasePath(const std::string& directory) {
  basePath_ = directory;
  if (basePath_.empty() || basePath_.back() != '/') basePath_ += '/';
}

void LanguageTable::LoadLanguage() {
  const bool firmsmith = config_ == LanguageConfig::Firmsmith;
  std::string folder = basePath_;
  if (folder.empty() && !firmsmith) folder = platform::GetProgramDirectory();
  std::string name = platform::ReadProfileString(
      folder + "Config.ini", "themes", "Solution", "",
      firmsmith ? kFirmsmithSolutionBuffer : kTransloomSolutionBuffer);
  languageName_ = name.empty() ? "English" : name;
  languageFilePath_ =
      (firmsmith ? folder + "Language/" : folder) + languageName_ + ".lang";
  strings_ = platform::Profile::Load(languageFilePath_);
}

std::string LanguageTable::GetString(const std::string& key) const {
  if (!languageFilePath_.empty()) {
    std::string text = strings_.Get("String", key, "", kValueBuffer);
    if (!text.empty()) return text;
  }
  return FallbackText(key);
}

CInitLanguage* CInitLanguage::GetInstance() {
  if (!FirmsmithInstance()) FirmsmithInstance() = std::make_unique<CInitLanguage>();
  return FirmsmithInstance().get();
}

void CInitLanguage::ReleaseInstance() { FirmsmithInstance().reset(); }

CMultiLanguage* CMultiLanguage::GetInstance() {
  if (!TransloomInstance()) TransloomInstance() = std::make_unique<CMultiLanguage>();
  return TransloomInstance().get();
}

void CMultiLanguage::ReleaseInstance() { TransloomInstance().reset(); }

std::string GetString(const std::string& key) {
  if (FirmsmithInstance()) return FirmsmithInstance()->GetString(key);
  if (TransloomInstance()) return TransloomInstance()->GetString(key);
  return FallbackText(key);
}

}  // namespace uitext
