#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <fcntl.h>
#include <spawn.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {
namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/fstest-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only folders behind; make them writable first.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::string TempDir::operator/(const std::string& relative) const { return path_ + "/" + relative; }

static std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : fallback;
}

std::string SourceDir() { return EnvOr("FS_SOURCE_DIR", FS_SOURCE_DIR_DEFAULT); }
std::string AppDir() { return EnvOr("FS_APP_DIR", FS_APP_DIR_DEFAULT); }
std::string BinaryDir() { return EnvOr("FS_BINARY_DIR", FS_BINARY_DIR_DEFAULT); }

CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& input,
                         const std::map<std::string, std::string>& env) {
  CommandResult result;
  TempDir io;
  const std::string inPath = io / "in", outPath = io / "out", errPath = io / "err";
  WriteFile(inPath, input);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

  std::map<std::string, std::string> merged;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    std::size_t eq = kv.find('=');
    if (eq != std::string::npos) merged[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : env) merged[k] = v;
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : merged) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> args = argv;
  std::vector<char*> cargs;
  for (std::string& a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);

  pid_t pid = 0;
  int rc = posix_spawnp(&pid, cargs[0], &actions, nullptr, cargs.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    result.status = 127;
    result.err = "cannot start " + argv[0];
    return result;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadFile(outPath);
  result.err = ReadFile(errPath);
  return result;
}

bool HaveProgram(const std::string& name) {
  std::string path = EnvOr("PATH", "/usr/bin:/bin") + ":/usr/sbin:/sbin";
  std::stringstream ss(path);
  std::string dir;
  while (std::getline(ss, dir, ':')) {
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
  }
  return false;
}

std::vector<std::string> WithoutFileOverride(std::vector<std::string> argv) {
  if (::geteuid() != 0) return argv;
  argv.insert(argv.begin(), {"setpriv", "--bounding-set=-dac_override,-dac_read_search"});
  return argv;
}

namespace {

constexpr unsigned kFileOverrideBits = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);

bool GetCapabilities(__user_cap_data_struct* data) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capget, &header, data) == 0;
}
bool SetCapabilities(__user_cap_data_struct* data) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

FileOverrideDropped::FileOverrideDropped() {
  if (::geteuid() != 0) return;
  __user_cap_data_struct data[2] = {};
  if (!GetCapabilities(data)) return;
  saved_[0] = data[0].effective;
  saved_[1] = data[1].effective;
  data[0].effective &= ~kFileOverrideBits;
  dropped_ = SetCapabilities(data);
}

FileOverrideDropped::~FileOverrideDropped() {
  if (!dropped_) return;
  __user_cap_data_struct data[2] = {};
  if (!GetCapabilities(data)) return;
  data[0].effective = saved_[0];
  data[1].effective = saved_[1];
  SetCapabilities(data);
}

std::vector<std::string> OnSmallDisk(const std::string& folder, int kib,
                                     std::vector<std::string> argv) {
  static const bool possible =
      HaveProgram("unshare") &&
      RunCommand({"unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=4k tmpfs \"$1\"", "sh",
                  folder})
              .status == 0;
  if (!possible) return {};
  argv.insert(argv.begin(), {"unshare", "-m", "sh", "-c",
                             "mount -t tmpfs -o size=" + std::to_string(kib) +
                                 "k tmpfs \"$1\" && shift && exec \"$@\"",
                             "sh", folder});
  return argv;
}

std::map<std::string, std::string> SnapshotTree(const std::string& folder) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_symlink()) continue;
    if (it->is_regular_file()) files[it->path().string()] = ReadFile(it->path().string());
    // Folders count by name, so a folder made or removed shows too.
    if (it->is_directory()) files[it->path().string() + "/"] = "";
  }
  return files;
}

void WriteFile(const std::string& path, const std::string& content) {
  fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string FirstDifference(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return "first difference at offset " + std::to_string(i);
  if (a.size() != b.size())
    return "sizes differ: " + std::to_string(a.size()) + " and " + std::to_string(b.size()) + " bytes";
  return "";
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

platform::MessageAnswer RecordingMessageSink::ShowMessage(const std::string& text,
                                                          const std::string& caption,
                                                          platform::MessageButtons buttons) {
  boxes.push_back(Box{text, caption, buttons, "", platform::MessageSeverity::Information});
  if (!answers.empty()) {
    platform::MessageAnswer a = answers.front();
    answers.pop_front();
    return a;
  }
  return buttons == platform::MessageButtons::YesNo ? platform::MessageAnswer::Yes
                                                    : platform::MessageAnswer::Ok;
}

platform::MessageAnswer RecordingMessageSink::ShowDetailed(const std::string& text,
                                                           const std::string& caption,
                                                           const std::string& detail,
                                                           platform::MessageSeverity severity) {
  const platform::MessageAnswer answer = ShowMessage(text, caption, platform::MessageButtons::Ok);
  boxes.back().reason = detail;
  boxes.back().severity = severity;
  return answer;
}

std::optional<std::string> RecordingMessageSink::ChooseFile(const std::string&, const std::string&,
                                                            const std::string&) {
  if (chosenPaths.empty()) return std::nullopt;
  auto p = chosenPaths.front();
  chosenPaths.pop_front();
  return p;
}

std::optional<std::string> RecordingMessageSink::ChooseFolder(const std::string&,
                                                              const std::string&) {
  return ChooseFile("", "", "");
}

std::vector<platform::FolderEntry> ListEntries(const std::string& folder) {
  std::vector<platform::FolderEntry> entries;
  if (platform::Status listed = platform::ListFolder(folder, &entries); !listed)
    std::fprintf(stderr, "%s\n", listed.message.c_str());
  return entries;
}

std::map<std::string, std::string> UnsquashfsListing(const std::string& image) {
  const CommandResult r = RunCommand({"unsquashfs", "-lln", image});
  EXPECT_EQ(r.status, 0) << r.err;
  static const std::regex line(R"(^(\S+) (\S+) +(\d+,? *\d*) \d{4}-\d\d-\d\d \d\d:\d\d (.*)$)");
  std::map<std::string, std::string> entries;
  std::istringstream in(r.out);
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (!std::regex_match(text, m, line)) continue;
    std::string size = m[3];
    size.erase(std::remove(size.begin(), size.end(), ' '), size.end());
    entries[m[4]] = std::string(m[1]) + " " + std::string(m[2]) + (m[1].str()[0] == 'd' ? "" : " " + size);
  }
  return entries;
}

std::map<std::string, ZipRawEntry> ZipRawEntries(const std::string& archive) {
  const CommandResult r = RunCommand(
      {"/usr/bin/python3", "-c",
       "import struct,sys,zipfile\n"
       "z=zipfile.ZipFile(sys.argv[1])\n"
       "f=open(sys.argv[1],'rb')\n"
       "for i in z.infolist():\n"
       "  f.seek(i.header_offset)\n"
       "  h=f.read(30)\n"
       "  n,e=struct.unpack('<HH',h[26:30])\n"
       "  f.seek(i.header_offset+30+n+e)\n"
       "  print(i.filename,i.compress_type,i.internal_attr,'x'+f.read(i.compress_size).hex())\n",
       archive});
  EXPECT_EQ(r.status, 0) << r.err;
  std::map<std::string, ZipRawEntry> entries;
  std::istringstream in(r.out);
  for (std::string name, hex; in >> name;) {
    ZipRawEntry& e = entries[name];
    // The data's hex follows an "x", so that no data is still a word.
    in >> e.method >> e.internalAttributes >> hex;
    for (std::size_t at = 1; at + 1 < hex.size(); at += 2)
      e.raw.push_back(static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16)));
  }
  return entries;
}

}  // namespace testsupport
