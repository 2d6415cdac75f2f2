#include "app/crash_report.h"

#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS, SIGTRAP};
constexpr size_t kPathMax = 4096;
constexpr int kMaxFrames = 64;
constexpr size_t kAltStackSize = 64 * 1024;

char g_path[kPathMax];
volatile sig_atomic_t g_armed = 0;
volatile sig_atomic_t g_in_handler = 0;

// Text building without the C library's formatting (not async-signal-safe).
struct Out {
  int fd;
  void Write(const char* s, size_t n) {
    while (n > 0) {
      ssize_t w = ::write(fd, s, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return;
      s += w;
      n -= static_cast<size_t>(w);
    }
  }
  void Str(const char* s) { Write(s, std::strlen(s)); }
  void Dec(long v) {
    char buf[24];
    int i = sizeof buf;
    bool neg = v < 0;
    unsigned long u = neg ? 0ul - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do {
      buf[--i] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u);
    if (neg) buf[--i] = '-';
    Write(buf + i, sizeof buf - i);
  }
  void Hex(uintptr_t v) {
    char buf[2 + 2 * sizeof v];
    int i = sizeof buf;
    do {
      buf[--i] = "0123456789abcdef"[v & 15];
      v >>= 4;
    } while (v);
    buf[--i] = 'x';
    buf[--i] = '0';
    Write(buf + i, sizeof buf - i);
  }
};

const char* SignalName(int sig) {
  switch (sig) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGFPE:
      return "SIGFPE";
    case SIGILL:
      return "SIGILL";
    case SIGABRT:
      return "SIGABRT";
    case SIGSYS:
      return "SIGSYS";
    case SIGTRAP:
      return "SIGTRAP";
    default:
      return "signal";
  }
}

void CopyFile(Out& out, const char* path) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.Write(buf, static_cast<size_t>(n));
  }
  ::close(fd);
}

void OnFatalSignal(int sig, siginfo_t* info, void*) {
  int saved_errno = errno;
  // A second fault (in here, or on another thread meanwhile) goes straight to the default action.
  if (g_armed && !g_in_handler) {
    g_in_handler = 1;
    int fd = ::open(g_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
      Out out{fd};
      out.Str("Velmora crash report\nsignal ");
      out.Dec(sig);
      out.Str(" (");
      out.Str(SignalName(sig));
      out.Str(") code ");
      out.Dec(info ? info->si_code : 0);
      out.Str("\naddress ");
      out.Hex(info ? reinterpret_cast<uintptr_t>(info->si_addr) : 0);
      out.Str("\npid ");
      out.Dec(static_cast<long>(::getpid()));
      out.Str(" thread ");
      out.Dec(static_cast<long>(::syscall(SYS_gettid)));
      out.Str("\n\nbacktrace\n");
      void* frames[kMaxFrames];
      int n = ::backtrace(frames, kMaxFrames);
      ::backtrace_symbols_fd(frames, n, fd);
      out.Str("\nmodules\n");
      CopyFile(out, "/proc/self/maps");
      ::fsync(fd);
      ::close(fd);
    }
  }
  // Default action: the handler was installed to reset itself, so raising again ends the process with the
  // signal (a fault re-executes the instruction; others need the raise).
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  ::sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  errno = saved_errno;
  ::raise(sig);
}

}  // namespace

bool InstallCrashReport(const std::string& folder) {
  std::string path = (folder.empty() ? std::string(".") : folder) + "/" + kCrashReportName;
  if (path.size() >= kPathMax) return false;
  std::memcpy(g_path, path.c_str(), path.size() + 1);
  // backtrace() loads its unwinder on first use, which allocates: do it now, not in the handler.
  void* warm[2];
  ::backtrace(warm, 2);
  // An alternate stack, so a stack overflow can still be reported.
  static char* alt_stack = new char[kAltStackSize];
  stack_t ss;
  std::memset(&ss, 0, sizeof ss);
  ss.ss_sp = alt_stack;
  ss.ss_size = kAltStackSize;
  ::sigaltstack(&ss, nullptr);
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = OnFatalSignal;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  ::sigemptyset(&sa.sa_mask);
  bool ok = true;
  for (int sig : kSignals) ok = ::sigaction(sig, &sa, nullptr) == 0 && ok;
  g_armed = 1;
  return ok;
}

std::string CrashReportPath() { return g_armed ? std::string(g_path) : std::string(); }
