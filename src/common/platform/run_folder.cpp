#include "common/platform/run_folder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "common/platform/debuglog.h"
#include "common/platform/fd.h"
#include "common/platform/file_ops.h"
#include "common/platform/files.h"

namespace platform {
namespace {

struct Registry {
  std::mutex mutex;
  std::set<std::string> folders;
  std::set<std::string> partials;
  std::set<int> children;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // outlives every static destructor
  return *registry;
}

// Called with the registry locked.
void RemoveEverythingRegistered(Registry& r) {
  for (int pid : r.children) {
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    siginfo_t ended {};
    RetryOnInterrupt([&] { return ::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT); });
  }
  for (const std::string& path : r.partials) ::unlink(path.c_str());
  for (const std::string& path : r.folders) RemoveRunFolder(path);
}

bool PidIsGone(long pid) {
  if (pid <= 0) return false;
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// The pid in "<anything>.part-<pid>-XXXXXX" or ".tmp-<pid>-XXXXXX"; 0 when
// the name is none of ours.
long PidOfTemporaryName(const std::string& name) {
  for (const char* kind : {".part-", ".tmp-"}) {
    const std::size_t at = name.rfind(kind);
    if (at == std::string::npos) continue;
    const std::string rest = name.substr(at + std::char_traits<char>::length(kind));
    const std::size_t dash = rest.find('-');
    if (dash == std::string::npos || dash == 0 || rest.size() - dash - 1 != 6) continue;
    long pid = 0;
    for (std::size_t i = 0; i < dash; ++i) {
      if (rest[i] < '0' || rest[i] > '9' || pid > 100000000) return 0;
      pid = pid * 10 + (rest[i] - '0');
    }
    return pid;
  }
  return 0;
}

// The pid written in a run folder's lock file; 0 when there is none to read.
long PidOfRunFolder(int parentFd, const std::string& name) {
  UniqueFd folder(RetryOnInterrupt([&] {
    return ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }));
  if (!folder.valid()) return 0;
  UniqueFd lock(RetryOnInterrupt([&] {
    return ::openat(folder.get(), kRunLockName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }));
  if (!lock.valid()) return 0;
  char text[32] = {};
  const ssize_t n = ReadFull(lock.get(), text, sizeof text - 1);
  if (n <= 0) return 0;
  return std::strtol(text, nullptr, 10);
}

// True for a run folder that holds nothing, or only a lock without a pid:
// its run was killed between making the folder and writing its lock, or
// while removing it. Nothing can be lost with it.
bool HoldsNoRun(int parentFd, const std::string& name) {
  UniqueFd folder(RetryOnInterrupt([&] {
    return ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }));
  std::vector<FolderEntry> entries;
  if (!folder.valid() || !ListFolderAt(folder.get(), name, &entries)) return false;
  if (entries.empty()) return true;
  struct stat st {};
  return entries.size() == 1 && entries[0].name == kRunLockName &&
         ::fstatat(folder.get(), kRunLockName, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
         st.st_size == 0;
}

}  // namespace

void RegisterRunFolder(const std::string& path) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.folders.insert(path);
}

void UnregisterRunFolder(const std::string& path) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.folders.erase(path);
}

std::string TemporaryNameTemplate(const std::string& path, const char* kind) {
  return path + "." + kind + "-" + std::to_string(::getpid()) + "-XXXXXX";
}

int MakeRegisteredPartialFile(std::string* pathTemplate) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  const int fd = ::mkstemp(pathTemplate->data());
  if (fd >= 0) r.partials.insert(*pathTemplate);
  return fd;
}

bool MakeRegisteredRunFolder(std::string* pathTemplate) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (::mkdtemp(pathTemplate->data()) == nullptr) return false;
  r.folders.insert(*pathTemplate);
  return true;
}

void RegisterPartialFile(const std::string& path) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.partials.insert(path);
}

int SpawnRegisteredChild(const std::function<int()>& spawn) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  const int pid = spawn();
  if (pid > 0) r.children.insert(pid);
  return pid;
}

void UnregisterChildProcess(int pid) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.children.erase(pid);
}

void UnregisterPartialFile(const std::string& path) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.partials.erase(path);
}

void RemoveRunFilesOnTermination() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Blocked here, the signals reach only the watcher's sigwait: cleanup
    // then runs as ordinary code, not inside a signal handler.
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
    std::thread([set] {
      int sig = 0;
      while (sigwait(&set, &sig) != 0) {
      }
      // The lock stays held until the process ends: no other thread can
      // make and register a new entry after the cleanup.
      Registry& r = TheRegistry();
      r.mutex.lock();
      RemoveEverythingRegistered(r);
      // End as the signal would have ended us, so callers see the cause.
      ::signal(sig, SIG_DFL);
      pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
      ::raise(sig);
      ::_exit(128 + sig);
    }).detach();
  });
}

void SweepStaleRunFiles(const std::string& folder, const std::vector<std::string>& runPrefixes) {
  UniqueFd dir(RetryOnInterrupt(
      [&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!dir.valid()) return;
  std::vector<FolderEntry> entries;
  if (!ListFolderAt(dir.get(), folder, &entries)) return;
  const uid_t me = ::geteuid();
  for (const FolderEntry& e : entries) {
    struct stat st {};
    if (::fstatat(dir.get(), e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid != me)
      continue;
    const std::string path = JoinPath(folder, e.name);
    if (S_ISREG(st.st_mode) && PidIsGone(PidOfTemporaryName(e.name))) {
      if (::unlinkat(dir.get(), e.name.c_str(), 0) != 0)
        DebugOutput("cannot remove stale %s\n", path.c_str());
      continue;
    }
    if (!S_ISDIR(st.st_mode)) continue;
    bool ours = false;
    for (const std::string& prefix : runPrefixes)
      ours = ours || (e.name.size() > prefix.size() && e.name.compare(0, prefix.size(), prefix) == 0);
    if (!ours) continue;
    const long pid = PidOfRunFolder(dir.get(), e.name);
    if (pid == 0 ? HoldsNoRun(dir.get(), e.name) : PidIsGone(pid))
      if (Status removed = RemoveRunFolder(path); !removed)
        DebugOutput("%s\n", removed.message.c_str());
  }
}

}  // namespace platform
