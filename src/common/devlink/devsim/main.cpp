// devsim --state DIR [--host 127.0.0.1] [--port N]: serves one simulated
// device over the devlink protocol until SIGTERM or SIGINT. The first line of
// standard output is "listening on HOST:PORT" (with the real port when
// --port 0 asked for a free one).
// devsim set-password --state DIR --user NAME --password PW
//   [--iterations N] [--rights Config,Language]: stores the verifier of a
// password in device.json (adding the user when missing); the password
// itself is never stored.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <json/json.h>

#include "common/devlink/devsim/device_state.h"
#include "common/platform/files.h"
#include "common/devlink/devsim/server.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

int Usage() {
  std::fprintf(stderr,
               "usage: devsim --state DIR [--host 127.0.0.1] [--port N]\n"
               "       devsim set-password --state DIR --user NAME --password PW\n"
               "              [--iterations N] [--rights Config,Language]\n"
               "Serves one simulated device; --port 0 picks a free port.\n");
  return 2;
}

int SetPassword(int argc, char** argv) {
  std::string stateDir, user, password, rights;
  bool haveRights = false;
  long iterations = devlink::login::kDefaultIterations;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string v = argv[++i];
    if (a == "--state") {
      stateDir = v;
    } else if (a == "--user") {
      user = v;
    } else if (a == "--password") {
      password = v;
    } else if (a == "--rights") {
      rights = v;
      haveRights = true;
    } else if (a == "--iterations") {
      char* end = nullptr;
      iterations = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || iterations < 1 ||
          iterations > static_cast<long>(devlink::login::kMaxIterations))
        return Usage();
    } else {
      return Usage();
    }
  }
  if (stateDir.empty() || user.empty()) return Usage();
  const std::string path = platform::JoinPath(stateDir, "device.json");
  std::string text;
  Json::Value root;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string parseError;
  if (platform::Status s = platform::ReadFileText(path, &text); !s) {
    std::fprintf(stderr, "devsim: %s\n", s.message.c_str());
    return 1;
  }
  if (!reader->parse(text.data(), text.data() + text.size(), &root, &parseError) ||
      !root.isObject()) {
    std::fprintf(stderr, "devsim: %s: not a JSON object %s\n", path.c_str(), parseError.c_str());
    return 1;
  }
  Json::Value* entry = nullptr;
  for (Json::Value& u : root["Users"])
    if (u.isObject() && u["Name"].isString() && u["Name"].asString() == user) entry = &u;
  if (!entry) {
    Json::Value added(Json::objectValue);
    added["Name"] = user;
    added["Rights"] = Json::Value(Json::arrayValue);
    added["Locked"] = false;
    entry = &root["Users"].append(added);
  }
  if (haveRights) {
    (*entry)["Rights"] = Json::Value(Json::arrayValue);
    std::size_t start = 0;
    while (start <= rights.size()) {
      const std::size_t comma = std::min(rights.find(',', start), rights.size());
      if (comma > start) (*entry)["Rights"].append(rights.substr(start, comma - start));
      start = comma + 1;
    }
  }
  if (!devsim::SetUserPassword(password, static_cast<std::uint32_t>(iterations), entry)) {
    std::fprintf(stderr, "devsim: cannot derive the password verifier\n");
    return 1;
  }
  if (platform::Status s = platform::WriteFileAtomic(path, root.toStyledString()); !s) {
    std::fprintf(stderr, "devsim: %s\n", s.message.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "set-password") == 0) return SetPassword(argc, argv);
  std::string stateDir, host = "127.0.0.1";
  long port = 34567;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") return Usage(), 0;
    if (i + 1 >= argc) return Usage();
    const char* v = argv[++i];
    if (a == "--state") {
      stateDir = v;
    } else if (a == "--host") {
      host = v;
    } else if (a == "--port") {
      char* end = nullptr;
      port = std::strtol(v, &end, 10);
      if (*v == '\0' || *end != '\0' || port < 0 || port > 65535) {
        std::fprintf(stderr, "devsim: bad port: %s\n", v);
        return 2;
      }
    } else {
      return Usage();
    }
  }
  if (stateDir.empty()) return Usage();

  devsim::DeviceState state;
  std::string error;
  if (!state.Load(stateDir, &error)) {
    std::fprintf(stderr, "devsim: %s\n", error.c_str());
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  devsim::Server server(&state);
  if (!server.Listen(host, static_cast<std::uint16_t>(port), &error)) {
    std::fprintf(stderr, "devsim: %s\n", error.c_str());
    return 1;
  }
  std::printf("listening on %s:%u\n", host.c_str(), static_cast<unsigned>(server.port()));
  std::fflush(stdout);
  server.Run(&g_stop);
  return 0;
}
