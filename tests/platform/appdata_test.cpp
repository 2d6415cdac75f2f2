#include "platform/appdata.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "tests/common/temp_dir.h"

namespace {

// Sets or clears an environment variable for one test and restores it after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old, had_ = true;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

TEST(AppData, FollowsXdgDataHomeElseTheHomeFolder) {
  ScopedEnv home("HOME", "/home/tester");
  struct Case {
    const char* xdg;
    const char* want;
  } cases[] = {
      {"/srv/data", "/srv/data"},
      {nullptr, "/home/tester/.local/share"},
      {"", "/home/tester/.local/share"},
      {"relative/dir", "/home/tester/.local/share"},  // only an absolute path counts
  };
  for (const Case& c : cases) {
    ScopedEnv xdg("XDG_DATA_HOME", c.xdg);
    EXPECT_EQ(platform::AppDataRoot(), c.want) << (c.xdg ? c.xdg : "(unset)");
  }
}

TEST(AppData, MakesTheFolderWithItsParents) {
  TempDir tmp("velmora_appdata");
  std::string root = tmp / "share";
  {
    ScopedEnv xdg("XDG_DATA_HOME", root.c_str());
    std::string made = platform::MakeAppDataFolder("Velmora");
    EXPECT_EQ(made, root + "/Velmora");
    struct stat st;
    ASSERT_EQ(stat(made.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(platform::MakeAppDataFolder("Velmora"), made);  // already there
    EXPECT_EQ(platform::MakeAppDataFolder(""), root);
  }
  {
    std::string file = tmp / "plain";
    fclose(fopen(file.c_str(), "w"));
    ScopedEnv xdg("XDG_DATA_HOME", file.c_str());
    EXPECT_EQ(platform::MakeAppDataFolder("Velmora"), "");  // a file stands in the way
  }
}

}  // namespace
