// Cloud storage benchmark, every figure beside its peer in the same run:
//  - an hour of segments (720 x about 1.25 MB) downloaded through the accessor from s3rver (signed, SigV4)
//    and from nginx (unsigned), beside the curl command fetching the same objects over one connection;
//  - DES-CBC decryption through the SDK beside `openssl speed -evp des-cbc` (16 KB blocks);
//  - the cloud player's frames per second unpaced (speed step 3) from the cache.
//   cloud_bench [--segments N] [--player-segments N]
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sdk/cloudplay/cs_player.h"
#include "sdk/cloud/orvel_server.h"
#include "sdk/storage/oss_accessor.h"
#include "sdk/storage/oss_cacher.h"
#include "util/crypto.h"
#include "tests/sdk/net/net_test_util.h"
#include "tools/cssegs/cssegs_lib.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kT0 = 1714996800;
const char kUuid[] = "BENCHCAM";
const char kKey[] = "benchkey";

double Seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }

int RunWait(const std::vector<std::string>& args, std::string* out = nullptr) {
  std::string cmd;
  for (const auto& a : args) cmd += "'" + a + "' ";
  FILE* p = popen((cmd + "2>&1").c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  std::string text;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  if (out) *out = text;
  int st = pclose(p);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::atomic<uint64_t> g_frames{0};
const AvRenderOps kCountOps = {
    [](IAvRender*) {},
    [](int32_t, int32_t, IAvRender*) {},
    [](AvStreamType t, uint32_t, const void*, int32_t, int32_t, IAvRender*) -> int32_t {
      if ((t & 0xFFFF) == 1) g_frames++;
      return 0;
    },
    [](AvStreamType, IAvRender*) {},
    [](IAvRender*) {},
    [](IAvRender*) {},
    [](IAvRender*) { return true; },
    [](const char*, IAvRender*) { return true; },
    [](int32_t, int32_t, IAvRender*) {},
    [](const char*, IAvRender*) -> int32_t { return 0; },
    [](IAvRender*) {},
    [](IAvRender*) { return false; },
};

bool ParseCount(const char* text, int* out) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (!end || *end || v < 1 || v > 720) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int segments = 720, player_segments = 120;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::printf("usage: cloud_bench [--segments N] [--player-segments N]  (N 1..720; defaults 720 and 120)\n");
      return 0;
    }
    if ((a == "--segments" || a == "--player-segments") && i + 1 < argc) {
      if (!ParseCount(argv[++i], a == "--segments" ? &segments : &player_segments)) {
        std::fprintf(stderr, "cloud_bench: %s must be 1..720\n", a.c_str());
        return 2;
      }
      continue;
    }
    std::fprintf(stderr, "cloud_bench: unknown option %s\n", a.c_str());
    return 2;
  }
  setenv("TZ", "UTC", 1);
  tzset();
  for (const char* v : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
    unsetenv(v);

  nettest::TempDir objects, web, scratch;
  CsSegOptions o;
  o.out_dir = objects.path();
  o.uuid = kUuid;
  o.des_key = kKey;
  o.start = kT0;
  o.segments = segments;
  o.fps = 25;
  std::vector<AccessUnit> units(25);
  for (size_t i = 0; i < units.size(); ++i) {
    units[i].key = i == 0;
    units[i].data.assign(9800, static_cast<uint8_t>(i));
  }
  CsSegResult made;
  auto t = Clock::now();
  if (!CsSegWriteUnits(units, o, &made)) {
    std::fprintf(stderr, "cannot write segments: %s\n", made.error.c_str());
    return 1;
  }
  double mb = made.bytes / 1e6;
  std::printf("segments: %d, %.1f MB (%.2f MB each), written in %.1f s\n", made.files, mb, mb / made.files,
              Seconds(t));

  nettest::PeerProcess s3;
  t = Clock::now();
  if (!s3.Start({"node", std::string(S3PEER_DIR) + "/s3peer.js", "--dir", objects.path(), "--watch-stdin"})) return 1;
  std::string line = s3.WaitForLine("PORT ", 600000);
  if (line.empty()) {
    std::fprintf(stderr, "s3peer did not start: %s\n", s3.Output().c_str());
    return 1;
  }
  int s3_port = std::atoi(line.substr(line.find("PORT ") + 5).c_str());
  std::printf("object store filled in %.1f s\n", Seconds(t));
  nettest::Nginx nginx;
  if (!nginx.Start(web.path(), "server {\n listen 127.0.0.1:%PORT%;\n root " + objects.path() + ";\n}\n")) return 1;

  std::string local = scratch.path() + "/seg.data";
  auto through_accessor = [&](int type, const std::string& end_point) {
    COssAccessor a(nullptr, "bench", kUuid, 1);
    CsCredentials c;
    c.key_id = "S3RVER";
    c.secret = "S3RVER";
    c.token = "bench-token";
    c.bucket = type == kCsProviderPlain ? "" : "velmora";
    c.end_point = end_point;
    c.region = "us-east-1";
    a.SetCredentials(type, c);
    auto start = Clock::now();
    for (const std::string& key : made.keys) {
      int r = a.Download(key.c_str(), local.c_str());
      if (r != 0) {
        std::fprintf(stderr, "download of %s: %d\n", key.c_str(), r);
        return -1.0;
      }
    }
    return mb / Seconds(start);
  };
  auto through_curl = [&](const std::string& base) {
    std::string config = scratch.path() + "/curl.conf";
    FILE* f = std::fopen(config.c_str(), "w");
    for (const std::string& key : made.keys) std::fprintf(f, "url = \"%s%s\"\noutput = \"%s\"\n", base.c_str(), key.c_str(), local.c_str());
    std::fclose(f);
    auto start = Clock::now();
    if (RunWait({"curl", "-sS", "--fail", "-K", config}) != 0) return -1.0;
    return mb / Seconds(start);
  };
  std::string s3_end = "s3.localhost:" + std::to_string(s3_port);
  std::string plain_end = "127.0.0.1:" + std::to_string(nginx.port());
  double ours_s3 = through_accessor(kCsProviderAws, s3_end);
  double curl_s3 = through_curl("http://velmora." + s3_end);
  double ours_ng = through_accessor(kCsProviderPlain, plain_end);
  double curl_ng = through_curl("http://" + plain_end);
  std::printf("\n%-34s %10s %10s %8s\n", "download (MB/s)", "accessor", "curl", "ratio");
  std::printf("%-34s %10.1f %10.1f %8.2f\n", "s3rver (SigV4 signed)", ours_s3, curl_s3, ours_s3 / curl_s3);
  std::printf("%-34s %10.1f %10.1f %8.2f\n", "nginx (unsigned)", ours_ng, curl_ng, ours_ng / curl_ng);

  // DES: 16 KB blocks, as openssl speed measures them.
  std::vector<uint8_t> in(16384, 0x5A), out(16384);
  auto start = Clock::now();
  uint64_t bytes = 0;
  while (Seconds(start) < 2.0) {
    for (int i = 0; i < 64; ++i) CryptoDesDecrypt(in.data(), 16384, kKey, out.data());
    bytes += 64 * 16384;
  }
  double ours_des = bytes / 1e6 / Seconds(start);
  std::string speed;
  RunWait({"openssl", "speed", "-provider", "legacy", "-provider", "default", "-evp", "des-cbc", "-seconds", "2",
           "-bytes", "16384"},
          &speed);
  double openssl_des = -1;
  size_t at = speed.rfind("DES-CBC");
  if (at == std::string::npos) at = speed.rfind("des-cbc");
  if (at != std::string::npos) {
    const char* p = speed.c_str() + at + 7;
    openssl_des = std::strtod(p, nullptr) * 1000 / 1e6;  // openssl prints 1000s of bytes per second
  }
  std::printf("\n%-34s %10s %10s %8s\n", "DES-CBC decrypt (MB/s)", "ours", "openssl", "ratio");
  std::printf("%-34s %10.1f %10.1f %8.2f\n", "16 KB blocks", ours_des, openssl_des, ours_des / openssl_des);

  // The player from the cache (the object tree is laid out as the cache is).
  SetCacheRoot(objects.path().c_str());
  CsSegmentStore store(nullptr, "bench", kUuid, kKey);
  std::vector<PlaybackSegment> list(1);
  list[0].start = kT0;
  list[0].duration = player_segments * 5;
  list[0].ossid = 1;
  uint64_t frames = 0;
  double secs = 0;
  {
    CCsPlayerFw player(&store);
    player.SetRecordList(&list);
    player.Start(&kCountOps, nullptr);
    player.SetSpeed(3);
    g_frames = 0;
    start = Clock::now();
    player.Locate(kT0);
    uint64_t want = static_cast<uint64_t>(player_segments) * 125;
    while (g_frames.load() < want && Seconds(start) < 600) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    secs = Seconds(start);
    frames = g_frames.load();
    player.Stop();
  }
  std::printf("\nplayer, unpaced: %llu video frames of %d segments in %.2f s: %.0f frames/s (%.1f MB/s of segments)\n",
              static_cast<unsigned long long>(frames), player_segments, secs, frames / secs,
              mb / made.files * player_segments / secs);
  std::printf("\nThe machine is shared with other jobs: figures are noisy.\n");
  return 0;
}
