#include "app/app_state.h"

#include <atomic>
#include <mutex>

#include "sdk/cloud/orvel_server.h"

namespace {

std::mutex g_mu;
std::string g_user;
std::string g_title;
std::atomic<int> g_max_idle{300};
std::atomic<bool> g_lan_only{false};

QIcon& Icon() {
  static QIcon icon;
  return icon;
}

}  // namespace

COrvelServer& OrvelServer() {
  static COrvelServer server;
  return server;
}

std::string GetCurrentUser() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_user;
}

void SetCurrentUser(const std::string& user) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_user = user;
}

std::string GetWindowTitle() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_title;
}

void SetWindowTitle(const std::string& title) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_title = title.substr(0, 95);
}

QIcon GetAppIcon() { return Icon(); }
void SetAppIcon(const QIcon& icon) { Icon() = icon; }

int GetMaxIdleTime() { return g_max_idle; }
void SetMaxIdleTime(int seconds) { g_max_idle = seconds; }

bool IsLanOnly() { return g_lan_only; }
void SetLanOnly(bool on) { g_lan_only = on; }
