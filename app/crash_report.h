// The crash report: on a fatal signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS, SIGTRAP) a text
// report is written to "Velmora_exception.dmp" in the given folder: the signal, the faulting address, the
// thread, a backtrace and the mapped modules. Only async-signal-safe calls run in the handler; then the
// signal's default action runs (the process ends with that signal).
#pragma once

#include <string>

constexpr const char* kCrashReportName = "Velmora_exception.dmp";

// Arms the handler for folder (the path is fixed now; nothing is allocated when it fires). True when armed.
bool InstallCrashReport(const std::string& folder);
// The report's path once armed, else empty.
std::string CrashReportPath();
