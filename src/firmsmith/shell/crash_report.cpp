#include "firmsmith/shell/crash_report.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/platform/progdir.h"

namespace shell {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kMaxFrames = 64;
constexpr std::size_t kPathMax = 4096;

// Everything the handler needs is prepared at installation: once the signal
// arrives we may only use async-signal-safe calls (no malloc, no stdio).
char g_dumpPath[kPathMax];
std::atomic<bool> g_locked{false};
std::atomic<bool> g_crashing{false};
alignas(16) char g_altStack[64 * 1024];

using SigactionFn = int (*)(int, const struct sigaction*, struct sigaction*);
using SignalFn = sighandler_t (*)(int, sighandler_t);

SigactionFn RealSigaction() {
  static SigactionFn fn = reinterpret_cast<SigactionFn>(dlsym(RTLD_NEXT, "sigaction"));
  return fn;
}

bool IsFatal(int sig) {
  for (int s : kFatalSignals)
    if (s == sig) return true;
  return false;
}

// --- async-signal-safe output -------------------------------------------

class SafeWriter {
 public:
  explicit SafeWriter(int fd) : fd_(fd) {}
  ~SafeWriter() { Flush(); }
  void Text(const char* s) {
    while (*s) Char(*s++);
  }
  void Bytes(const char* s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) Char(s[i]);
  }
  void Hex(std::uint64_t v) {
    char buf[19] = "0x";
    for (int i = 0; i < 16; ++i) buf[2 + i] = "0123456789abcdef"[(v >> (60 - 4 * i)) & 0xF];
    buf[18] = '\0';
    Text(buf);
  }
  void Dec(long v) {
    char buf[24];
    int i = 23;
    buf[i] = '\0';
    bool neg = v < 0;
    unsigned long u = neg ? static_cast<unsigned long>(-(v + 1)) + 1 : static_cast<unsigned long>(v);
    do {
      buf[--i] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u != 0);
    if (neg) buf[--i] = '-';
    Text(buf + i);
  }
  void Char(char c) {
    if (used_ == sizeof buf_) Flush();
    buf_[used_++] = c;
  }
  void Flush() {
    std::size_t off = 0;
    while (off < used_) {
      ssize_t n = ::write(fd_, buf_ + off, used_ - off);
      if (n <= 0) break;
      off += static_cast<std::size_t>(n);
    }
    used_ = 0;
  }

 private:
  int fd_;
  char buf_[4096];
  std::size_t used_ = 0;
};

const char* SignalName(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "?";
  }
}

void WriteRegisters(SafeWriter& w, const ucontext_t* uc) {
  w.Text("\n[registers]\n");
#if defined(__x86_64__)
  static const char* const kNames[] = {"r8",  "r9",  "r10", "r11", "r12", "r13", "r14",
                                       "r15", "rdi", "rsi", "rbp", "rbx", "rdx", "rax",
                                       "rcx", "rsp", "rip", "efl"};
  for (int i = 0; i <= REG_EFL; ++i) {
    w.Text(kNames[i]);
    w.Text(" = ");
    w.Hex(static_cast<std::uint64_t>(uc->uc_mcontext.gregs[i]));
    w.Char('\n');
  }
#elif defined(__aarch64__)
  for (int i = 0; i < 31; ++i) {
    w.Text("x");
    w.Dec(i);
    w.Text(" = ");
    w.Hex(uc->uc_mcontext.regs[i]);
    w.Char('\n');
  }
  w.Text("sp = ");
  w.Hex(uc->uc_mcontext.sp);
  w.Text("\npc = ");
  w.Hex(uc->uc_mcontext.pc);
  w.Char('\n');
#else
  (void)uc;
  w.Text("(not recorded on this architecture)\n");
#endif
}

std::uint64_t FaultingPc(const ucontext_t* uc) {
#if defined(__x86_64__)
  return static_cast<std::uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return uc->uc_mcontext.pc;
#else
  (void)uc;
  return 0;
#endif
}

std::uint64_t ParseHex(const char*& p, const char* end) {
  std::uint64_t v = 0;
  while (p < end) {
    char c = *p;
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (d < 0) break;
    v = v * 16 + static_cast<std::uint64_t>(d);
    ++p;
  }
  return v;
}

// Reads /proc/self/maps into a fixed buffer (the map of a small program fits;
// a longer one is cut, which only costs module names of late mappings).
char g_maps[256 * 1024];

std::size_t ReadMaps() {
  int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::size_t used = 0;
  while (used < sizeof g_maps) {
    ssize_t n = ::read(fd, g_maps + used, sizeof g_maps - used);
    if (n <= 0) break;
    used += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return used;
}

// "module+0xoffset" for an address, from a maps line
// "start-end perms offset dev inode path".
void WriteModuleOf(SafeWriter& w, std::uint64_t addr, std::size_t mapsSize) {
  const char* p = g_maps;
  const char* end = g_maps + mapsSize;
  while (p < end) {
    const char* lineEnd = p;
    while (lineEnd < end && *lineEnd != '\n') ++lineEnd;
    const char* q = p;
    std::uint64_t start = ParseHex(q, lineEnd);
    if (q < lineEnd && *q == '-') ++q;
    std::uint64_t stop = ParseHex(q, lineEnd);
    if (addr >= start && addr < stop) {
      while (q < lineEnd && *q != ' ') ++q;  // perms
      while (q < lineEnd && *q == ' ') ++q;
      while (q < lineEnd && *q != ' ') ++q;
      while (q < lineEnd && *q == ' ') ++q;
      std::uint64_t fileOffset = ParseHex(q, lineEnd);
      const char* path = lineEnd;
      for (int field = 0; field < 2 && q < lineEnd; ++field) {  // dev, inode
        while (q < lineEnd && *q == ' ') ++q;
        while (q < lineEnd && *q != ' ') ++q;
      }
      while (q < lineEnd && *q == ' ') ++q;
      path = q;
      if (path < lineEnd)
        w.Bytes(path, static_cast<std::size_t>(lineEnd - path));
      else
        w.Text("[anonymous]");
      w.Text("+");
      w.Hex(addr - start + fileOffset);
      return;
    }
    p = lineEnd + 1;
  }
  w.Text("?");
}

void WriteReport(int fd, int sig, const siginfo_t* info, const ucontext_t* uc) {
  SafeWriter w(fd);
  std::size_t mapsSize = ReadMaps();
  w.Text("Firmsmith crash report\n\n[signal]\nsignal = ");
  w.Dec(sig);
  w.Text(" (");
  w.Text(SignalName(sig));
  w.Text(")\ncode = ");
  w.Dec(info ? info->si_code : 0);
  w.Text("\nfault address = ");
  w.Hex(info ? reinterpret_cast<std::uint64_t>(info->si_addr) : 0);
  w.Text("\npid = ");
  w.Dec(::getpid());
  w.Text("\n");
  if (uc != nullptr) {
    WriteRegisters(w, uc);
    w.Text("\n[faulting instruction]\n");
    std::uint64_t pc = FaultingPc(uc);
    w.Hex(pc);
    w.Text("  ");
    WriteModuleOf(w, pc, mapsSize);
    w.Char('\n');
  }
  w.Text("\n[backtrace of the failing thread, innermost first]\n");
  void* frames[kMaxFrames];
  int n = ::backtrace(frames, kMaxFrames);
  for (int i = 0; i < n; ++i) {
    w.Text("#");
    w.Dec(i);
    w.Text("  ");
    w.Hex(reinterpret_cast<std::uint64_t>(frames[i]));
    w.Text("  ");
    WriteModuleOf(w, reinterpret_cast<std::uint64_t>(frames[i]), mapsSize);
    w.Char('\n');
  }
  w.Text("\n[memory map]\n");
  w.Bytes(g_maps, mapsSize);
}

void OnFatalSignal(int sig, siginfo_t* info, void* context) {
  // A second thread failing at the same time waits for the first report.
  if (g_crashing.exchange(true)) {
    for (;;) ::pause();
  }
  if (g_dumpPath[0] != '\0') {
    int fd = ::open(g_dumpPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      WriteReport(fd, sig, info, static_cast<const ucontext_t*>(context));
      ::close(fd);
    }
  }
  ::_exit(255);
}

}  // namespace

std::string CrashDumpPath() {
  std::string exe = platform::GetExecutablePath();
  std::size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return std::string();  // no folder: no dump
  return exe.substr(0, slash + 1) + "CrashDumpFile.dmp";
}

void InstallCrashHandler() {
  std::string path = CrashDumpPath();
  if (path.size() < kPathMax) std::memcpy(g_dumpPath, path.c_str(), path.size() + 1);
  // backtrace() loads its unwinder on first use, which allocates: do it now.
  void* warm[1];
  ::backtrace(warm, 1);

  stack_t ss{};
  ss.ss_sp = g_altStack;
  ss.ss_size = sizeof g_altStack;
  ::sigaltstack(&ss, nullptr);  // a stack overflow still gets its report

  struct sigaction sa {};
  sa.sa_sigaction = OnFatalSignal;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  SigactionFn real = RealSigaction();
  if (real == nullptr) return;
  for (int sig : kFatalSignals) real(sig, &sa, nullptr);
  g_locked = true;
}

}  // namespace shell

// --- the lock ----------------------------------------------------------------
// These definitions take the place of the C library's for the whole process
// (the executable exports them, see CMakeLists.txt). Before installation, and
// for other signals, they pass straight through.

extern "C" int sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
  if (shell::g_locked && act != nullptr && shell::IsFatal(sig)) {
    if (old != nullptr) {
      std::memset(old, 0, sizeof *old);
      old->sa_handler = SIG_DFL;
    }
    return 0;
  }
  shell::SigactionFn real = shell::RealSigaction();
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real(sig, act, old);
}

extern "C" sighandler_t signal(int sig, sighandler_t handler) {
  if (shell::g_locked && shell::IsFatal(sig)) return SIG_DFL;
  struct sigaction sa {};
  struct sigaction old {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  if (sigaction(sig, &sa, &old) != 0) return SIG_ERR;
  return old.sa_handler;
}
