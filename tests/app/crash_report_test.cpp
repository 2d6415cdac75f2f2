// The crash report: a child process that crashes on purpose writes it, then ends with its signal.
#include "app/crash_report.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/app/app_test_util.h"
#include "tests/common/temp_dir.h"

namespace {

enum Crash { kNullWrite, kAbort, kIllegal, kBusError };

__attribute__((noinline)) void CrashOnPurpose(Crash how) {
  switch (how) {
    case kNullWrite: {
      static volatile uintptr_t bad = 0x10;  // volatile: the compiler cannot see the address
      *reinterpret_cast<volatile int*>(bad) = 1;
      break;
    }
    case kAbort:
      std::abort();
    case kIllegal:
      __builtin_trap();
    case kBusError:
      raise(SIGBUS);
      break;
  }
}

// Forks a child that arms the report in folder and crashes; returns the wait status.
int RunCrashingChild(const std::string& folder, Crash how) {
  pid_t pid = fork();
  if (pid == 0) {
    if (!InstallCrashReport(folder)) _exit(3);
    CrashOnPurpose(how);
    _exit(4);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST(CrashReport, ChildThatCrashesWritesTheReportAndDiesOfItsSignal) {
  struct Case {
    Crash how;
    int signal;
    const char* name;
  } cases[] = {{kNullWrite, SIGSEGV, "SIGSEGV"},
               {kAbort, SIGABRT, "SIGABRT"},
               {kIllegal, SIGILL, "SIGILL"},
               {kBusError, SIGBUS, "SIGBUS"}};
  for (const Case& c : cases) {
    TempDir dir("velmora_crash");
    int status = RunCrashingChild(dir.path(), c.how);
    ASSERT_TRUE(WIFSIGNALED(status)) << c.name << " status " << status;
    EXPECT_EQ(WTERMSIG(status), c.signal) << c.name;
    std::string path = dir / kCrashReportName;
    std::string report = apptest::ReadFile(path);
    ASSERT_FALSE(report.empty()) << c.name;
    EXPECT_EQ(report.rfind("Velmora crash report\n", 0), 0u);
    EXPECT_NE(report.find("signal " + std::to_string(c.signal) + " (" + c.name + ")"), std::string::npos)
        << report.substr(0, 200);
    EXPECT_NE(report.find("\naddress 0x"), std::string::npos);
    if (c.how == kNullWrite) {
      EXPECT_NE(report.find("\naddress 0x10\n"), std::string::npos) << report.substr(0, 200);
    }
    // A backtrace through this test's code and the mapped modules with this program among them.
    size_t bt = report.find("\nbacktrace\n");
    size_t mods = report.find("\nmodules\n");
    ASSERT_NE(bt, std::string::npos);
    ASSERT_NE(mods, std::string::npos);
    EXPECT_LT(bt, mods);
    EXPECT_NE(report.find("app_crash_test", bt), std::string::npos);
    EXPECT_NE(report.find("r-xp", mods), std::string::npos);
    EXPECT_NE(report.find("libc.so", mods), std::string::npos);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

TEST(CrashReport, AnUnwritableFolderStillEndsWithTheSignal) {
  int status = RunCrashingChild("/nonexistent/velmora", kNullWrite);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
}

TEST(CrashReport, ReportReplacesAnOlderOne) {
  TempDir dir("velmora_crash");
  apptest::WriteFile(dir / kCrashReportName, std::string(100000, 'x'));
  RunCrashingChild(dir.path(), kAbort);
  std::string report = apptest::ReadFile(dir / kCrashReportName);
  EXPECT_EQ(report.find("xxxx"), std::string::npos);
  EXPECT_NE(report.find("(SIGABRT)"), std::string::npos);
}

}  // namespace
