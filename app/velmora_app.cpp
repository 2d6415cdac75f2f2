#include "app/velmora_app.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QIcon>
#include <cerrno>
#include <cstdio>

#include "app/app_state.h"
#include "app/crash_report.h"
#include "app/media_sinks.h"
#include "app/dialogs/login_dlg.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "app/ui/blocking_runner.h"
#include "app/ui/message_box.h"
#include "app/ui/strings.h"
#include "platform/appdata.h"
#include "platform/tsan_sync.h"
#include "sdk/node/sdk_hooks.h"
#include "sdk/cloud/cloud_config.h"
#include "sdk/cloud/orvel_server.h"
#include "sdk/node/device_node.h"
#include "sdk/net/tls_config.h"
#include "util/log.h"

namespace {

constexpr char kTag[] = "CVelmoraApp::InitInstance";
constexpr int kLogMaxSize = 0x7FFFFFFF;
constexpr int kLogLevel = 6;

}  // namespace

bool IsActivityEvent(int type) {
  switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::MouseMove:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
      return true;
    default:
      return false;
  }
}

std::string NoDisplayText(const char* platform, const char* x_display, const char* wayland_display) {
  // "wayland;xcb" tries in order and "xcb:option" carries options: the first name counts.
  std::string name = platform ? platform : "";
  name = name.substr(0, name.find_first_of(";:"));
  auto named = [](const char* what, const char* variable, const char* value) {
    if (!value || !*value) return std::string("no display to open: ") + variable + " is not set";
    return std::string("cannot open the ") + what + " \"" + value + "\" (" + variable + ")";
  };
  if (name.empty() || name == "xcb") return named("display", "DISPLAY", x_display);
  if (name.rfind("wayland", 0) == 0) return named("Wayland display", "WAYLAND_DISPLAY", wayland_display);
  return "cannot start the display platform \"" + name + "\" (QT_QPA_PLATFORM)";
}

int LockDataFolder(const std::string& folder) {
  const std::string path = (folder.empty() ? std::string(".") : folder) + "/velmora.lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -2;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
  const bool held = errno == EWOULDBLOCK;
  ::close(fd);
  return held ? -1 : -2;
}

CVelmoraApp::CVelmoraApp() {
  if (QCoreApplication* app = QCoreApplication::instance()) app->installEventFilter(this);
}

CVelmoraApp::~CVelmoraApp() {
  if (QCoreApplication* app = QCoreApplication::instance()) app->removeEventFilter(this);
  if (lock_fd_ >= 0) ::close(lock_fd_);
}

bool CVelmoraApp::eventFilter(QObject* watched, QEvent* event) {
  // It sees events posted from other threads first.
  TsanAcquire(event);
  if (main_ && IsActivityEvent(event->type())) main_->ResetIdleCounter();
  return QObject::eventFilter(watched, event);
}

bool CVelmoraApp::InitInstance() {
  // 1. The crash report, in the current folder until the application-data folder is known.
  InstallCrashReport(GetAppDataFolder());

  // 3. Title and icon.
  SetWindowTitle(ReadAppConf("title"));
  if (QFile::exists(QStringLiteral("app.ico"))) SetAppIcon(QIcon(QStringLiteral("app.ico")));

  // 4. The application-data folder: the user's data folder with the title as sub-folder, else ".".
  SetAppDataFolder(platform::MakeAppDataFolder(GetWindowTitle()));
  // One instance per data folder: a second one would start the first's log anew and write its settings.
  lock_fd_ = LockDataFolder(GetAppDataFolder());
  if (lock_fd_ == -1) {
    std::fprintf(stderr, "velmora: already running with the data folder %s\n", GetAppDataFolder().c_str());
    ShowMessage(nullptr,
                UiText("Velmora is already running. Use the open window, or close it before starting again.",
                       "Velmora 已在运行。请使用已打开的窗口，或先关闭它再启动。"),
                LoadUiString(IDS_INFORMATION), kBoxInformation);
    exit_code_ = 1;
    return false;
  }
  InstallCrashReport(GetAppDataFolder());
  // It holds passwords: readable by its owner only.
  SecureConfigFile();

  // Decoded pictures and the media sinks' events reach the panes.
  InstallMediaSinks();

  // 5. The idle limit.
  SetMaxIdleTime(ReadConfigInt("config", "max_idle_time", kDefaultMaxIdleTime));

  // 6. The log, anew at each start.
  LogOpen(kLogToFile, (GetAppDataFolder() + "/velmora.log").c_str(), kLogMaxSize);
  LogSetLevel(kLogLevel);

  // 7. LAN-only mode.
  SetLanOnly(ReadConfigInt("config", "lan_only", 0) != 0);
  DeviceNodeSetLanOnly(IsLanOnly());

  // 8. Package name and server environment; the service's addresses come from section "servers".
  std::string oem = ReadAppConf("oem");
  int env = ReadConfigInt("config", "env", 0);
  CloudDeployment deployment = CloudGetDeployment();
  if (CloudLoadDeployment(ConfigPath().c_str(), &deployment)) CloudSetDeployment(deployment);
  // Certificate checks of the service's https: tls_verify and tls_ca_file of section "config".
  NetTlsLoadConfig(ConfigPath().c_str());

  // 9. The service, which drives the device link and WebRTC signalling.
  InstallCloudSdkHooks();
  int r = RunBlocking([&] { return OrvelServer().Init(oem.c_str(), env); });
  if (r != 0) {
    LogPrintf(kLogError, nullptr, kTag, "COrvelServer::Init(%d) failed: %d\n", env, r);
    ShowErrorBox(nullptr, IDS_CANNOT_CONNECT);
    exit_code_ = 1;
    return false;
  }
  // 10.
  LogPrintf(kLogInfo, nullptr, kTag, "Orvel server inited.\n");

  // 11. The media folder roots the cloud cache, also when it cannot be made: the cache is then written
  // nowhere, never beside the folder.
  if (GetMediaFolder().empty())
    LogPrintf(kLogError, nullptr, kTag, "media folder %s cannot be created\n", MediaFolderPath().c_str());
  SetCacheRoot(MediaFolderPath().c_str());

  // 12, 13. Saved accounts, after moving a legacy saved password.
  std::string user, password;
  ConvertLegacyLogin(&user, &password);
  LoadAccounts(env);
  auto saved = AccountStore().find(user);
  if (saved != AccountStore().end()) password = saved->second;

  // 14. A saved account signs in; a failure is not reported, the log-in dialog follows.
  bool signed_in = false;
  if (!user.empty() && !password.empty()) {
    r = RunBlocking([&] { return OrvelServer().Login(user.c_str(), password.c_str()); });
    if (r == 0) {
      SetCurrentUser(user);
      signed_in = true;
    } else {
      LogPrintf(kLogInfo, nullptr, kTag, "saved account did not sign in: %d\n", r);
    }
  }
  // 15.
  if (!signed_in) {
    CLoginDlg dlg;
    if (dlg.DoModal() != IDOK) {
      exit_code_ = 0;
      return false;
    }
  }
  // 16.
  LogPrintf(kLogInfo, nullptr, kTag, "Logged in\n");

  // 17, 18. The main window, maximised.
  main_ = std::make_unique<CVelmoraDlg>();
  main_->showMaximized();
  LogPrintf(kLogInfo, nullptr, kTag, "Main window created and shown\n");
  return true;
}

int CVelmoraApp::ExitInstance() {
  main_.reset();
  OrvelServer().Disconnect();
  return exit_code_;
}
