#include "platform/appdata.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace platform {
namespace {

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && home[0]) return home;
  std::vector<char> buf(16384);
  passwd pw;
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return {};
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string AppDataRoot() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') return xdg;
  std::string home = HomeFolder();
  if (home.empty()) return {};
  if (home.back() != '/') home += '/';
  return home + ".local/share";
}

std::string MakeAppDataFolder(const std::string& sub) {
  std::string root = AppDataRoot();
  if (root.empty()) return {};
  std::string path = sub.empty() ? root : root + "/" + sub;
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    std::string part = path.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return {};
  }
  return IsFolder(path) ? path : std::string();
}

}  // namespace platform
