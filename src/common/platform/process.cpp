#include "common/platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/platform/fd.h"
#include "common/platform/progdir.h"
#include "common/platform/run_folder.h"

extern char** environ;

namespace platform {
namespace {

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Owns the file actions of one posix_spawn call.
class SpawnActions {
 public:
  SpawnActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// Spawns program with args; returns the pid, or -1 with *error set. With
// `outputTo` (a descriptor), the program's standard input is /dev/null and
// its standard output and error go to `outputTo`; with `standardOutput` as
// well, the standard output goes there instead.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::string& workingFolder, int outputTo, std::string* error,
            int standardOutput = -1, char* const* environment = environ) {
  std::vector<std::string> argv;
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargs;
  for (std::string& a : argv) cargs.push_back(a.data());
  cargs.push_back(nullptr);

  SpawnActions actions;
  if (outputTo >= 0) {
    ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(actions.get(), standardOutput >= 0 ? standardOutput : outputTo, 1);
    ::posix_spawn_file_actions_adddup2(actions.get(), outputTo, 2);
  }
  if (!workingFolder.empty())
    ::posix_spawn_file_actions_addchdir_np(actions.get(), workingFolder.c_str());

  // Our signal watcher keeps SIGINT/SIGTERM/SIGHUP blocked; a child starts
  // with every signal unblocked and at its default, so it can be stopped.
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  sigset_t none, usual;
  sigemptyset(&none);
  sigemptyset(&usual);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&usual, sig);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setsigdefault(&attributes, &usual);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), actions.get(), &attributes, cargs.data(), environment);
  ::posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    if (error) *error = std::strerror(rc);
    return -1;
  }
  return pid;
}

int WaitFor(pid_t pid) {
  int status = 0;
  if (RetryOnInterrupt([&] { return ::waitpid(pid, &status, 0); }) < 0) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

std::vector<std::string> SplitParameters(const std::string& parameters) {
  std::vector<std::string> args;
  std::string current;
  bool inArgument = false;  // something (maybe an empty "") has been seen
  bool quoted = false;
  for (char c : parameters) {
    if (c == '"') {
      quoted = !quoted;
      inArgument = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inArgument) args.push_back(current);
      current.clear();
      inArgument = false;
    } else {
      current += c;
      inArgument = true;
    }
  }
  if (inArgument) args.push_back(current);
  return args;
}

std::string FindTool(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) {
    return !name.empty() && IsExecutableFile(name) ? name : std::string();
  }
  std::string beside = GetProgramDirectory() + name;
  if (IsExecutableFile(beside)) return beside;
  const char* pathEnv = std::getenv("PATH");
  std::string path = pathEnv ? pathEnv : "";
  path += ":/usr/local/sbin:/usr/sbin:/sbin";
  std::size_t begin = 0;
  while (begin <= path.size()) {
    std::size_t end = path.find(':', begin);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(begin, end - begin);
    begin = end + 1;
    if (dir.empty()) continue;  // an empty PATH entry would mean "here": not for tools
    std::string candidate = dir + (dir.back() == '/' ? "" : "/") + name;
    if (IsExecutableFile(candidate)) return candidate;
  }
  return std::string();
}

namespace {

// The file-system tools allocate and free a buffer per file and per node;
// with glibc's default thresholds each one is a fresh mapping, and
// mkfs.jffs2 spent half its time in the kernel mapping and unmapping them.
// Keeping such buffers on the heap costs no more memory and changes no byte
// the tools write. Tunables of the operator's own come after ours and win.
constexpr const char* kToolMallocTunables =
    "glibc.malloc.mmap_threshold=268435456:glibc.malloc.trim_threshold=268435456";

// Our environment for a waited-for tool: every variable as it is, with our
// malloc tunables added.
class ToolEnvironment {
 public:
  ToolEnvironment() {
    std::string theirs;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "GLIBC_TUNABLES=", 15) == 0)
        theirs = *e + 15;
      else
        texts_.emplace_back(*e);
    }
    texts_.push_back(std::string("GLIBC_TUNABLES=") + kToolMallocTunables + (theirs.empty() ? "" : ":" + theirs));
    for (std::string& t : texts_) pointers_.push_back(t.data());
    pointers_.push_back(nullptr);
  }
  char* const* get() const { return pointers_.data(); }

 private:
  std::vector<std::string> texts_;
  std::vector<char*> pointers_;
};

ProcessResult Run(const std::string& program, const std::vector<std::string>& args, int standardOutput) {
  ProcessResult result;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    result.error = std::strerror(errno);
    return result;
  }
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  // A signal that ends the run stops the program before the run's folders
  // go, so it writes nothing into them afterwards.
  const ToolEnvironment environment;
  const pid_t pid = SpawnRegisteredChild([&] {
    return Spawn(program, args, std::string(), writeEnd.get(), &result.error, standardOutput, environment.get());
  });
  writeEnd.Reset();  // the program holds the only write end now: EOF when it ends
  if (pid < 0) return result;
  result.started = true;
  char chunk[4096];
  for (;;) {
    const ssize_t n = RetryOnInterrupt([&] { return ::read(readEnd.get(), chunk, sizeof chunk); });
    if (n <= 0) break;
    result.output.append(chunk, static_cast<std::size_t>(n));
    if (result.output.size() > 2 * kKeptOutput)
      result.output.erase(0, result.output.size() - kKeptOutput);
  }
  if (result.output.size() > kKeptOutput) result.output.erase(0, result.output.size() - kKeptOutput);
  // Forgotten once it has ended but before it is reaped: until then its pid
  // is still its own, never another process's.
  siginfo_t ended {};
  RetryOnInterrupt([&] { return ::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT); });
  UnregisterChildProcess(pid);
  result.exitStatus = WaitFor(pid);
  return result;
}

}  // namespace

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args) {
  return Run(program, args, -1);
}

ProcessResult RunProgramWithOutputTo(const std::string& program, const std::vector<std::string>& args,
                                     int standardOutput) {
  return Run(program, args, standardOutput);
}

std::string LastLines(const std::string& output, int count) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < output.size()) {
    std::size_t end = output.find('\n', begin);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(begin, end - begin);
    begin = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  std::string joined;
  const std::size_t first = lines.size() > static_cast<std::size_t>(count) ? lines.size() - count : 0;
  for (std::size_t i = first; i < lines.size(); ++i) joined += (joined.empty() ? "" : "; ") + lines[i];
  return joined;
}

bool StartProgram(const std::string& program, const std::vector<std::string>& args,
                  const std::string& workingFolder, std::string* error) {
  pid_t pid = Spawn(program, args, workingFolder, -1, error);
  if (pid < 0) return false;
  // The started program outlives this call; someone has to reap it.
  std::thread([pid] { WaitFor(pid); }).detach();
  return true;
}

}  // namespace platform
