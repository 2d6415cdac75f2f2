#include "platform/ini.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/temp_dir.h"

namespace {

using namespace platform;

class Ini : public ::testing::Test {
 protected:
  void Put(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string Text() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string Get(const char* section, const char* key, const char* def = "<def>") {
    char buf[256];
    IniGetString(section, key, def, buf, sizeof(buf), path_.c_str());
    return buf;
  }

  TempDir tmp_{"velmora_ini"};
  const std::string& dir_ = tmp_.path();
  const std::string path_ = tmp_ / "config.ini";
};

TEST_F(Ini, ReadsValuesTheWayProfileFilesAreRead) {
  Put("; settings\n"
      "top=outside any section\n"
      "[config]\n"
      "  max_idle_time = 600  \n"
      "View=2\n"
      "# comment=not a key\n"
      "; view=3\n"
      "quoted=\"  spaced  \"\n"
      "single='x'\n"
      "half=\"open\n"
      "empty=\n"
      "eq=a=b\n"
      "dup=first\n"
      "dup=second\n"
      "novalue\n"
      "[ UI ]\n"
      "title=Velmora Player\r\n"
      "[config]\n"
      "later=found\n");
  struct Case {
    const char *section, *key, *want;
  } cases[] = {
      {"config", "max_idle_time", "600"},
      {"CONFIG", "view", "2"},         // section and key ignore case
      {"config", "comment", "<def>"},  // '#' line is a comment
      {"config", "; view", "<def>"},   // so is ';'
      {"config", "quoted", "  spaced  "},
      {"config", "single", "x"},
      {"config", "half", "\"open"},
      {"config", "empty", ""},
      {"config", "eq", "a=b"},
      {"config", "dup", "first"},
      {"config", "novalue", "<def>"},
      {"ui", "title", "Velmora Player"},  // blanks around the section name, CR LF line
      {"config", "later", "found"},       // a repeated section is searched too
      {"config", "top", "<def>"},
      {"missing", "x", "<def>"},
  };
  for (const Case& c : cases) EXPECT_EQ(Get(c.section, c.key), c.want) << c.section << "/" << c.key;
}

TEST_F(Ini, CopiesWithinTheBufferAndTrimsTheDefault) {
  Put("[s]\nk=abcdef\n");
  char buf[4];
  EXPECT_EQ(IniGetString("s", "k", "", buf, sizeof(buf), path_.c_str()), 3u);
  EXPECT_STREQ(buf, "abc");
  char big[32];
  EXPECT_EQ(IniGetString("s", "none", "dflt   ", big, sizeof(big), path_.c_str()), 4u);
  EXPECT_STREQ(big, "dflt");
  EXPECT_EQ(IniGetString("s", "none", nullptr, big, sizeof(big), path_.c_str()), 0u);
  EXPECT_STREQ(big, "");
  EXPECT_EQ(IniGetString("s", "k", "", big, 0, path_.c_str()), 0u);
  EXPECT_EQ(IniGetString("s", "k", "d", big, sizeof(big), (dir_ + "/absent.ini").c_str()), 1u);
  EXPECT_STREQ(big, "d");
}

TEST_F(Ini, ParsesIntegersLikeGetPrivateProfileInt) {
  struct Case {
    const char* value;
    int want;
  } cases[] = {
      {"300", 300},  {"  42  ", 42},     {"-5", -5},        {"+7", 7},    {"0x1F", 31},
      {"0XfF", 255}, {"12abc", 12},      {"abc", 0},        {"-", 0},     {"0x", 0},
      {"007", 7},    {"4294967295", -1}, {"4294967296", 0}, {"\"9\"", 9},
  };
  std::string text = "[n]\n";
  for (size_t i = 0; i < std::size(cases); ++i) text += "k" + std::to_string(i) + "=" + cases[i].value + "\n";
  text += "empty=\n";
  Put(text);
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(IniGetInt("n", ("k" + std::to_string(i)).c_str(), 99, path_.c_str()), cases[i].want)
        << cases[i].value;
  EXPECT_EQ(IniGetInt("n", "empty", 99, path_.c_str()), 99);
  EXPECT_EQ(IniGetInt("n", "missing", -3, path_.c_str()), -3);
  EXPECT_EQ(IniGetInt("n", "k0", 1, (dir_ + "/absent.ini").c_str()), 1);
}

TEST_F(Ini, WritingMakesTheFileSectionAndKey) {
  ASSERT_TRUE(IniWriteString("config", "view", "2", path_.c_str()));
  EXPECT_EQ(Text(), "[config]\nview=2\n");
  ASSERT_TRUE(IniWriteString("config", "env", "1", path_.c_str()));
  ASSERT_TRUE(IniWriteString("login", "user", "a@b.c", path_.c_str()));
  EXPECT_EQ(Text(), "[config]\nview=2\nenv=1\n\n[login]\nuser=a@b.c\n");
  EXPECT_EQ(Get("login", "user"), "a@b.c");
  EXPECT_FALSE(IniWriteString("s", "k", "v", (dir_ + "/no/such/dir.ini").c_str()));
}

TEST_F(Ini, WritingKeepsEveryOtherLine) {
  const std::string before =
      "; Velmora settings\n"
      "[Config]\n"
      "# idle limit in seconds\n"
      "Max_Idle_Time = 300\n"
      "view=1\n"
      "\n"
      "; the login section follows\n"
      "[login]\n"
      "user=someone\n";
  Put(before);
  ASSERT_TRUE(IniWriteString("config", "max_idle_time", "600", path_.c_str()));
  ASSERT_TRUE(IniWriteString("CONFIG", "lan_only", "1", path_.c_str()));
  EXPECT_EQ(Text(),
            "; Velmora settings\n"
            "[Config]\n"
            "# idle limit in seconds\n"
            "Max_Idle_Time=600\n"  // the key keeps its spelling
            "view=1\n"
            "lan_only=1\n"  // after the section's last entry, before the comment of the next
            "\n"
            "; the login section follows\n"
            "[login]\n"
            "user=someone\n");
  ASSERT_TRUE(IniWriteString("config", "view", nullptr, path_.c_str()));
  ASSERT_TRUE(IniWriteString("config", "absent", nullptr, path_.c_str()));
  EXPECT_EQ(Get("config", "view"), "<def>");
  ASSERT_TRUE(IniWriteString("login", nullptr, nullptr, path_.c_str()));
  EXPECT_EQ(Text(),
            "; Velmora settings\n"
            "[Config]\n"
            "# idle limit in seconds\n"
            "Max_Idle_Time=600\n"
            "lan_only=1\n"
            "\n"
            "; the login section follows\n");
}

TEST_F(Ini, KeepsCrLfLineEndsAndAByteOrderMark) {
  Put("\xEF\xBB\xBF[ui]\r\ntitle=Velmora\r\n");
  EXPECT_EQ(Get("ui", "title"), "Velmora");
  ASSERT_TRUE(IniWriteString("ui", "oem", "pkg", path_.c_str()));
  EXPECT_EQ(Text(), "\xEF\xBB\xBF[ui]\r\ntitle=Velmora\r\noem=pkg\r\n");
}

TEST_F(Ini, RefusesWritesThatWouldBreakTheFile) {
  Put("[s]\nk=v\n");
  struct Case {
    const char *section, *key, *value;
  } cases[] = {
      {"a]b", "k", "v"}, {"a\nb", "k", "v"}, {"", "k", "v"},   {"s", "a=b", "v"},  {"s", "a\nb", "v"},
      {"s", "", "v"},    {"s", "[x", "v"},   {"s", ";c", "v"}, {"s", "k", "v\nw"}, {"s", "k", "v\r"},
  };
  for (const Case& c : cases) EXPECT_FALSE(IniWriteString(c.section, c.key, c.value, path_.c_str())) << c.key;
  EXPECT_EQ(Text(), "[s]\nk=v\n");
}

TEST_F(Ini, ReadsAndWritesWholeSections) {
  Put("[accounts]\n; saved\nbob=pw1\nAlice = pw2\nnovalue\n[other]\nx=1\n");
  char buf[256];
  uint32_t n = IniGetSection("ACCOUNTS", buf, sizeof(buf), path_.c_str());
  EXPECT_EQ(std::string(buf, n + 1),
            std::string("bob=pw1\0Alice=pw2\0\0", 19));  // the list ends with two NULs
  char small[12];
  EXPECT_EQ(IniGetSection("accounts", small, sizeof(small), path_.c_str()), 10u);  // cut: size - 2
  EXPECT_EQ(std::string(small, 12), std::string("bob=pw1\0Al\0\0", 12));
  EXPECT_EQ(IniGetSection("none", buf, sizeof(buf), path_.c_str()), 0u);
  EXPECT_EQ(buf[0], '\0');

  static const char kBlock[] = "carol=pw3\0dave=pw4\0";
  ASSERT_TRUE(IniWriteSection("accounts", kBlock, path_.c_str()));
  EXPECT_EQ(Text(), "[accounts]\n; saved\ncarol=pw3\ndave=pw4\n[other]\nx=1\n");
  ASSERT_TRUE(IniWriteSection("accounts.1", kBlock, path_.c_str()));
  EXPECT_EQ(Get("accounts.1", "dave"), "pw4");
  ASSERT_TRUE(IniWriteSection("accounts", "\0", path_.c_str()));
  EXPECT_EQ(IniGetSection("accounts", buf, sizeof(buf), path_.c_str()), 0u);
  EXPECT_FALSE(IniWriteSection("accounts", "a=1\0[evil]\0", path_.c_str()));
}

TEST_F(Ini, SurvivesHostileFiles) {
  std::vector<std::string> files = {
      std::string("[s\0x]\nk\0=v\n[s]\nk=v2\n", 21),
      "[unclosed\nk=v\n",
      "]]]]\n[[[\n====\n[s]\n=\n=only value\n",
      std::string(100000, '[') + "\n[s]\nk=" + std::string(100000, 'v'),
      "\r\r\r\n\n\r[s]\rk=v",
      "[s]\nk=v",  // no final line feed
  };
  std::string bytes;
  for (int i = 0; i < 4096; ++i) bytes += static_cast<char>((i * 7919) & 0xFF);
  files.push_back(bytes);
  for (const std::string& f : files) {
    Put(f);
    char buf[64];
    IniGetString("s", "k", "", buf, sizeof(buf), path_.c_str());
    IniGetInt("s", "k", 0, path_.c_str());
    IniGetSection("s", buf, sizeof(buf), path_.c_str());
    ASSERT_TRUE(IniWriteString("s", "k", "new", path_.c_str()));
    EXPECT_EQ(Get("s", "k"), "new");
  }
}

}  // namespace
