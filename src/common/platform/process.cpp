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

#include "common/platform/progdir.h"

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

// Spawns program with args; returns the pid, or -1 with *error set.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::string& workingFolder, bool quietStreams, std::string* error) {
  std::vector<std::string> argv;
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargs;
  for (std::string& a : argv) cargs.push_back(a.data());
  cargs.push_back(nullptr);

  SpawnActions actions;
  if (quietStreams) {
    ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(actions.get(), 2, 1);
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
  int rc = ::posix_spawn(&pid, program.c_str(), actions.get(), &attributes, cargs.data(), environ);
  ::posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    if (error) *error = std::strerror(rc);
    return -1;
  }
  return pid;
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
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

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args) {
  ProcessResult result;
  pid_t pid = Spawn(program, args, std::string(), true, &result.error);
  if (pid < 0) return result;
  result.started = true;
  result.exitStatus = WaitFor(pid);
  return result;
}

bool StartProgram(const std::string& program, const std::vector<std::string>& args,
                  const std::string& workingFolder, std::string* error) {
  pid_t pid = Spawn(program, args, workingFolder, false, error);
  if (pid < 0) return false;
  // The started program outlives this call; someone has to reap it.
  std::thread([pid] { WaitFor(pid); }).detach();
  return true;
}

}  // namespace platform
