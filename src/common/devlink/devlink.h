// devlink: the device access library both programs reach devices through.
//
// Contract:
// - DL_Init once, any number of logins, then DL_Cleanup (which closes every
//   session still open). Calls before DL_Init fail with DL_ERR_NOT_INITIALIZED.
// - Session handles are > 0; 0 or less is no session. DL_Logout of a handle
//   <= 0 (or of an unknown one) does nothing.
// - Every call blocks at most its wait time. DL_Login is bounded by the
//   connect time (DL_SetConnectTime: each of `tries` connection attempts waits
//   at most `waitMs`, and the login exchange at most `waitMs` once more).
// - DL_GetConfig returns 1 on success with *returned = reply bytes; a reply
//   larger than the caller's buffer is DL_ERR_BUFFER_TOO_SMALL and nothing is
//   written past the buffer. DL_SetConfig returns 0 on success. Failures are
//   negative codes below; a time-out is DL_ERR_TIMEOUT (-10005).
// - Thread-safe: sessions are independent; calls on one session serialise.
// - A session stays alive while idle: a library thread sends a keep-alive
//   when a third of the idle limit the device stated at login has passed
//   without a call. When the device dropped the session anyway, the next
//   DL_GetConfig / DL_SetConfig logs in again once with the same
//   credentials (bounded by the connect time) before it sends; if that
//   fails the call returns DL_ERR_CONNECTION. Observers see each such
//   attempt as a "DL_Relogin" record (result 1 when it succeeded).
//
// The wire protocol behind it is described in docs/devlink-protocol.md.
#pragma once

#include <cstdint>

// Configuration commands.
inline constexpr int CMD_LANG_LIST = 48;
inline constexpr int CMD_CONFIG_EXPORT = 51;
inline constexpr int CMD_CUSTOM_CONFIG = 155;
inline constexpr int CMD_LANG_EXPORT = 189;
inline constexpr int CMD_LANG_IMPORT = 190;
inline constexpr int CMD_LANG_DELETE = 191;

// Login error codes (nError of DL_Login), as the callers read them.
inline constexpr int DL_LOGIN_NET_ERROR = 0;
inline constexpr int DL_LOGIN_BUSY = 7;
inline constexpr int DL_ERR_TIMEOUT = -10005;
inline constexpr int DL_LOGIN_NO_RIGHTS = -11300;
inline constexpr int DL_LOGIN_PASSWORD = -11301;
inline constexpr int DL_LOGIN_NO_USER = -11302;
inline constexpr int DL_LOGIN_LOCKED = -11303;
inline constexpr int DL_LOGIN_BLACKLIST = -11304;
inline constexpr int DL_LOGIN_IN_USE = -11305;
inline constexpr int DL_LOGIN_NOT_FOUND = -11307;

// Further results of the configuration calls (all negative).
inline constexpr int DL_ERR_NOT_INITIALIZED = -10001;
inline constexpr int DL_ERR_INVALID_HANDLE = -10002;
inline constexpr int DL_ERR_BUFFER_TOO_SMALL = -10003;
inline constexpr int DL_ERR_PROTOCOL = -10004;    // malformed or unexpected reply
inline constexpr int DL_ERR_CONNECTION = -10006;  // connection lost or closed
inline constexpr int DL_ERR_INVALID_ARG = -10007;
inline constexpr int DL_ERR_NOT_SUPPORTED = -10010;  // device does not offer the command
inline constexpr int DL_ERR_NO_DATA = -10011;        // e.g. no such language on the device
inline constexpr int DL_ERR_DEVICE = -10012;         // the device failed to carry it out
inline constexpr int DL_ERR_CANCELLED = -10013;      // the caller interrupted the login

inline constexpr int DL_LANGUAGE_NAME_SIZE = 64;
inline constexpr int DL_MAX_LANGUAGES = 128;

// Reply of CMD_LANG_LIST: count (host order), then up to 128 NUL-terminated names.
struct LanguageListRecord {
  std::int32_t count;
  char names[DL_MAX_LANGUAGES][DL_LANGUAGE_NAME_SIZE];
};
static_assert(sizeof(LanguageListRecord) == 8196);

// Filled by DL_Login; the callers reserve 816 bytes and read none of it.
struct DeviceInfoRecord {
  char hardware[64];
  char serialNumber[64];
  char softwareVersion[64];
  std::int32_t maxSessions;
  unsigned char reserved[816 - 3 * 64 - 4];
};
static_assert(sizeof(DeviceInfoRecord) == 816);

// Both values are kept for the interface's sake; pass 0 and 0.
bool DL_Init(std::intptr_t disconnectCallback, std::intptr_t user);
void DL_Cleanup();
// Default: 3000 ms, 3 tries. Values below 1 are raised to 1.
void DL_SetConnectTime(int waitMs, int tries);
// Returns a session handle > 0, or 0 with *error set (table above). `info`
// and `error` may be null; `mode` is reserved (0).
std::int32_t DL_Login(const char* ip, std::uint16_t port, const char* user, const char* password,
                      DeviceInfoRecord* info, int* error, int mode);
// DL_Login that another thread can interrupt: as soon as `cancelFd` (the
// read end of a pipe the caller owns; -1 for none) becomes readable, the
// connection attempts and the login exchange stop, and it returns 0 with
// *error DL_ERR_CANCELLED. The caller drains the pipe before the next login.
// Observers see it as "DL_Login".
std::int32_t DL_LoginCancellable(const char* ip, std::uint16_t port, const char* user,
                                 const char* password, DeviceInfoRecord* info, int* error,
                                 int cancelFd);
void DL_Logout(std::int32_t handle);
std::int32_t DL_GetConfig(std::int32_t handle, int command, int channel, void* buffer,
                          std::uint32_t bufferSize, std::uint32_t* returned, int waitMs);
std::int32_t DL_SetConfig(std::int32_t handle, int command, int channel, const void* data,
                          std::uint32_t size, int waitMs);

// --- test hook: observe the sequence of calls ---
struct DL_CallRecord {
  const char* call;    // "DL_Init", "DL_Login", ...
  std::int32_t handle; // session handle passed or returned (0 when none)
  int command;         // configuration command, 0 for other calls
  int channel;
  std::int32_t result; // the call's result (DL_Login: handle; void calls: 0)
  int error;           // DL_Login's *error, else 0
};
using DL_CallObserver = void (*)(const DL_CallRecord& record, void* context);
// Installs (or with nullptr removes) an observer called after every DL_* call,
// on the calling thread. Survives DL_Cleanup.
void DL_SetCallObserver(DL_CallObserver observer, void* context);
