#include "util/log.h"

#include <ctype.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/common/temp_dir.h"

namespace {

// True when s is a time text "MM-DD hh:mm:ss.fff0".
bool IsTimeText(std::string_view s) {
  static const char kShape[] = "dd-dd dd:dd:dd.ddd0";
  if (s.size() != sizeof(kShape) - 1) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (kShape[i] == 'd' ? !isdigit(static_cast<unsigned char>(s[i])) : s[i] != kShape[i]) return false;
  }
  return true;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string ReadAll(FILE* f) {
  fflush(f);
  std::string s;
  rewind(f);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) s.append(buf, n);
  return s;
}

// Replaces every "[time text]" with "[T]".
std::string Untimed(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    if (s[i] == '[' && i + 20 < s.size() && s[i + 20] == ']' &&
        IsTimeText(std::string_view(s).substr(i + 1, 19))) {
      out += "[T]";
      i += 21;
    } else {
      out += s[i++];
    }
  }
  return out;
}

class Log : public ::testing::Test {
 protected:
  void SetUp() override {
    LogOpen(0, nullptr, 0);
    LogSetLevel(6);
    LogPrintf(kLogNoPrefix | 1, nullptr, "", "\n");  // no target: only resets the newline rule
  }
  void TearDown() override { LogOpen(0, nullptr, 0); }
  std::string Text() { return ReadAll(path_); }

  TempDir tmp_{"velmora_log"};
  const std::string& dir_ = tmp_.path();
  const std::string path_ = tmp_ / "velmora.log";
};

TEST_F(Log, LinePrefixHasTheTimeAndTheTagAndEachMessageIsFlushed) {
  LogOpen(kLogToFile, path_.c_str(), 0x7FFFFFFF);
  LogPrintf(kLogInfo, nullptr, "CVelmoraApp::InitInstance", "Orvel server inited.\n");
  std::string text = Text();  // read while the file is still open: already flushed
  ASSERT_GT(text.size(), 21u);
  EXPECT_EQ(text[0], '[');
  ASSERT_TRUE(IsTimeText(text.substr(1, 19))) << text;
  EXPECT_EQ(text.substr(20), "] [CVelmoraApp::InitInstance] Orvel server inited.\n");
  int month = std::stoi(text.substr(1, 2)), day = std::stoi(text.substr(4, 2));
  int hour = std::stoi(text.substr(7, 2)), minute = std::stoi(text.substr(10, 2));
  EXPECT_TRUE(month >= 1 && month <= 12) << month;
  EXPECT_TRUE(day >= 1 && day <= 31) << day;
  EXPECT_LE(hour, 23);
  EXPECT_LE(minute, 59);
  LogPrintf(kLogError, nullptr, "DownloadCloudFile", "Can not create file: %s (%d)\n", "/x", -2001);
  EXPECT_EQ(Untimed(Text()),
            "[T] [CVelmoraApp::InitInstance] Orvel server inited.\n"
            "[T] [DownloadCloudFile] Can not create file: /x (-2001)\n");
}

TEST_F(Log, LevelsNoPrefixBitAndTheNewlineRule) {
  LogOpen(kLogToFile, path_.c_str(), 0x7FFFFFFF);
  LogSetLevel(4);
  LogPrintf(kLogDetail, nullptr, "t", "dropped\n");
  LogPrintf(kLogInfo, nullptr, "t", "no newline");
  LogPrintf(kLogNoPrefix | kLogInfo, nullptr, "t", " continued");  // no prefix, no separating newline
  LogPrintf(kLogWarning, nullptr, "t", "next\n");                  // previous format lacked "\n"
  LogPrintf(kLogNoPrefix | kLogDetail, nullptr, "t", "dropped too\n");
  LogPrintf(kLogInfo, nullptr, "t", "%s", "ends\n");  // the rule looks at the format, not the output
  LogPrintf(kLogInfo, nullptr, "t", "after\n");
  LogSetLevel(6);
  LogPrintf(kLogDetail, nullptr, "t", "detail %d\n", 5);
  LogPrintf(6, nullptr, "t", "six\n");
  LogPrintf(7, nullptr, "t", "seven\n");
  EXPECT_EQ(Untimed(Text()),
            "[T] [t] no newline continued\n"
            "[T] [t] next\n"
            "[T] [t] ends\n"
            "\n[T] [t] after\n"
            "[T] [t] detail 5\n"
            "[T] [t] six\n");
}

TEST_F(Log, LogWriteWritesRawBytesAndTheNextMessageStartsOnANewLine) {
  LogOpen(kLogToFile, path_.c_str(), 0x7FFFFFFF);
  const char raw[] = "42[\"event\",{\"a\":\"%s\"}]";
  LogWrite(kLogInfo, nullptr, "sockio_thread", raw, sizeof(raw) - 1);
  LogPrintf(kLogInfo, nullptr, "t", "after\n");
  LogWrite(7, nullptr, "t", "dropped", 7);
  EXPECT_EQ(Untimed(Text()), "[T] [sockio_thread] 42[\"event\",{\"a\":\"%s\"}]\n[T] [t] after\n");
}

TEST_F(Log, ConsoleTargetAndClosingTheFile) {
  FILE* console = tmpfile();
  ASSERT_TRUE(console);
  LogOpen(kLogToFile | kLogToConsole, path_.c_str(), 0x7FFFFFFF);
  LogPrintf(kLogInfo, console, "t", "both %d\n", 1);
  EXPECT_EQ(Untimed(Text()), "[T] [t] both 1\n");
  EXPECT_EQ(Untimed(ReadAll(console)), "[T] [t] both 1\n");
  LogOpen(kLogToConsole, nullptr, 0);  // closes the file
  LogPrintf(kLogInfo, console, "t", "console only\n");
  EXPECT_EQ(Untimed(Text()), "[T] [t] both 1\n");
  EXPECT_EQ(Untimed(ReadAll(console)), "[T] [t] both 1\n[T] [t] console only\n");
  LogOpen(kLogToFile, path_.c_str(), 0);  // a new, empty file; no console
  EXPECT_EQ(Text(), "");
  LogPrintf(kLogInfo, console, "t", "file only\n");
  EXPECT_EQ(Untimed(Text()), "[T] [t] file only\n");
  EXPECT_EQ(Untimed(ReadAll(console)), "[T] [t] both 1\n[T] [t] console only\n");
  // A file that cannot be opened leaves only the console.
  LogOpen(kLogToFile | kLogToConsole, (dir_ + "/missing/dir/velmora.log").c_str(), 0);
  LogPrintf(kLogInfo, console, "t", "still here\n");
  EXPECT_NE(ReadAll(console).find("still here\n"), std::string::npos);
  fclose(console);
}

TEST_F(Log, OpeningTruncatesAnOldFile) {
  std::ofstream(path_) << "old content\n";
  LogOpen(kLogToFile, path_.c_str(), 0x7FFFFFFF);
  EXPECT_EQ(Text(), "");
  LogPrintf(kLogNoPrefix | kLogInfo, nullptr, "t", "new\n");
  EXPECT_EQ(Text(), "new\n");
}

// A file past its maximum keeps the bytes after half the maximum, and writing goes on after them.
TEST_F(Log, FullFileKeepsItsNewerHalf) {
  constexpr int kMax = 1000;
  LogOpen(kLogToFile, path_.c_str(), kMax);
  std::string model;
  std::mt19937 rng(5);
  int trims = 0;
  for (int i = 0; i < 200; ++i) {
    std::string msg = "message " + std::to_string(i) + " " + std::string(rng() % 120, 'a' + i % 26) + "\n";
    LogPrintf(kLogNoPrefix | kLogInfo, nullptr, "t", "%s", msg.c_str());
    model += msg;
    if (model.size() > static_cast<size_t>(kMax)) {
      model = model.substr(kMax / 2);
      ++trims;
    }
    ASSERT_EQ(Text(), model) << "after message " << i;
  }
  EXPECT_GT(trims, 5);
}

TEST_F(Log, SeveralThreadsWritingIntoASmallFile) {
  constexpr int kMax = 4096, kThreads = 4, kEach = 300;
  LogOpen(kLogToFile, path_.c_str(), kMax);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i)
        LogPrintf(kLogInfo, nullptr, "worker", "T%d %04d %s\n", t, i,
                  std::string((t * 37 + i) % 50, 'x').c_str());
    });
  for (auto& th : threads) th.join();
  std::string text = Text();
  ASSERT_FALSE(text.empty());
  EXPECT_LE(text.size(), static_cast<size_t>(kMax) + 200);
  EXPECT_EQ(text.back(), '\n');
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::map<int, int> last_seq;
  for (size_t i = 1; i < lines.size(); ++i) {  // the first line may start inside a message
    const std::string& l = lines[i];
    int t = -1, seq = -1, end = 0;
    ASSERT_TRUE(l.size() > 21 && l[0] == '[' && IsTimeText(l.substr(1, 19))) << "line " << i << ": " << l;
    ASSERT_EQ(sscanf(l.c_str() + 20, "] [worker] T%d %4d%n", &t, &seq, &end), 2) << l;
    std::string rest = l.substr(20 + static_cast<size_t>(end));
    ASSERT_EQ(rest.substr(0, 1), " ") << l;
    EXPECT_EQ(rest.find_first_not_of('x', 1), std::string::npos) << l;
    ASSERT_TRUE(t >= 0 && t < kThreads) << l;
    auto it = last_seq.find(t);
    if (it != last_seq.end()) {
      EXPECT_GT(seq, it->second) << "thread " << t;
    }
    last_seq[t] = seq;
  }
  EXPECT_GT(lines.size(), 20u);
}

TEST_F(Log, FormatTime) {
  char buf[kLogTimeTextSize];
  EXPECT_EQ(LogFormatTime(buf, sizeof(buf)), 19);
  EXPECT_TRUE(IsTimeText(buf)) << buf;
  char small[8];
  EXPECT_EQ(LogFormatTime(small, sizeof(small)), 7);  // cut, still terminated
  EXPECT_EQ(strlen(small), 7u);
  SdkNoop();
  LogTrimFile();  // no file: nothing happens
}

// The state before any LogOpen, in a fresh process: level 4, console only.
TEST(LogDefaults, Level4ToTheConsoleOnly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        FILE* console = tmpfile();
        LogPrintf(kLogDetail, console, "t", "five\n");
        LogPrintf(kLogInfo, console, "t", "four\n");
        std::string text = Untimed(ReadAll(console));
        exit(text == "[T] [t] four\n" ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
