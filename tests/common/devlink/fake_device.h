// A scripted device for tests of the client against replies devsim would
// never send: it listens on 127.0.0.1, accepts one connection and runs the
// test's script on it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/devlink/wire.h"

namespace testsupport {

class FakeDevice {
 public:
  using Script = std::function<void(FakeDevice& self, int fd)>;
  explicit FakeDevice(Script script);
  ~FakeDevice();
  FakeDevice(const FakeDevice&) = delete;
  FakeDevice& operator=(const FakeDevice&) = delete;
  std::uint16_t port() const { return port_; }
  // Everything the client sent, in order (filled while the script reads).
  std::vector<std::uint8_t> received() const { return received_; }

  // Script helpers. After AcceptLogin, ReadFrame checks and strips every
  // frame's tag (false when one does not authenticate) and Seal tags a
  // frame to send.
  bool ReadFrame(int fd, devlink::wire::Frame* frame, int waitMs = 3000);
  std::vector<std::uint8_t> Seal(const std::vector<std::uint8_t>& encoded) {
    return auth_.Seal(encoded);
  }
  static void Send(int fd, const std::vector<std::uint8_t>& bytes);
  // Waits until the client closes or `ms` pass.
  static void HoldOpen(int fd, int ms);
  // Plays the device's side of a login for `password` and answers with
  // success and session id `session`.
  bool AcceptLogin(int fd, std::uint32_t session = 77, const std::string& password = "pw");

 private:
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::vector<std::uint8_t> received_;
  devlink::wire::FrameDecoder decoder_;
  devlink::wire::FrameAuth auth_;
  std::thread thread_;
};

}  // namespace testsupport
