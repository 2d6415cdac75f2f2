#include "util/helpers.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/thread.h"
#include "tests/common/temp_dir.h"

namespace {

TEST(Helpers, StringCopies) {
  char* d = StrDup("device");
  EXPECT_STREQ(d, "device");
  free(d);
  EXPECT_EQ(StrDup(nullptr), nullptr);
  d = StrNDup("device", 3);
  EXPECT_STREQ(d, "dev");
  free(d);
  d = StrNDup("ab", 10);
  EXPECT_STREQ(d, "ab");
  free(d);
  EXPECT_EQ(StrNDup(nullptr, 3), nullptr);

  struct Case {
    const char* src;
    size_t size;
    const char* want;
  } cases[] = {{"hello", 10, "hello"}, {"hello", 6, "hello"}, {"hello", 5, "hell"},
               {"hello", 2, "h"},      {"hello", 1, ""},      {nullptr, 8, ""}};
  for (const Case& c : cases) {
    char buf[16];
    memset(buf, 'X', sizeof(buf));
    StrCopyN(buf, c.src, c.size);
    EXPECT_STREQ(buf, c.want) << c.size;
    EXPECT_EQ(buf[c.size], 'X') << "wrote past size " << c.size;
  }
}

TEST(Helpers, StrRFindAny) {
  const char* path = "/a/b\\c.mp4";
  EXPECT_EQ(StrRFindAny(path, "/\\"), path + 4);
  EXPECT_EQ(StrRFindAny(path, "."), path + 6);
  EXPECT_EQ(StrRFindAny(path, "z"), nullptr);
  EXPECT_EQ(StrRFindAny("", "/"), nullptr);
  EXPECT_EQ(StrRFindAny(nullptr, "/"), nullptr);
}

TEST(Helpers, MemAllocators) {
  int* p = static_cast<int*>(MemCalloc(4, sizeof(int)));
  ASSERT_TRUE(p);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(p[i], 0);
  p = static_cast<int*>(MemRealloc(p, 8 * sizeof(int)));
  ASSERT_TRUE(p);
  EXPECT_EQ(p[3], 0);
  free(p);
}

TEST(Helpers, FopenMkdirsMakesMissingFoldersForWriting) {
  TempDir tmp("velmora_fopen");
  const std::string& root = tmp.path();
  const std::string path = root + "/cache/dev1/20240101/seg.tmp";
  EXPECT_EQ(FopenMkdirs(path.c_str(), "rb"), nullptr);  // reading makes nothing
  EXPECT_FALSE(std::filesystem::exists(root + "/cache"));
  FILE* f = FopenMkdirs(path.c_str(), "wb");
  ASSERT_TRUE(f);
  fputs("x", f);
  fclose(f);
  f = FopenMkdirs((root + "/cache/dev1/log.txt").c_str(), "a");
  ASSERT_TRUE(f);
  fclose(f);
  f = FopenMkdirs(path.c_str(), "rb");
  ASSERT_TRUE(f);
  fclose(f);
  // A file where a folder should be: no open.
  EXPECT_EQ(FopenMkdirs((path + "/below").c_str(), "w"), nullptr);
}

TEST(Helpers, JoinThreadReturnsTheExitCode) {
  platform::Thread t;
  ASSERT_TRUE(t.Start("helper", [] { return 1234u; }));
  EXPECT_EQ(JoinThread(t), 1234u);
}

TEST(Helpers, SocketOptions) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ASSERT_EQ(SockIoctlFionbio(sv[0], 1), 0);
  char c;
  EXPECT_EQ(recv(sv[0], &c, 1, 0), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
  ASSERT_EQ(SockSetLinger(sv[0], 1, 3), 0);
  linger l{};
  socklen_t len = sizeof(l);
  ASSERT_EQ(getsockopt(sv[0], SOL_SOCKET, SO_LINGER, &l, &len), 0);
  EXPECT_EQ(l.l_onoff, 1);
  EXPECT_EQ(l.l_linger, 3);
  EXPECT_EQ(SockIoctlFionbio(-1, 1), -1);
  close(sv[0]);
  close(sv[1]);
}

}  // namespace
