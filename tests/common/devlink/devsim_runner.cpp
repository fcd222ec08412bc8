#include "devsim_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "test_support.h"

extern char** environ;

namespace testsupport {
namespace fs = std::filesystem;

std::string SampleDevsimState() { return SourceDir() + "/data/app/devsim-state"; }

bool CopyDevsimState(const std::string& target, const std::string& source) {
  std::error_code ec;
  fs::create_directories(target, ec);
  fs::copy(source, target, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  return !ec;
}

bool EditDeviceJson(const std::string& stateDir, const std::function<void(Json::Value&)>& edit) {
  const std::string path = stateDir + "/device.json";
  Json::Value root;
  Json::CharReaderBuilder builder;
  std::string text = ReadFile(path), error;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  if (!reader->parse(text.data(), text.data() + text.size(), &root, &error)) return false;
  edit(root);
  WriteFile(path, root.toStyledString());
  return true;
}

bool DevsimRunner::Start(const std::string& stateDir, std::string* error, std::uint16_t port) {
  auto fail = [error](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return fail("pipe failed");
  const std::string program = AppDir() + "/devsim";
  std::vector<std::string> args = {program, "--state", stateDir, "--host", host_, "--port",
                                   std::to_string(port)};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    pid_ = -1;
    return fail("cannot start " + program);
  }
  // Read the first line, bounded in time.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string text;
  while (text.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now()).count();
    pollfd p{out[0], POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buf[256];
    const ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  line_ = text.substr(0, text.find('\n'));
  const std::string prefix = "listening on " + host_ + ":";
  if (line_.rfind(prefix, 0) != 0) {
    Stop();
    return fail("devsim did not report its port: '" + line_ + "'");
  }
  port_ = static_cast<std::uint16_t>(std::atoi(line_.c_str() + prefix.size()));
  return port_ != 0 || fail("bad port in '" + line_ + "'");
}

bool DevsimRunner::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return false;
  }
  return true;
}

int DevsimRunner::Stop(int signal) {
  if (pid_ <= 0) return exitStatus_;
  ::kill(pid_, signal);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (Running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      Kill();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return exitStatus_;
}

void DevsimRunner::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  exitStatus_ = 128 + SIGKILL;
  pid_ = -1;
}

long DevsimRunner::ResidentKiB() const {
  if (pid_ <= 0) return -1;
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

}  // namespace testsupport
