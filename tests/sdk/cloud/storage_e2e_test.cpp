// Cloud storage end to end: segments in a real S3-compatible object store (s3rver from npm) and behind nginx,
// storage credentials from cloudsim, downloads through the accessors and playback through the cloud player.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/cloudplay/cs_player.h"
#include "sdk/cloud/orvel_server.h"
#include "sdk/storage/oss_accessor.h"
#include "sdk/storage/oss_cacher.h"
#include "sdk/net/tls_config.h"
#include "util/helpers.h"
#include "tests/sdk/cloud/cloudsim_harness.h"
#include "tests/sdk/net/net_test_util.h"
#include "tools/cssegs/cssegs_lib.h"

namespace {

constexpr int64_t kT0 = 1714996800;  // 2024-05-06 12:00:00 UTC
const char kUuid[] = "VLM-CS-000601";
const char kDesKey[] = "cs601key";
const char kDeviceId[] = "601";
constexpr int kSegments = 12;
constexpr int kMissing = 4;  // segment index absent from the stores

std::string KeyAt(int64_t t) {
  COssCacher c(kUuid, kDesKey);
  std::string key;
  c.KeyForTime(t, &key);
  return key;
}

// Object store, plain web server and service simulator, shared by the suite.
struct Peers {
  nettest::TempDir objects;
  nettest::TempDir web;
  nettest::PeerProcess s3;
  nettest::Nginx nginx;
  CloudSim sim;
  int s3_port = 0;
  bool ok = false;

  Peers() {
    CsSegOptions o;
    o.out_dir = objects.path();
    o.uuid = kUuid;
    o.des_key = kDesKey;
    o.start = kT0;
    o.segments = kSegments;
    o.fps = 10;
    o.skip = {kMissing};
    std::vector<AccessUnit> units(20);
    for (size_t i = 0; i < units.size(); ++i) {
      units[i].key = i % 10 == 0;
      units[i].data.assign(2000 + i, static_cast<uint8_t>(i));
    }
    CsSegResult r;
    if (!CsSegWriteUnits(units, o, &r)) return;
    if (!s3.Start({"node", std::string(S3PEER_DIR) + "/s3peer.js", "--dir", objects.path(), "--watch-stdin"}))
      return;
    std::string line = s3.WaitForLine("PORT ", 30000);
    if (line.empty()) {
      std::fprintf(stderr, "s3peer did not start: %s\n", s3.Output().c_str());
      return;
    }
    s3_port = std::atoi(line.substr(line.find("PORT ") + 5).c_str());
    std::string blocks = "server {\n listen 127.0.0.1:%PORT%;\n root " + objects.path() +
                         ";\n location /" + std::string(kUuid) + "/err/ { return 500; }\n}\n";
    if (!nginx.Start(web.path(), blocks)) return;
    CloudSim::Options so;
    so.storage = {"S3=s3.localhost:" + std::to_string(s3_port), "PLAIN=127.0.0.1:" + std::to_string(nginx.port())};
    if (!sim.Start(CloudFixture("storage"), so)) return;
    ok = true;
  }
};

class StorageE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("TZ", "UTC", 1);
    tzset();
    for (const char* v : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
      unsetenv(v);
    peers_ = new Peers;
  }
  static void TearDownTestSuite() {
    delete peers_;
    peers_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(peers_ && peers_->ok) << "object store, nginx or cloudsim did not start";
    SetCacheRoot(cache_.path().c_str());
    CloudSetDeployment(peers_->sim.Deployment());
    ASSERT_EQ(server_.Init("", kEnvTest), 0);
    ASSERT_EQ(server_.Login("cloud@example.test", "cloud-pass-1"), 0);
  }
  void TearDown() override {
    server_.Disconnect();
    CloudSetDeployment(CloudDeployment());
  }
  int TokenRequests() {
    JsonHolder all = peers_->sim.Requests();
    int n = 0;
    for (int i = 0; i < all.Size(); ++i) n += std::string(all.At(i).Get("path").AsString()) == "/api/device/token";
    return n;
  }
  std::unique_ptr<COssAccessor> Accessor(uint32_t ossid) {
    std::unique_ptr<COssAccessor> a;
    EXPECT_EQ(CreateAccessor(&server_, kDeviceId, kUuid, ossid, &a), 0);
    return a;
  }

  static Peers* peers_;
  nettest::TempDir cache_;
  COrvelServer server_;
};
Peers* StorageE2E::peers_ = nullptr;

TEST_F(StorageE2E, EveryProviderDownloadsSegmentsAndReportsMissingOnes) {
  const std::string want = nettest::ReadFile(peers_->objects.path() + KeyAt(kT0 + 5));
  ASSERT_FALSE(want.empty());
  struct Case {
    uint32_t ossid;
    int type;
  } cases[] = {{3, kCsProviderAws}, {4, kCsProviderCtyun}, {5, kCsProviderPlain}};
  for (const Case& c : cases) {
    auto a = Accessor(c.ossid);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->GetProviderType(), c.type);
    std::string local = cache_.path() + "/p" + std::to_string(c.ossid) + KeyAt(kT0 + 5);
    EXPECT_EQ(a->Download(KeyAt(kT0 + 5).c_str(), local.c_str()), 0) << c.ossid;
    EXPECT_TRUE(nettest::ReadFile(local) == want) << c.ossid;
    std::string gone = cache_.path() + "/p" + std::to_string(c.ossid) + KeyAt(kT0 + 5 * kMissing);
    EXPECT_EQ(a->Download(KeyAt(kT0 + 5 * kMissing).c_str(), gone.c_str()), kCsMissing) << c.ossid;
    EXPECT_FALSE(nettest::FileExists(gone));
    EXPECT_FALSE(nettest::FileExists(gone + ".tmp"));
  }
  // The end point "http://velmora.s3.localhost:port" lost its scheme and bucket.
  auto aws = Accessor(3);
  EXPECT_EQ(aws->Credentials().end_point, "s3.localhost:" + std::to_string(peers_->s3_port));
  EXPECT_EQ(aws->ObjectUrl(KeyAt(kT0).c_str()),
            "http://velmora.s3.localhost:" + std::to_string(peers_->s3_port) + KeyAt(kT0));
  EXPECT_EQ(aws->Get(aws->ObjectUrl(KeyAt(kT0).c_str()).c_str()), 0);
}

// Our Signature Version 4 headers beside the aws4 package's for the same request.
TEST_F(StorageE2E, SigV4MatchesTheAws4Package) {
  auto a = Accessor(3);
  std::string url = a->ObjectUrl(KeyAt(kT0).c_str());
  const time_t now = 1714996807;
  std::vector<std::string> lines = a->SignHeaders(url, now);
  ASSERT_EQ(lines.size(), 4u);
  std::string ours = lines[3].substr(lines[3].find("Signature=") + 10);
  std::string host = "velmora.s3.localhost";
  std::string json = "{\"host\":\"" + host + "\",\"path\":\"" + KeyAt(kT0) +
                     "\",\"region\":\"us-east-1\",\"accessKeyId\":\"S3RVER\",\"secretAccessKey\":\"S3RVER\","
                     "\"sessionToken\":\"sim-token-3\",\"amzDate\":\"" + FormatAmzDate(now) + "\"}";
  nettest::PeerProcess node;
  ASSERT_TRUE(node.Start({"node", std::string(S3PEER_DIR) + "/aws4_sign.js", json}));
  std::string out = node.WaitForExit(20000);
  size_t at = out.find("Signature=");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_EQ(out.substr(at + 10, 64), ours);
  EXPECT_NE(out.find("SignedHeaders=host;x-amz-content-sha256;x-amz-security-token"), std::string::npos);
}

TEST_F(StorageE2E, ExpiredCredentialsAreRefreshedOnceAndTheDownloadRetried) {
  // The first storage token names a key the store does not know: 403 InvalidAccessKeyId.
  peers_->sim.Fail("/api/device/token", R"({"mode":"patch","count":1,"patch":{"AccessKeyId":"EXPIREDKEY"}})");
  int before = TokenRequests();
  auto a = Accessor(4);
  std::string local = cache_.path() + KeyAt(kT0);
  EXPECT_EQ(a->Download(KeyAt(kT0).c_str(), local.c_str()), 0);
  EXPECT_EQ(TokenRequests() - before, 2);
  EXPECT_EQ(a->Credentials().key_id, "S3RVER");
  // Credentials that stay wrong give up after one refresh.
  before = TokenRequests();
  auto bad = Accessor(7);
  EXPECT_EQ(bad->Download(KeyAt(kT0).c_str(), (local + "7").c_str()), kCsCredentials);
  EXPECT_EQ(TokenRequests() - before, 2);
  EXPECT_FALSE(nettest::FileExists(local + "7"));
}

// The service names another provider for an account whose accessor exists: the accessor is replaced, nothing
// is thrown, and downloads go on with the new signing.
TEST_F(StorageE2E, ProviderChangeReplacesTheAccessor) {
  auto a = Accessor(3);
  ASSERT_EQ(a->GetProviderType(), kCsProviderAws);
  peers_->sim.Fail("/api/device/token", R"({"mode":"patch","count":1,"patch":{"from":"ctyun","endPoint":"s3.localhost:)" +
                                            std::to_string(peers_->s3_port) + "\"}}");
  EXPECT_EQ(CreateAccessor(&server_, kDeviceId, kUuid, 3, &a), 0);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->GetProviderType(), kCsProviderCtyun);
  std::string local = cache_.path() + "/changed.data";
  EXPECT_EQ(a->Download(KeyAt(kT0).c_str(), local.c_str()), 0);
  // A refresh inside a download takes a changed type over as well.
  peers_->sim.Fail("/api/device/token", R"({"mode":"patch","count":1,"patch":{"from":"aws"}})");
  EXPECT_EQ(a->Refresh(), 0);
  EXPECT_EQ(a->GetProviderType(), kCsProviderAws);
}

TEST_F(StorageE2E, FailedDownloadsKeepTheEarlierFile) {
  auto a = Accessor(5);
  std::string key = std::string("/") + kUuid + "/err/x.data";
  std::string local = cache_.path() + "/x.data";
  nettest::WriteFile(local, "earlier");
  // nginx answers 500 with an HTML page, not a storage error document: the status stays.
  EXPECT_EQ(a->Download(key.c_str(), local.c_str()), 500);
  EXPECT_EQ(nettest::ReadFile(local), "earlier");
  EXPECT_FALSE(nettest::FileExists(local + ".tmp"));
  // Unsigned downloads (thumbnails) map nothing.
  std::string url = "http://127.0.0.1:" + std::to_string(peers_->nginx.port()) + key;
  EXPECT_EQ(DownloadUrlToFile(url.c_str(), local.c_str()), 500);
  url = "http://127.0.0.1:" + std::to_string(peers_->nginx.port()) + KeyAt(kT0);
  EXPECT_EQ(DownloadUrlToFile(url.c_str(), local.c_str()), 0);
  EXPECT_TRUE(nettest::ReadFile(local) == nettest::ReadFile(peers_->objects.path() + KeyAt(kT0)));
  // A local file that cannot be made.
  EXPECT_EQ(a->Download(KeyAt(kT0).c_str(), "/proc/velmora/none.data"), kCsFileError);
}

// A PUT from memory into the object store, read back with a GET.
TEST_F(StorageE2E, PutFromMemoryThenGet) {
  LoadCurl();
  CURL* h = CurlEntryPoints()->easy_init();
  ASSERT_TRUE(h);
  std::string body(100000, 'p');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
  std::string url = "http://velmora.s3.localhost:" + std::to_string(peers_->s3_port) + "/put/test.bin";
  CurlRecvSink put_sink;
  EXPECT_EQ(CurlRunRequest(h, kCsPut, url.c_str(), {}, body.data(), body.size(), &put_sink), 0);
  std::string local = cache_.path() + "/put.bin";
  EXPECT_EQ(DownloadCloudFile(kCsProviderNone, h, url.c_str(), local.c_str(), {}), 0);
  EXPECT_TRUE(nettest::ReadFile(local) == body);
  CurlEntryPoints()->easy_cleanup(h);
}

// https storage follows the SDK's one certificate policy: verified by default (the test CA unknown, then
// given), unverified only after the explicit opt-out.
TEST_F(StorageE2E, HttpsDownloadsFollowTheCertificatePolicy) {
  nettest::TempDir dir;
  nettest::TestCa ca;
  ASSERT_TRUE(ca.Make(dir.path()));
  nettest::TempDir web;
  nettest::Nginx https;
  ASSERT_TRUE(https.Start(web.path(), "server {\n listen 127.0.0.1:%PORT% ssl;\n ssl_certificate " + ca.server_cert +
                                         ";\n ssl_certificate_key " + ca.server_key + ";\n root " +
                                         peers_->objects.path() + ";\n}\n"));
  std::string url = "https://127.0.0.1:" + std::to_string(https.port()) + KeyAt(kT0);
  std::string local = cache_.path() + "/tls.data";
  EXPECT_EQ(DownloadUrlToFile(url.c_str(), local.c_str()), CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_FALSE(nettest::FileExists(local));
  NetTlsConfigure(1, ca.ca_cert.c_str());
  EXPECT_EQ(DownloadUrlToFile(url.c_str(), local.c_str()), 0);
  NetTlsConfigure(0, nullptr);
  std::remove(local.c_str());
  EXPECT_EQ(DownloadUrlToFile(url.c_str(), local.c_str()), 0);
  NetTlsConfigure(1, nullptr);
  EXPECT_TRUE(nettest::FileExists(local));
}

// A 2xx body that cannot be written (file size limit) fails and leaves no truncated file.
TEST_F(StorageE2E, WriteErrorUnderA2xxStatusIsAFailure) {
  auto a = Accessor(5);
  std::string local = cache_.path() + "/limited.data";
  nettest::WriteFile(local, "earlier");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &lim);
    int r = a->Download(KeyAt(kT0).c_str(), local.c_str());
    _exit(r == CURLE_WRITE_ERROR ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(nettest::ReadFile(local), "earlier");
  EXPECT_FALSE(nettest::FileExists(local + ".tmp"));
}

// A recording sink for the player.
struct Sink {
  std::mutex mu;
  std::vector<int32_t> positions;
  size_t video = 0;
  int releases = 0;
};
const AvRenderOps kSinkOps = {
    [](IAvRender* s) {
      auto* k = reinterpret_cast<Sink*>(s);
      std::lock_guard<std::mutex> l(k->mu);
      k->releases++;
    },
    [](int32_t ev, int32_t v, IAvRender* s) {
      auto* k = reinterpret_cast<Sink*>(s);
      std::lock_guard<std::mutex> l(k->mu);
      if (ev == kAvEventPlaybackRestart) k->positions.push_back(v);
    },
    [](AvStreamType t, uint32_t, const void*, int32_t, int32_t, IAvRender* s) -> int32_t {
      auto* k = reinterpret_cast<Sink*>(s);
      std::lock_guard<std::mutex> l(k->mu);
      k->video += (t & 0xFFFF) == 1;
      return 0;
    },
    [](AvStreamType, IAvRender*) {},
    [](IAvRender*) {},
    [](IAvRender*) {},
    [](IAvRender*) { return false; },
    [](const char*, IAvRender*) { return true; },
    [](int32_t, int32_t, IAvRender*) {},
    [](const char*, IAvRender*) -> int32_t { return 0; },
    [](IAvRender*) {},
    [](IAvRender*) { return false; },
};

TEST_F(StorageE2E, CloudPlaybackFromTheServiceRecordListAndTheObjectStore) {
  std::vector<PlaybackSegment> list;
  ASSERT_EQ(server_.GetVideoRecord(kDeviceId, kT0 - 12 * 3600, kT0 + 12 * 3600 - 1, &list), 0);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].start, kT0);
  EXPECT_EQ(list[0].ossid, 3u);
  CsSegmentStore store(&server_, kDeviceId, kUuid, kDesKey);
  // A segment marked known-missing in the cache is not fetched.
  std::string marked;
  store.Cacher()->LocalPath(KeyAt(kT0 + 50), &marked);
  FILE* marker = FopenMkdirs((marked + ".nofile").c_str(), "wb");
  ASSERT_TRUE(marker);
  std::fclose(marker);
  Sink sink;
  {
    CCsPlayerFw player(&store);
    player.SetRecordList(&list);
    player.Start(&kSinkOps, reinterpret_cast<IAvRender*>(&sink));
    player.SetSpeed(3);
    player.Locate(kT0 + 7);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool started = false;
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard<std::mutex> l(sink.mu);
        started = started || !sink.positions.empty();
      }
      if (started && player.PlayerState() == kCsIdle) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(player.PlayerState(), kCsIdle);
    player.Stop();
  }
  std::lock_guard<std::mutex> l(sink.mu);
  ASSERT_FALSE(sink.positions.empty());
  EXPECT_EQ(sink.positions.front(), kT0 + 5);
  EXPECT_EQ(sink.positions.back(), kT0 + 59);
  for (int32_t p : sink.positions) {
    EXPECT_FALSE(p >= kT0 + 5 * kMissing && p < kT0 + 5 * kMissing + 5) << p - kT0;
    EXPECT_FALSE(p >= kT0 + 50 && p < kT0 + 55) << p - kT0;
  }
  EXPECT_EQ(sink.video, 9u * 50u);  // items 1..11 without the missing and the marked one
  EXPECT_EQ(sink.releases, 1);
  // The downloaded segments are in the cache: a store without a service finds them there.
  CsSegmentStore offline(nullptr, kDeviceId, kUuid, kDesKey);
  std::string path;
  EXPECT_EQ(offline.DownloadSegmentAt(3, kT0 + 7, &path), 0);
  EXPECT_TRUE(nettest::ReadFile(path) == nettest::ReadFile(peers_->objects.path() + KeyAt(kT0 + 5)));
  EXPECT_EQ(offline.DownloadSegmentAt(3, kT0 + 52, &path), kCsMissing);
  EXPECT_EQ(offline.DownloadSegmentAt(3, kT0, &path), -1);  // not cached, no accessor
}

}  // namespace
