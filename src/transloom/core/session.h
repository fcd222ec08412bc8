// ToolSession: the state and the operations of the language tool, shared by
// its dialog (CTransloomDlg derives from it) and by transloom-cli. One devlink
// session at a time; every operation reports to the operator through the
// MessageSink with the tool's caption, and returns true only when it did its
// job. Texts are translated through uitext::GetString.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/devlink/devlink.h"
#include "common/devlink/language_ids.h"
#include "common/platform/fd.h"
#include "common/platform/message_sink.h"
#include "transloom/core/language_map.h"

namespace transloom {

// What the operator typed into the login fields.
struct LoginInput {
  std::string ip;        // dotted IPv4 as the address control shows it
  std::string portText;  // read the way atoi reads it
  std::string user;
  std::string password;
};

// Device language numbers: the table the device library and its simulator
// share, exact and case-sensitive, -1 for any other name.
using devlink::NameToLanguageId;

// atoi's reading (leading blanks, one sign, digits up to the first other
// character, no digits = 0), saturated instead of overflowing. False when the
// value lies outside 0..65535.
bool ParsePortText(const std::string& text, std::uint16_t* port);

// The translated text of a login error code; unknown codes give the
// unknown-error text.
std::string LoginErrorText(int code);

// The valid names of a CMD_LANG_LIST reply in list-box order: without regard
// to ASCII case, byte order between names that differ only in case. Only
// entries inside the `returned` bytes count; empty names are left out.
std::vector<std::string> LanguageNamesOfRecord(const LanguageListRecord& record,
                                               std::uint32_t returned);
void SortLanguageNames(std::vector<std::string>* names);

// A failed device call's result as a reason line reads it, e.g.
// "connection lost (-10006)".
std::string DeviceResultText(std::int32_t result);

class ToolSession {
 public:
  // `sink` must outlive the session.
  explicit ToolSession(platform::MessageSink* sink);
  virtual ~ToolSession() = default;
  ToolSession(const ToolSession&) = delete;
  ToolSession& operator=(const ToolSession&) = delete;

  // DL_Init(0, 0) and DL_SetConnectTime(4000, 5); once, before any login.
  static void StartDeviceLibrary();
  // DL_Logout(m_lLoginID) with whatever it holds, then DL_Cleanup.
  void EndDeviceLibrary();

  bool IsLoggedIn() const { return m_lLoginID > 0; }
  // The device's languages after the last login, sorted; empty when logged out.
  const std::vector<std::string>& Languages() const { return languages_; }

  // Closes the open session, then logs in; fills Languages() on success.
  // False also when the login succeeded but the language list could not be
  // read (the operator is told why; the session stays open). A login
  // interrupted by CancelLogin() ends without a message, logged out.
  bool OnLogin(const LoginInput& input);
  // Interrupts the login in progress; callable from any thread, and a no-op
  // when no login runs (a cancel left over is dropped when the next starts).
  void CancelLogin();
  // Reads one device language into `map`; the map is left as it was on failure.
  bool FetchLanguage(const std::string& name, LanguageMap* map);
  // `selected` is the chosen entry of the language list, "" for none.
  bool OnExportExcel(const std::string& selected);
  bool OnImportToDevice();
  bool OnDeleteLanguage();
  // Needs no session; the target folder is StringPath of Config.ini in
  // ConfigFolder().
  bool OnCreateLanguage();

  // Where Config.ini is read: the program directory unless set otherwise.
  const std::string& ConfigFolder() const { return configFolder_; }
  void SetConfigFolder(const std::string& folder);

  // Why the last operation returned false, one line naming the file or the
  // call; also set for the ends the operator is not told about. Empty after
  // a success.
  const std::string& LastProblem() const { return lastProblem_; }

  std::int32_t m_lLoginID = -1;
  std::string m_strDeviceIP;
  std::string m_strFileName;
  LanguageMap m_mapLanguage;
  LanguageMap m_mapEnglish;

 protected:
  // Every device call of the operations goes through here, one at a time
  // and in their order. By default it runs on the calling thread; the dialog
  // runs it on a worker thread and keeps its window alive meanwhile.
  // `isLogin`: CancelLogin() may end it early.
  virtual std::int32_t RunDeviceCall(const std::function<std::int32_t()>& call, bool isLogin);

  // File choosers; nullopt when cancelled. By default both ask the sink.
  virtual std::optional<std::string> ChooseOpenPath();
  virtual std::optional<std::string> ChooseSavePath(const std::string& defaultName);
  // Asked before an export replaces an existing .xlsx file, whose other
  // cells are not kept; by default a question to the operator.
  virtual bool ConfirmReplaceXlsx(const std::string& path);
  virtual std::tm LocalTimeNow() const;
  // The folder Create Language writes into: StringPath of Config.ini.
  virtual std::string StringsFolder() const;

  platform::MessageSink* sink() const { return sink_; }
  // One box with the tool's caption and an OK button.
  void ShowText(const std::string& text);
  void Tell(const std::string& key);  // ShowText(GetString(key))
  // Tells the operator why a device call failed: a lost connection (the
  // library could not log in again; the session ends, shown logged out with
  // an empty list), a missing right and an unsupported command each have
  // their own text; any other result shows `fallbackKey`.
  void TellDeviceFailure(std::int32_t result, const std::string& fallbackKey);
  // Records why the operation ends and returns false.
  bool Fail(const std::string& problem);
  bool Succeed();

 private:
  platform::MessageSink* sink_;
  // A byte in this pipe interrupts the login in progress.
  platform::UniqueFd cancelRead_, cancelWrite_;
  std::string configFolder_;
  std::string lastProblem_;
  std::vector<std::string> languages_;
};

}  // namespace transloom
