// firmsmith-cli fetch-config --ip IP --port PORT --user NAME [--password PW]
//                            --out DIR [--users]
// Pulls a reference device's custom configuration (CMD_CUSTOM_CONFIG) into
// DIR and, with --users, its configuration export (CMD_CONFIG_EXPORT) into
// DIR/cfg, both unpacked. The password may come from FIRMSMITH_PASSWORD so it
// stays out of the process list, or from a prompt on a terminal.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/devlink/devlink.h"
#include "common/platform/cli.h"
#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "common/platform/password.h"
#include "common/platform/progdir.h"
#include "common/uitext/language_table.h"
#include "firmsmith/package/customise/device_config.h"
#include "firmsmith/fsimage/archive.h"

namespace {

// DL_Init on entry; on every way out the session is closed and the library
// released.
class DeviceSession {
 public:
  DeviceSession() { DL_Init(0, 0); }
  ~DeviceSession() {
    DL_Logout(handle);
    DL_Cleanup();
  }
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;
  std::int32_t handle = -1;
};

// Reads one zipped configuration and unpacks it into `folder`. Returns the
// DL_GetConfig result (>= 1 success), or 0 when the reply could not be
// stored or unpacked (with *problem set). The reply may unpack to at most
// the extraction budget.
std::int32_t FetchZip(std::int32_t handle, int command, const std::string& folder,
                      std::string* problem) {
  std::vector<std::uint8_t> buffer;
  const std::int32_t r = package::ReadConfigReply(handle, command, &buffer);
  if (r < 1) return r;
  platform::TempFolder scratch;
  platform::Status status = scratch.Create(std::string(), "fetch-config-");
  const std::string zip = platform::JoinPath(scratch.path(), "reply.zip");
  if (status) status = platform::WriteFileAtomic(zip, buffer);
  if (const std::string parent = platform::ParentFolder(folder); status && !parent.empty())
    status = platform::MakeFolders(parent);
  if (status && fsimage::UnpackArchive(zip, folder, &status,
                                       fsimage::ReadExtractBudget(platform::GetProgramDirectory())) != 0 &&
      status.ok)
    status = platform::Status::Fail("the device's reply is not a readable ZIP archive");
  if (!status) {
    // The scratch copy is gone when the operator reads this.
    *problem = status.message;
    for (std::size_t at; (at = problem->find(zip)) != std::string::npos;)
      problem->replace(at, zip.size(), "the device's reply");
    return 0;
  }
  return r;
}

int RunFetchConfig(const std::vector<std::string>& args) {
  uitext::CInitLanguage::GetInstance()->SetBasePath(platform::GetProgramDirectory());
  uitext::CInitLanguage::GetInstance()->LoadLanguage();

  const std::string* ip = platform::CliOption(args, "--ip");
  const std::string* portText = platform::CliOption(args, "--port");
  const std::string* user = platform::CliOption(args, "--user");
  const std::string* out = platform::CliOption(args, "--out");
  if (!ip || !portText || !user || !out)
    return platform::CliUsage("fetch-config: --ip, --port, --user and --out are required");
  char* end = nullptr;
  const long port = std::strtol(portText->c_str(), &end, 10);
  if (portText->empty() || *end != '\0' || port < 1 || port > 65535)
    return platform::CliUsage("fetch-config: bad port '" + *portText + "' (1 to 65535)");
  std::string password;
  if (platform::Status given = platform::ResolvePassword(platform::CliOption(args, "--password"),
                                                         "FIRMSMITH_PASSWORD", &password);
      !given)
    return platform::CliUsage("fetch-config: " + given.message);

  DeviceSession session;
  DeviceInfoRecord info{};
  int error = 0;
  session.handle = DL_Login(ip->c_str(), static_cast<std::uint16_t>(port), user->c_str(),
                            password.c_str(), &info, &error, 0);
  if (session.handle < 1)
    return platform::CliFail(uitext::GetString(package::DeviceLoginMessageKey(error)));

  // A failed fetch keeps nothing: a folder it made goes again.
  struct DropOnFailure {
    std::string folder;
    bool keep = false;
    ~DropOnFailure() {
      if (!keep && !folder.empty()) platform::RemoveTree(folder);
    }
  } drop{platform::FileExists(*out) ? std::string() : *out};
  std::string problem;
  if (platform::CliHasFlag(args, "--users")) {
    const std::int32_t r = FetchZip(session.handle, CMD_CONFIG_EXPORT, platform::JoinPath(*out, "cfg"), &problem);
    if (r == 0) return platform::CliFail("fetch-config: " + problem);
    if (r < 0) {
      return platform::CliFail(uitext::GetString("alarm_getcfg_error") + " (" +
                               std::to_string(r) + ")");
    }
  }
  const std::int32_t r =
      FetchZip(session.handle, CMD_CUSTOM_CONFIG, *out, &problem);
  if (r == 0) return platform::CliFail("fetch-config: " + problem);
  if (r < 0) {
    // A refusal means the device cannot give its custom configuration; a
    // time-out is a failed read like any other.
    const char* key = r == DL_ERR_TIMEOUT ? "alarm_getcfg_error" : "alarm_devicenotsupport";
    return platform::CliFail(uitext::GetString(key) + " (" + std::to_string(r) + ")");
  }
  drop.keep = true;
  std::printf("fetch-config: configuration of %s (%s) saved in %s\n", ip->c_str(),
              info.hardware, out->c_str());
  return 0;
}

const platform::CliRegistration kFetchConfig{
    {"fetch-config", "--ip IP --port PORT --user NAME [--password PW] --out DIR [--users]",
     "Save a device's custom configuration (and with --users its accounts) into DIR.",
     RunFetchConfig,
     "The password: --password, else $FIRMSMITH_PASSWORD (empty counts), else asked on the\n"
     "terminal; without any of them the command stops before it connects (exit 2).\n"
     "Example: fetch-config --ip 192.168.1.10 --port 34567 --user admin --out ref"}};

}  // namespace
