#include "firmsmith/package/customise/user_gain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/platform/fd.h"
#include "common/platform/files.h"
#include "common/platform/profile.h"
#include "common/platform/file_ops.h"

namespace package {

int GainCodeFromDigits(const std::string& digits) {
  int code = 0;
  for (char c : digits) {
    if (c != '0' && c != '1') return 0;
    code = code * 2 + (c - '0');
    if (code > 0xffff) return 0;
  }
  return code;
}

int GainCodeOf(const std::string& configIni, const std::string& label) {
  return GainCodeFromDigits(
      platform::ReadProfileString(configIni, "register", label, kDefaultGainCode, 64));
}

std::string GainLineBytes(const std::string& address, std::uint32_t base, int left, int right) {
  const std::uint32_t value = base | (static_cast<std::uint32_t>(left) << 10) |
                              (static_cast<std::uint32_t>(right) << 2);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(value));
  std::string bytes = "\nhimm " + address + " " + hex;
  bytes.push_back('\0');
  return bytes;
}

bool AppendGainLineTo(const std::string& folder, const MakeOptions& o,
                      const std::string& programDirectory, std::string* why) {
  const std::string loadmod = platform::JoinPath(folder, "etc/loadmod");
  const auto failed = [why](const std::string& reason) {
    if (why) *why = reason;
    return false;
  };
  struct stat st {};
  if (::lstat(loadmod.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return true;  // nothing to edit
    return failed(platform::ErrnoReason("cannot examine " + loadmod));
  }
  // Only a real etc/loadmod of this tree: links may point anywhere.
  if (!S_ISREG(st.st_mode) || !platform::IsDirectory(platform::JoinPath(folder, "etc")))
    return failed(loadmod + ": a link or no regular file of the tree, never written through");
  const std::string ini = programDirectory + "Config.ini";
  // An address with blanks or line breaks would add a second command.
  std::string address = platform::ReadProfileString(
      ini, "register", "register_addr_AUDIO_CODEC_CTRL0", kDefaultGainRegisterAddress, 64);
  if (address.find_first_of(" \t\r\n") != std::string::npos) address = kDefaultGainRegisterAddress;
  const std::string baseText = platform::ReadProfileString(
      ini, "register", "register_basevalue_AUDIO_CODEC_CTRL0", kDefaultGainBaseValue, 64);
  const std::uint32_t base = static_cast<std::uint32_t>(std::strtoul(baseText.c_str(), nullptr, 16));
  const std::string bytes = GainLineBytes(address, base, GainCodeOf(ini, o.lineInLeft),
                                          GainCodeOf(ini, o.lineInRight));
  platform::UniqueFd fd(platform::RetryOnInterrupt(
      [&] { return ::open(loadmod.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC); }));
  if (!fd.valid()) return failed(platform::ErrnoReason("cannot open " + loadmod));
  if (!platform::WriteFull(fd.get(), bytes.data(), bytes.size()))
    return failed(platform::ErrnoReason("cannot write " + loadmod));
  if (::close(fd.Release()) != 0) return failed(platform::ErrnoReason("cannot write " + loadmod));
  return true;
}

}  // namespace package
