// velmora: the desktop client.
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/demo/demo_driver.h"
#include "app/demo/demo_road.h"
#include "app/settings.h"
#include "app/ui/strings.h"
#include "app/ui/style.h"
#include "app/velmora_app.h"

namespace {

void PrintHelp() {
  std::printf(
      "Usage: velmora [--lang LANG] [--demo-report PATH [--demo-road NAME]]\n"
      "       velmora --help | --version\n"
      "\n"
      "The desktop client of the Velmora cloud camera service. It signs in with a saved account or shows "
      "the\n"
      "log-in dialog, then opens the main window.\n"
      "\n"
      "Options:\n"
      "  --lang LANG    language of the user interface: en (English) or zh (Simplified Chinese);\n"
      "                 default: that of the system locale (Chinese for zh_*, English otherwise)\n"
      "  --demo-report PATH\n"
      "                 once signed in, open the first four devices in the grid, let them play, save a\n"
      "                 screenshot of the window (PATH with the extension .png), write a short report of\n"
      "                 what it showed to PATH and end (exit 0 when every opened pane played)\n"
      "  --demo-road NAME\n"
      "                 with --demo-report: once the panes play, work the window's controls along a road\n"
      "                 (live: snapshot, recording, talkback and pan-tilt on the first pane) and report\n"
      "                 each step; playback: instead of the panes, SD-card playback from times picked on\n"
      "                 the timeline, cloud playback of a day picked in the date picker and a live pane's\n"
      "                 reconnect\n"
      "  -h, --help     this text\n"
      "  --version      the version\n"
      "\n"
      "Files:\n"
      "  ./app.conf                        section [ui]: title (also the data sub-folder), oem\n"
      "  $XDG_DATA_HOME/TITLE/config.ini   settings and saved accounts; section [servers] names the service\n"
      "                                    (production=, test=, pre_release= entry points)\n"
      "  $XDG_DATA_HOME/TITLE/velmora.log  the log, new at each start\n"
      "  $XDG_DATA_HOME/TITLE/velmora.lock held while the program runs; a second start on the same\n"
      "                                    folder is refused with a message\n"
      "  $XDG_DATA_HOME/TITLE/Velmora_exception.dmp   the crash report (text)\n"
      "  $XDG_DATA_HOME/VelmoraData        snapshots, recordings, cloud cache\n"
      "\n"
      "Example:\n"
      "  velmora --lang zh\n");
}

// While the application object is made, the display platform's complaints are held back: when no display
// can be opened Qt ends the process with a hint about reinstalling; one line naming the display says it
// instead, and the program ends with 1.
bool g_making_app = false;
QtMessageHandler g_default_handler = nullptr;
std::vector<std::string> g_held;

void StartupMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (g_making_app) {
    if (type == QtFatalMsg) {
      std::fprintf(stderr, "velmora: %s\n",
                   NoDisplayText(std::getenv("QT_QPA_PLATFORM"), std::getenv("DISPLAY"),
                                 std::getenv("WAYLAND_DISPLAY"))
                       .c_str());
      std::fflush(stderr);
      _exit(1);
    }
    if (context.category && std::strncmp(context.category, "qt.qpa.", 7) == 0) {
      g_held.push_back(std::string(context.category) + ": " + message.toStdString());
      return;
    }
  }
  if (g_default_handler) g_default_handler(type, context, message);
}

int Usage(const char* fmt, const char* arg) {
  std::fprintf(stderr, "velmora: ");
  std::fprintf(stderr, fmt, arg);
  std::fprintf(stderr, "\nTry 'velmora --help'.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // The service client comes first and goes last.
  OrvelServer();
  const char* demo_report = nullptr;
  const char* demo_road = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0) {
      PrintHelp();
      return 0;
    }
    if (std::strcmp(a, "--version") == 0) {
      std::printf("velmora %s\n", GetFileVersionText().c_str());
      return 0;
    }
    if (std::strcmp(a, "--lang") == 0 || std::strncmp(a, "--lang=", 7) == 0) {
      const char* value = a[6] == '=' ? a + 7 : (i + 1 < argc ? argv[++i] : nullptr);
      if (!value) return Usage("option '%s' needs a value (en or zh)", "--lang");
      UiLanguage lang;
      if (!ParseUiLanguage(value, &lang)) return Usage("unknown language '%s' for --lang (en or zh)", value);
      SetUiLanguageOverride(lang);
      continue;
    }
    if (std::strcmp(a, "--demo-report") == 0 || std::strncmp(a, "--demo-report=", 14) == 0) {
      const char* value = a[13] == '=' ? a + 14 : (i + 1 < argc ? argv[++i] : nullptr);
      if (!value || !*value) return Usage("option '%s' needs a file name", "--demo-report");
      demo_report = value;
      continue;
    }
    if (std::strcmp(a, "--demo-road") == 0 || std::strncmp(a, "--demo-road=", 12) == 0) {
      const char* value = a[11] == '=' ? a + 12 : (i + 1 < argc ? argv[++i] : nullptr);
      if (!value || !*value) return Usage("option '%s' needs a road name", "--demo-road");
      if (!IsDemoRoad(value)) {
        std::fprintf(stderr,
                     "velmora: unknown road '%s' for --demo-road (roads: %s)\nTry 'velmora --help'.\n", value,
                     DemoRoadNames().c_str());
        return 2;
      }
      demo_road = value;
      continue;
    }
    if (a[0] == '-') return Usage("unknown option '%s'", a);
    return Usage("unexpected argument '%s'", a);
  }

  if (demo_road && !demo_report) return Usage("option '%s' needs --demo-report", "--demo-road");

  int qt_argc = 1;
  char* qt_argv[] = {argv[0], nullptr};
  g_default_handler = qInstallMessageHandler(StartupMessageHandler);
  g_making_app = true;
  QApplication app(qt_argc, qt_argv);
  g_making_app = false;
  for (const std::string& line : g_held) std::fprintf(stderr, "%s\n", line.c_str());
  g_held.clear();
  QApplication::setApplicationName(QStringLiteral("Velmora"));
  ApplyAppStyle(&app);
  CVelmoraApp the_app;
  std::unique_ptr<DemoDriver> demo;
  if (demo_report) {
    DemoOptions options;
    options.report_path = demo_report;
    if (demo_road) options.road = demo_road;
    demo = MakeDemoDriver(options);
    demo->Arm();
  }
  if (!the_app.InitInstance()) {
    the_app.ExitInstance();
    if (demo) {
      demo->StartUpFailed();
      return 1;
    }
    return the_app.exit_code();
  }
  if (demo) demo->Attach(the_app.main_window());
  app.exec();
  const int code = the_app.ExitInstance();
  return demo && !demo->succeeded() ? 1 : code;
}
