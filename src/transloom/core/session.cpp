#include "transloom/core/session.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "common/platform/profile.h"
#include "common/platform/progdir.h"
#include "common/uitext/language_table.h"
#include "transloom/core/file_names.h"

namespace transloom {
namespace {

// Login field widths of the device library's interface. The user name and
// password fields take 64 bytes of text and we always add a terminator
// behind them, so a 64-byte name reaches the device whole.
constexpr std::size_t kIpField = 16;
constexpr std::size_t kUserField = 64;
constexpr std::size_t kPasswordField = 64;

constexpr int kConnectWaitMs = 4000;
constexpr int kConnectTries = 5;
constexpr int kListWaitMs = 5000;

struct LoginErrorKey {
  int code;
  const char* key;
};

constexpr LoginErrorKey kLoginErrors[] = {
    {DL_LOGIN_NET_ERROR, "Login.NetError"},     {DL_LOGIN_BUSY, "Login.SystemBusy"},
    {DL_ERR_TIMEOUT, "Login.Timeout"},          {DL_LOGIN_PASSWORD, "Login.PasswdError"},
    {DL_LOGIN_NO_USER, "Login.UserNotExisted"}, {DL_LOGIN_LOCKED, "Login.Locked"},
    {DL_LOGIN_BLACKLIST, "Login.InBlackList"},  {DL_LOGIN_IN_USE, "Login.InUsed"},
    {DL_LOGIN_NOT_FOUND, "Login.NotFound"},
};

bool IsAtoiBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

std::string DeviceResultText(std::int32_t result) {
  const char* what = "the device failed";
  switch (result) {
    case DL_ERR_CONNECTION: what = "connection lost"; break;
    case DL_ERR_INVALID_HANDLE: what = "no such session"; break;
    case DL_ERR_PROTOCOL: what = "malformed or unauthenticated reply"; break;
    case DL_ERR_TIMEOUT: what = "no answer in time"; break;
    case DL_ERR_BUFFER_TOO_SMALL: what = "reply larger than the buffer"; break;
    case DL_ERR_INVALID_ARG: what = "request refused by the library"; break;
    case DL_ERR_NOT_SUPPORTED: what = "command not supported by the device"; break;
    case DL_ERR_NO_DATA: what = "no such data on the device"; break;
    case DL_LOGIN_NO_RIGHTS: what = "the user lacks the right"; break;
    case DL_ERR_NOT_INITIALIZED: what = "device library not started"; break;
    default: break;
  }
  return std::string(what) + " (" + std::to_string(result) + ")";
}

bool ParsePortText(const std::string& text, std::uint16_t* port) {
  std::size_t i = 0;
  while (i < text.size() && IsAtoiBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    // Anything past this is out of range anyway; stop growing.
    if (value <= 1000000) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value < 0 || value > 65535) return false;
  *port = static_cast<std::uint16_t>(value);
  return true;
}

std::string LoginErrorText(int code) {
  for (const LoginErrorKey& e : kLoginErrors)
    if (e.code == code) return uitext::GetString(e.key);
  return uitext::GetString("Login.UnknowError");
}

void SortLanguageNames(std::vector<std::string>* names) {
  auto lower = [](unsigned char c) { return static_cast<unsigned char>(std::tolower(c)); };
  std::stable_sort(names->begin(), names->end(), [&](const std::string& a, const std::string& b) {
    const bool less =
        std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                     [&](char x, char y) { return lower(x) < lower(y); });
    const bool greater =
        std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(),
                                     [&](char x, char y) { return lower(x) < lower(y); });
    if (less || greater) return less;
    return a < b;
  });
}

std::vector<std::string> LanguageNamesOfRecord(const LanguageListRecord& record,
                                               std::uint32_t returned) {
  std::vector<std::string> names;
  if (returned < sizeof record.count) return names;
  const std::size_t inReply =
      (std::min<std::size_t>(returned, sizeof record) - sizeof record.count) /
      DL_LANGUAGE_NAME_SIZE;
  const std::size_t count =
      std::min<std::size_t>({static_cast<std::size_t>(std::max<std::int32_t>(record.count, 0)),
                             static_cast<std::size_t>(DL_MAX_LANGUAGES), inReply});
  for (std::size_t i = 0; i < count; ++i) {
    const char* name = record.names[i];
    std::string text(name, strnlen(name, DL_LANGUAGE_NAME_SIZE));
    if (!text.empty()) names.push_back(RepairUtf8(text));
  }
  SortLanguageNames(&names);
  return names;
}

ToolSession::ToolSession(platform::MessageSink* sink)
    : sink_(sink), configFolder_(platform::GetProgramDirectory()) {
  // Without the pipe a login simply cannot be cancelled.
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
    cancelRead_.Reset(ends[0]);
    cancelWrite_.Reset(ends[1]);
  }
}

void ToolSession::CancelLogin() {
  if (!cancelWrite_.valid()) return;
  const char byte = 1;
  // A full pipe holds a cancel already.
  (void)platform::RetryOnInterrupt([&] { return ::write(cancelWrite_.get(), &byte, 1); });
}

std::int32_t ToolSession::RunDeviceCall(const std::function<std::int32_t()>& call, bool) {
  return call();
}

void ToolSession::StartDeviceLibrary() {
  DL_Init(0, 0);
  DL_SetConnectTime(kConnectWaitMs, kConnectTries);
}

void ToolSession::EndDeviceLibrary() {
  DL_Logout(m_lLoginID);
  DL_Cleanup();
}

void ToolSession::SetConfigFolder(const std::string& folder) {
  configFolder_ = folder;
  if (configFolder_.empty() || configFolder_.back() != '/') configFolder_ += '/';
}

bool ToolSession::OnLogin(const LoginInput& input) {
  // The old session goes first, whatever becomes of this attempt.
  if (m_lLoginID > 0) {
    const std::int32_t old = m_lLoginID;
    RunDeviceCall([old] { DL_Logout(old); return 0; }, false);
  }
  languages_.clear();
  m_strDeviceIP = input.ip;
  const std::string szIP = platform::CutUtf8(m_strDeviceIP, kIpField);

  std::uint16_t port = 0;
  if (!ParsePortText(input.portText, &port)) {
    // The old handle is closed already; do not keep pretending it is open.
    m_lLoginID = -1;
    Tell("Transloom.PortError");
    return Fail("port '" + input.portText + "' is not a number from 0 to 65535");
  }
  const std::string szUserName = platform::CutUtf8(input.user, kUserField);
  const std::string szPassword = platform::CutUtf8(input.password, kPasswordField);

  DeviceInfoRecord deviceInfo{};
  int nError = 0;
  if (cancelRead_.valid()) {
    // A cancel meant for an earlier login does not end this one.
    char drain[64];
    while (platform::RetryOnInterrupt([&] { return ::read(cancelRead_.get(), drain, sizeof drain); }) > 0) {
    }
  }
  const int cancelFd = cancelRead_.get();
  m_lLoginID = RunDeviceCall(
      [&] {
        return DL_LoginCancellable(szIP.c_str(), port, szUserName.c_str(), szPassword.c_str(),
                                   &deviceInfo, &nError, cancelFd);
      },
      true);
  if (m_lLoginID <= 0 && nError == DL_ERR_CANCELLED) {
    // The operator ended the attempt; nothing to tell.
    m_lLoginID = -1;
    return Fail("login to " + m_strDeviceIP + " cancelled");
  }
  if (m_lLoginID <= 0) {
    ShowText(uitext::GetString("Transloom.LoginFailed") + ":" + LoginErrorText(nError));
    return Fail("login to " + m_strDeviceIP + " refused (error " + std::to_string(nError) + ")");
  }
  LanguageListRecord multLangfunc{};
  std::uint32_t dwReturned = 0;
  const std::int32_t listed = RunDeviceCall(
      [&] {
        return DL_GetConfig(m_lLoginID, CMD_LANG_LIST, -1, &multLangfunc, sizeof multLangfunc,
                            &dwReturned, kListWaitMs);
      },
      false);
  m_strFileName.clear();
  if (listed <= 0) {
    // Logged in, but the list stays empty: say why instead of showing an
    // empty list as if the device had no languages.
    TellDeviceFailure(listed, "Transloom.ListFailed");
    return Fail("the device did not list its languages (" + DeviceResultText(listed) + ")");
  }
  languages_ = LanguageNamesOfRecord(multLangfunc, dwReturned);
  return Succeed();
}

std::optional<std::string> ToolSession::ChooseOpenPath() {
  return sink_->ChooseFile("Open", kOpenWorkbookFilter, "");
}

std::optional<std::string> ToolSession::ChooseSavePath(const std::string& defaultName) {
  return sink_->ChooseFile("Save As", kSaveWorkbookFilter, defaultName);
}

bool ToolSession::ConfirmReplaceXlsx(const std::string& path) {
  return sink_->ShowMessage(uitext::GetString("Transloom.ReplaceXlsx") + "\n" + path,
                            uitext::GetString("OneClick.Prompt"),
                            platform::MessageButtons::OkCancel) == platform::MessageAnswer::Ok;
}

std::tm ToolSession::LocalTimeNow() const {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

void ToolSession::ShowText(const std::string& text) {
  sink_->ShowMessage(text, uitext::GetString("OneClick.Prompt"), platform::MessageButtons::Ok);
}

void ToolSession::Tell(const std::string& key) { ShowText(uitext::GetString(key)); }

void ToolSession::TellDeviceFailure(std::int32_t result, const std::string& fallbackKey) {
  if (result == DL_ERR_CONNECTION) {
    // The library already tried to log in again; the session is over.
    const std::int32_t lost = m_lLoginID;
    RunDeviceCall([lost] { DL_Logout(lost); return 0; }, false);
    m_lLoginID = -1;
    languages_.clear();
    Tell("Transloom.ConnectionLost");
  } else if (result == DL_LOGIN_NO_RIGHTS) {
    Tell("Transloom.NoRight");
  } else if (result == DL_ERR_NOT_SUPPORTED) {
    Tell("Transloom.NotSupported");
  } else {
    Tell(fallbackKey);
  }
}

bool ToolSession::Fail(const std::string& problem) {
  lastProblem_ = problem;
  return false;
}

bool ToolSession::Succeed() {
  lastProblem_.clear();
  return true;
}

}  // namespace transloom
