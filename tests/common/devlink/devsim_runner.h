// Starts the device simulator for a test: a private copy of a state folder,
// devsim on 127.0.0.1 with a free port, stopped (SIGTERM, then SIGKILL) when
// the runner goes away. Link fs_devsim_runner; the devsim target is built
// before any test that links it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

#include <json/json.h>

namespace testsupport {

// The sample state shipped in the program folder's "devsim-state".
std::string SampleDevsimState();
// Copies a state folder tree (default: the sample) into `target`.
bool CopyDevsimState(const std::string& target, const std::string& source = SampleDevsimState());
// Reads, edits and writes back device.json of a state folder.
bool EditDeviceJson(const std::string& stateDir, const std::function<void(Json::Value&)>& edit);

class DevsimRunner {
 public:
  DevsimRunner() = default;
  ~DevsimRunner() { Stop(); }
  DevsimRunner(const DevsimRunner&) = delete;
  DevsimRunner& operator=(const DevsimRunner&) = delete;

  // Starts devsim on `stateDir`; waits up to 10 s for its "listening on" line.
  // `port` 0 takes a free one; a restart may ask for the port it had.
  bool Start(const std::string& stateDir, std::string* error = nullptr, std::uint16_t port = 0);
  // Sends `signal` (SIGTERM unless given) and waits, with SIGKILL after 5 s;
  // returns the exit status (128 + signal when killed), -1 when not running.
  int Stop(int signal = 15);
  void Kill();  // SIGKILL, as a crash would end it
  bool Running();  // still alive (reaps it when it has ended)

  const std::string& host() const { return host_; }
  std::uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& listeningLine() const { return line_; }
  // Resident memory of the simulator in KiB (VmRSS), or -1.
  long ResidentKiB() const;

 private:
  pid_t pid_ = -1;
  int exitStatus_ = -1;
  std::string host_ = "127.0.0.1";
  std::uint16_t port_ = 0;
  std::string line_;
};

}  // namespace testsupport
