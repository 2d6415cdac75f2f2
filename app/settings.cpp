#include "app/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QString>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/appdata.h"
#include "platform/ini.h"

#ifndef VELMORA_VERSION
#define VELMORA_VERSION ""
#endif

namespace {

std::mutex g_folder_mu;
std::string g_app_data_folder = ".";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// A name that reads back as the same INI key: not empty, no '=', no line break, no blanks at its ends, not
// taken for a comment or a section header.
bool StorableName(const std::string& s) {
  if (s.empty() || s.find_first_of("=\r\n") != std::string::npos) return false;
  if (s.front() == ';' || s.front() == '#' || s.front() == '[') return false;
  return !IsBlank(s.front()) && !IsBlank(s.back());
}

bool StorableValue(const std::string& s) { return s.find_first_of("\r\n") == std::string::npos; }

// The INI reader trims blanks around a value and takes off one pair of surrounding quotes: a password that
// would change on the way is written inside quotes, so it reads back as it was.
std::string StoredValue(const std::string& v) {
  bool quoted = v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
  if (quoted || (!v.empty() && (IsBlank(v.front()) || IsBlank(v.back())))) return '"' + v + '"';
  return v;
}

}  // namespace

AccountMap& AccountStore() {
  static AccountMap store;
  return store;
}

std::string GetAppDataFolder() {
  std::lock_guard<std::mutex> lock(g_folder_mu);
  return g_app_data_folder;
}

void SetAppDataFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_folder_mu);
  g_app_data_folder = folder.empty() ? "." : folder;
}

std::string ConfigPath() { return GetAppDataFolder() + "/config.ini"; }

bool SecureConfigFile() {
  std::string path = ConfigPath();
  int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && (st.st_mode & 077)) ok = ::fchmod(fd, st.st_mode & 07700) == 0;
  ::close(fd);
  return ok;
}

int ReadConfigInt(const char* section, const char* key, int def) {
  return platform::IniGetInt(section, key, def, ConfigPath().c_str());
}

bool WriteConfigInt(const char* section, const char* key, int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  return WriteConfigString(section, key, text);
}

uint32_t ReadConfigString(const char* section, const char* key, const char* def, char* out, uint32_t size) {
  return platform::IniGetString(section, key, def, out, size, ConfigPath().c_str());
}

std::string ReadConfigString(const char* section, const char* key, size_t max_chars) {
  std::vector<char> buf(max_chars + 1);
  ReadConfigString(section, key, "", buf.data(), static_cast<uint32_t>(buf.size()));
  return buf.data();
}

bool WriteConfigString(const char* section, const char* key, const char* text) {
  SecureConfigFile();
  return platform::IniWriteString(section, key, text, ConfigPath().c_str());
}

std::string AccountsSection(int env) {
  if (env <= 0) return "accounts";
  return "accounts." + std::to_string(env);
}

void ParseAccountsBlock(const char* block, size_t length, bool cut, AccountMap* out) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < length && block[at]) {
    size_t end = at;
    while (end < length && block[end]) ++end;
    lines.emplace_back(block + at, end - at);
    at = end + 1;
  }
  // A block cut at its size may end in half a line: a password cut short is worse than none.
  if (cut && !lines.empty()) lines.pop_back();
  for (const std::string& line : lines) {
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    out->emplace(line.substr(0, eq), line.substr(eq + 1));
  }
}

std::string BuildAccountsBlock(const AccountMap& accounts, size_t max) {
  std::string block;
  for (const auto& [user, password] : accounts) {
    if (!StorableName(user) || !StorableValue(password)) continue;
    std::string line = user + "=" + StoredValue(password);
    // The line, its zero and the block's final zero must fit.
    if (block.size() + line.size() + 2 > max) continue;
    block += line;
    block += '\0';
  }
  block += '\0';
  return block;
}

void LoadAccounts(int env) {
  AccountMap& store = AccountStore();
  store.clear();
  std::vector<char> block(kAccountsBlockMax);
  uint32_t n = platform::IniGetSection(AccountsSection(env).c_str(), block.data(),
                                       static_cast<uint32_t>(block.size()), ConfigPath().c_str());
  ParseAccountsBlock(block.data(), n, n == block.size() - 2, &store);
}

bool SaveAccounts(int env) {
  std::string block = BuildAccountsBlock(AccountStore());
  SecureConfigFile();
  return platform::IniWriteSection(AccountsSection(env).c_str(), block.data(), ConfigPath().c_str());
}

void ConvertLegacyLogin(std::string* user, std::string* password) {
  *password = ReadConfigString("login", "password", kLoginFieldMax);
  *user = ReadConfigString("login", "user", kLoginFieldMax);
  if (user->empty() || password->empty()) return;
  SecureConfigFile();
  std::string login = "user=" + *user + std::string(2, '\0');
  platform::IniWriteSection("login", login.data(), ConfigPath().c_str());
  AccountMap one{{*user, *password}};
  std::string accounts = BuildAccountsBlock(one);
  platform::IniWriteSection("accounts", accounts.data(), ConfigPath().c_str());
}

std::string GetMediaFolder() { return platform::MakeAppDataFolder(kMediaFolderName); }

std::string MediaFolderPath() {
  const std::string root = platform::AppDataRoot();
  return root.empty() ? root : root + "/" + kMediaFolderName;
}

std::string FormatVersionText(const char* version) {
  if (!version || !*version) return "";
  int part[4] = {0, 0, 0, 0};
  const char* p = version;
  for (int i = 0; i < 4 && *p; ++i) {
    if (*p < '0' || *p > '9') return "";
    long v = 0;
    while (*p >= '0' && *p <= '9') {
      v = v * 10 + (*p++ - '0');
      if (v > 65535) return "";
    }
    part[i] = static_cast<int>(v);
    if (*p == '.')
      ++p;
    else if (*p)
      return "";
  }
  if (*p) return "";
  char text[48];
  std::snprintf(text, sizeof text, "V%d.%d.%d.%d", part[0], part[1], part[2], part[3]);
  return text;
}

std::string GetFileVersionText() { return FormatVersionText(VELMORA_VERSION); }

std::string Utf8ToLocal(const char* bytes, size_t length) {
  if (!bytes || length == 0) return "";
  return QString::fromUtf8(bytes, static_cast<qsizetype>(length)).toStdString();
}

std::string ReadAppConf(const char* key) {
  char buf[kAppConfFieldMax + 1];
  platform::IniGetString("ui", key, "", buf, sizeof buf, kAppConfPath);
  return buf;
}
