// Settings of the application: "config.ini" in the application-data folder, "app.conf" in the current
// folder, the saved accounts, the application-data and media folders, the version text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Largest accounts block, both terminating zeros included.
constexpr size_t kAccountsBlockMax = 2048;
// Characters kept of the user and password of section "login".
constexpr size_t kLoginFieldMax = 31;
// Characters kept of "title" and "oem" of app.conf.
constexpr size_t kAppConfFieldMax = 95;
// Default idle limit in seconds.
constexpr int kDefaultMaxIdleTime = 300;

// Saved accounts of the current server environment: user name to password, in byte order.
using AccountMap = std::map<std::string, std::string>;
AccountMap& AccountStore();

// The application-data folder ("." until set) and the file names inside it.
std::string GetAppDataFolder();
void SetAppDataFolder(const std::string& folder);
std::string ConfigPath();
// The settings file of the current folder.
constexpr const char* kAppConfPath = "./app.conf";

// config.ini access; the file is made readable by its owner only before any write.
int ReadConfigInt(const char* section, const char* key, int def);
bool WriteConfigInt(const char* section, const char* key, int value);
uint32_t ReadConfigString(const char* section, const char* key, const char* def, char* out, uint32_t size);
std::string ReadConfigString(const char* section, const char* key, size_t max_chars = 255);
// A null text deletes the key.
bool WriteConfigString(const char* section, const char* key, const char* text);
// Makes config.ini (mode 0600) when missing and takes group and other access away from an existing one.
bool SecureConfigFile();

// The accounts section of an environment: "accounts", or "accounts.%d" for 1 and up.
std::string AccountsSection(int env);
// Replaces AccountStore with / writes it as the accounts of env.
void LoadAccounts(int env);
bool SaveAccounts(int env);

// Parses a block of zero-terminated "user=password" lines (at most length bytes, ended by an empty line or
// the length): split at the first '=', lines without one or with an empty user skipped, the first password
// of a user kept. With cut set the block was truncated and its last line is dropped.
void ParseAccountsBlock(const char* block, size_t length, bool cut, AccountMap* out);
// Builds the block of accounts in map order, at most max bytes with both terminators; accounts that cannot
// be stored as an INI line, or that do not fit, are left out. Returns the block (with its final zeros).
std::string BuildAccountsBlock(const AccountMap& accounts, size_t max = kAccountsBlockMax);

// The legacy conversion of start-up: a password saved in section "login" moves to section "accounts".
// Returns the user and password of section "login" (the password empty when there was none).
void ConvertLegacyLogin(std::string* user, std::string* password);

// The folder for snapshots, recordings and the cloud cache, made when missing (the rule applied anew at each
// call): "VelmoraData" under the user's data folder. Empty when it cannot be made.
constexpr const char* kMediaFolderName = "VelmoraData";
std::string GetMediaFolder();
// Where that folder is, made or not (empty without a data folder): for messages and the cache root.
std::string MediaFolderPath();

// "V%d.%d.%d.%d" from a dotted version ("2.3.0.6"); missing parts count as 0; empty for an empty or
// malformed version.
std::string FormatVersionText(const char* version);
// The program's version text.
std::string GetFileVersionText();

// Device names arrive in UTF-8, which is also the text of this platform: a copy with invalid sequences
// replaced; a length of 0 gives an empty text.
std::string Utf8ToLocal(const char* bytes, size_t length);

// The title and oem values of app.conf (empty when missing).
std::string ReadAppConf(const char* key);
