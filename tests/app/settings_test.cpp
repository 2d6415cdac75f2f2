// config.ini, the saved accounts, the legacy conversion, folders and the version text.
#include "app/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/ini.h"
#include "tests/app/app_test_util.h"
#include "tests/common/temp_dir.h"

using apptest::ReadFile;
using apptest::WriteFile;

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetAppDataFolder(dir_.path());
    AccountStore().clear();
  }
  void TearDown() override { SetAppDataFolder("."); }
  std::string config() const { return dir_ / "config.ini"; }
  TempDir dir_{"velmora_app"};
};

std::string Block(std::initializer_list<const char*> lines) {
  std::string b;
  for (const char* l : lines) {
    b += l;
    b += '\0';
  }
  b += '\0';
  return b;
}

TEST_F(SettingsTest, EverySettingHasItsDefaultWhenTheFileIsMissing) {
  struct Case {
    const char* section;
    const char* key;
    int def;
  } cases[] = {{"config", "max_idle_time", 300},
               {"config", "lan_only", 0},
               {"config", "env", 0},
               {"config", "devview", 0},
               {"config", "view", 1},
               {"config", "keep_connection", 1},
               {"config", "enable_preload", 0},
               {"config", "dont_check_online", 0}};
  for (const Case& c : cases) EXPECT_EQ(ReadConfigInt(c.section, c.key, c.def), c.def) << c.key;
  EXPECT_EQ(ReadConfigString("login", "user"), "");
  EXPECT_EQ(ReadConfigString("login", "password"), "");
  LoadAccounts(0);
  EXPECT_TRUE(AccountStore().empty());
}

TEST_F(SettingsTest, ValuesWrittenAreReadBack) {
  EXPECT_TRUE(WriteConfigInt("config", "max_idle_time", 600));
  EXPECT_TRUE(WriteConfigInt("config", "view", 2));
  EXPECT_TRUE(WriteConfigString("login", "user", "ann@example.test"));
  EXPECT_EQ(ReadConfigInt("config", "max_idle_time", 300), 600);
  EXPECT_EQ(ReadConfigInt("config", "view", 1), 2);
  EXPECT_EQ(ReadConfigString("login", "user"), "ann@example.test");
  char small[8];
  EXPECT_EQ(ReadConfigString("login", "user", "", small, sizeof small), 7u);
  EXPECT_STREQ(small, "ann@exa");
  EXPECT_TRUE(WriteConfigString("login", "user", nullptr));
  EXPECT_EQ(ReadConfigString("login", "user"), "");
}

// The file holds passwords: it is made readable by its owner only, and stays so through every write.
TEST_F(SettingsTest, ConfigFileIsReadableByItsOwnerOnly) {
  mode_t old = umask(022);
  auto mode = [&] {
    struct stat st;
    EXPECT_EQ(stat(config().c_str(), &st), 0);
    return st.st_mode & 0777;
  };
  WriteConfigString("login", "user", "ann");
  EXPECT_EQ(mode(), 0600u);
  AccountStore()["ann"] = "secret";
  SaveAccounts(0);
  EXPECT_EQ(mode(), 0600u);
  // A file made elsewhere with wider access is narrowed before anything is written to it.
  chmod(config().c_str(), 0644);
  WriteConfigInt("config", "env", 1);
  EXPECT_EQ(mode(), 0600u);
  chmod(config().c_str(), 0666);
  EXPECT_TRUE(SecureConfigFile());
  EXPECT_EQ(mode(), 0600u);
  umask(old);
}

TEST(AccountsBlock, ParsesHostileLines) {
  struct Case {
    const char* what;
    std::string block;
    bool cut;
    AccountMap want;
  } cases[] = {
      {"plain", Block({"ann=pw1", "bob=pw2"}), false, {{"ann", "pw1"}, {"bob", "pw2"}}},
      {"two equals signs: the rest is the password",
       Block({"ann=a=b=", "bob=="}),
       false,
       {{"ann", "a=b="}, {"bob", "="}}},
      {"no equals sign: skipped", Block({"ann", "bob=pw"}), false, {{"bob", "pw"}}},
      {"empty user: skipped", Block({"=pw", "bob=pw"}), false, {{"bob", "pw"}}},
      {"empty password kept", Block({"ann="}), false, {{"ann", ""}}},
      {"duplicates keep the first",
       Block({"ann=first", "ann=second", "bob=x"}),
       false,
       {{"ann", "first"}, {"bob", "x"}}},
      {"cut block drops its last line", Block({"ann=pw1", "bob=pw2-cut-sh"}), true, {{"ann", "pw1"}}},
      {"empty", Block({}), false, {}},
  };
  for (const Case& c : cases) {
    AccountMap got;
    ParseAccountsBlock(c.block.data(), c.block.size(), c.cut, &got);
    EXPECT_EQ(got, c.want) << c.what;
  }
  // No terminator within the length: nothing read beyond it.
  std::string raw = "ann=pw";
  AccountMap got;
  ParseAccountsBlock(raw.data(), 5, false, &got);
  EXPECT_EQ(got, (AccountMap{{"ann", "p"}}));
}

TEST(AccountsBlock, BuildsInMapOrderWithinTheLimit) {
  AccountMap m{{"bob", "2"}, {"Ann", "1"}, {"ann", "3"}};
  EXPECT_EQ(BuildAccountsBlock(m), Block({"Ann=1", "ann=3", "bob=2"}));
  EXPECT_EQ(BuildAccountsBlock({}), std::string(1, '\0'));
  // Names that cannot be an INI key, and line breaks, are left out.
  AccountMap bad{{"a=b", "x"}, {";c", "x"},   {"#d", "x"},  {"[e", "x"},
                 {" f", "x"},  {"g", "x\ny"}, {"ok", "p=q"}};
  EXPECT_EQ(BuildAccountsBlock(bad), Block({"ok=p=q"}));
  // Over the limit: what does not fit is dropped, never written beyond the block.
  AccountMap many;
  for (int i = 0; i < 200; ++i) many["user" + std::to_string(1000 + i)] = std::string(20, 'p');
  std::string block = BuildAccountsBlock(many);
  EXPECT_LE(block.size(), kAccountsBlockMax);
  EXPECT_GT(block.size(), kAccountsBlockMax - 30);
  AccountMap back;
  ParseAccountsBlock(block.data(), block.size(), false, &back);
  EXPECT_EQ(back.size(), (block.size() - 1) / 30);  // "user1000=" and 20 bytes and a zero
  // One line longer than the whole block is left out.
  AccountMap huge{{"ann", std::string(3000, 'x')}, {"bob", "y"}};
  EXPECT_EQ(BuildAccountsBlock(huge), Block({"bob=y"}));
}

TEST_F(SettingsTest, AccountsRoundTripPerEnvironment) {
  AccountStore() = {{"ann@example.test", "pw=1"}, {"13800000002", "pw 2"}};
  ASSERT_TRUE(SaveAccounts(0));
  AccountStore() = {{"cat", "pw3"}};
  ASSERT_TRUE(SaveAccounts(2));
  std::string text = ReadFile(config());
  EXPECT_NE(text.find("[accounts]\n13800000002=pw 2\nann@example.test=pw=1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[accounts.2]\ncat=pw3\n"), std::string::npos) << text;
  LoadAccounts(0);
  EXPECT_EQ(AccountStore(), (AccountMap{{"ann@example.test", "pw=1"}, {"13800000002", "pw 2"}}));
  // Environment 2 reads "accounts.2" only.
  LoadAccounts(2);
  EXPECT_EQ(AccountStore(), (AccountMap{{"cat", "pw3"}}));
  LoadAccounts(1);
  EXPECT_TRUE(AccountStore().empty());
}

// Passwords the INI reader would trim or unquote are stored inside quotes and read back unchanged.
TEST_F(SettingsTest, PasswordsWithBlanksAndQuotesSurviveTheFile) {
  AccountMap m{{"a", " lead"},   {"b", "trail\t"}, {"c", "\"quoted\""}, {"d", "'single'"}, {"e", "\"half"},
               {"f", "in side"}, {"g", ""},        {"h", "\""},         {"i", "\"\""},     {"j", "=;#[x]"}};
  AccountStore() = m;
  ASSERT_TRUE(SaveAccounts(0));
  AccountStore().clear();
  LoadAccounts(0);
  EXPECT_EQ(AccountStore(), m) << ReadFile(config());
}

TEST_F(SettingsTest, HostileAccountsSectionLoadsSafely) {
  std::string longline = "long=" + std::string(5000, 'z');
  WriteFile(config(), "[accounts]\nann=a=b\nnoequals\nann=second\n=empty\nbob=pw\n" + longline +
                          "\n[accounts.1]\nzed=1\n");
  LoadAccounts(0);
  EXPECT_EQ(AccountStore(), (AccountMap{{"ann", "a=b"}, {"bob", "pw"}}));
  // A section longer than the block: the line cut at the end is dropped, the ones before it stay.
  std::string many = "[accounts]\n";
  for (int i = 0; i < 150; ++i)
    many += "user" + std::to_string(100 + i) + "=password-" + std::to_string(i) + "\n";
  WriteFile(config(), many);
  LoadAccounts(0);
  ASSERT_FALSE(AccountStore().empty());
  EXPECT_LT(AccountStore().size(), 150u);
  for (const auto& [user, password] : AccountStore())
    EXPECT_EQ("password-" + std::to_string(std::stoi(user.substr(4)) - 100), password) << user;
}

TEST_F(SettingsTest, LegacyPasswordMovesToTheAccounts) {
  WriteFile(config(),
            "[config]\nenv=0\n[login]\nuser=ann@example.test\npassword=legacy-pw\n"
            "[accounts]\nbob=pw\ncat=pw\n[accounts.2]\ndan=pw\n");
  std::string user, password;
  ConvertLegacyLogin(&user, &password);
  EXPECT_EQ(user, "ann@example.test");
  EXPECT_EQ(password, "legacy-pw");
  EXPECT_EQ(ReadConfigString("login", "user"), "ann@example.test");
  EXPECT_EQ(ReadConfigString("login", "password"), "");
  LoadAccounts(0);
  EXPECT_EQ(AccountStore(), (AccountMap{{"ann@example.test", "legacy-pw"}}));
  LoadAccounts(2);
  EXPECT_EQ(AccountStore(), (AccountMap{{"dan", "pw"}}));
  // Done once: a second start finds no password in section "login" and changes nothing.
  std::string before = ReadFile(config());
  ConvertLegacyLogin(&user, &password);
  EXPECT_EQ(password, "");
  EXPECT_EQ(ReadFile(config()), before);
}

TEST_F(SettingsTest, LegacyFieldsAreCutTo31Characters) {
  WriteFile(config(), "[login]\nuser=" + std::string(40, 'u') + "\npassword=" + std::string(40, 'p') + "\n");
  std::string user, password;
  ConvertLegacyLogin(&user, &password);
  EXPECT_EQ(user, std::string(31, 'u'));
  EXPECT_EQ(password, std::string(31, 'p'));
}

TEST_F(SettingsTest, LegacyUserWithoutPasswordIsLeftAlone) {
  WriteFile(config(), "[login]\nuser=ann\n[accounts]\nbob=pw\n");
  std::string user, password;
  ConvertLegacyLogin(&user, &password);
  EXPECT_EQ(user, "ann");
  EXPECT_EQ(password, "");
  LoadAccounts(0);
  EXPECT_EQ(AccountStore(), (AccountMap{{"bob", "pw"}}));
}

TEST(Folders, MediaFolderIsMadeUnderTheDataFolderAtEachCall) {
  TempDir dir("velmora_app");
  apptest::ScopedEnv xdg("XDG_DATA_HOME", dir.path().c_str());
  std::string media = GetMediaFolder();
  EXPECT_EQ(media, dir / "VelmoraData");
  struct stat st;
  ASSERT_EQ(stat(media.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  rmdir(media.c_str());
  EXPECT_EQ(GetMediaFolder(), media);
  EXPECT_EQ(stat(media.c_str(), &st), 0);
}

TEST(Folders, AppDataFolderFallsBackToTheCurrentFolder) {
  SetAppDataFolder("");
  EXPECT_EQ(GetAppDataFolder(), ".");
  EXPECT_EQ(ConfigPath(), "./config.ini");
}

TEST(VersionText, FromDottedVersions) {
  struct Case {
    const char* version;
    const char* want;
  } cases[] = {
      {"2.3.0.6", "V2.3.0.6"}, {"0.1.0", "V0.1.0.0"}, {"7", "V7.0.0.0"},   {"", ""},
      {"1.2.3.4.5", ""},       {"1.x", ""},           {"65536.0.0.0", ""}, {"65535.1.2.3", "V65535.1.2.3"}};
  for (const Case& c : cases) EXPECT_EQ(FormatVersionText(c.version), c.want) << c.version;
  EXPECT_EQ(GetFileVersionText().rfind("V", 0), 0u);
}

TEST(Utf8ToLocal, CopiesAndRepairs) {
  EXPECT_EQ(Utf8ToLocal("abc", 0), "");
  EXPECT_EQ(Utf8ToLocal("前门 cam", 10), "前门 cam");
  EXPECT_EQ(Utf8ToLocal("a\xff"
                        "b",
                        3),
            "a\xEF\xBF\xBD"
            "b");
}

}  // namespace
