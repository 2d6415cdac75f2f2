// The WebRTC transports end to end against camsim's WebRTC side: "ovwebrtc" signalling through cloudsim's
// push channel (the client logged in with COrvelServer) and on the LAN WebSocket, "ovwebrtc2" through a
// room of sigsim, host candidates and TURN only (coturn on loopback), the device link's commands and live
// frames byte for byte, cameras that never answer (the time-out codes, and the connection strategy falling
// back in its order) and a camera that goes away mid-stream. Run by netns_run.sh: everything stays on the loopback of a namespace of the test's own.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/cloud/orvel_server.h"
#include "sdk/node/device_node.h"
#include "sdk/device/kivo_p2p.h"
#include "sdk/device/kivo_session.h"
#include "sdk/net/ws_client.h"
#include "sdk/webrtc/ov_signal2.h"
#include "sdk/webrtc/ov_transport.h"
#include "tests/sdk/cloud/cloudsim_harness.h"
#include "tests/sdk/device/fake_transport.h"
#include "tools/camsim/camsim.h"
#include "tools/camsim/link.h"
#include "tools/camsim/media_source.h"
#include "tools/camsim/signal_server.h"
#include "tools/camsim/webrtc_side.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kDid[] = "VLM-WRTC-000001";
constexpr char kSilentDid[] = "VLM-WRTC-000002";
constexpr char kW2Did[] = "VLM-WRTC-000004";  // reachable by "ovwebrtc2" only
constexpr char kPw[] = "pw-wrtc-1";
constexpr int kLanPort = 3576;
constexpr int kSilentLanPort = 3577;
constexpr int kTurnPort = 3478;

long long MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

bool WaitFor(const std::function<bool()>& done, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The world every test shares: a video file, cloudsim with the client logged in (its push channel up), a
// camera answering over WebRTC (its answers name the TURN server) and a camera that never answers.
struct World {
  nettest::TempDir dir;
  std::string video;
  camsim::MediaTrack track;
  CloudSim cloud;
  COrvelServer* server = nullptr;
  std::unique_ptr<camsim::SignalServer> sig;
  std::unique_ptr<camsim::Simulator> cam, silent_cam, w2_cam;
  std::unique_ptr<camsim::WebrtcSide> side, silent_side, w2_side;
  nettest::PeerProcess turn;
  std::string error;
  std::mutex log_mu;
  std::vector<std::string> log;

  camsim::Printer Printer() {
    return [this](const std::string& line) {
      std::lock_guard<std::mutex> g(log_mu);
      log.push_back(line);
    };
  }
  bool Logged(const std::string& text) {
    std::lock_guard<std::mutex> g(log_mu);
    for (const auto& l : log)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }

  bool Start() {
    video = dir.path() + "/v.h264";
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=25 -t 2 "
                            "-c:v libx264 -preset ultrafast -g 25 -f h264 " + video + " </dev/null";
    if (std::system(cmd.c_str()) != 0) return Fail("ffmpeg could not make the test stream");
    std::string why;
    if (!camsim::LoadVideo(video, "", 0, &track, &why)) return Fail(why);

    if (!cloud.Start(CloudFixture("account"))) return Fail("cloudsim did not start");
    CloudSetDeployment(cloud.Deployment());
    CloudSdkHooks hooks;
    hooks.webrtc_signaling = WebrtcOnSignaling;
    hooks.signaling_setup = WebrtcSignalingSetup;
    hooks.signaling_reset = WebrtcSignalingReset;
    CloudSetHooks(hooks);
    server = new COrvelServer();
    if (server->Init("", kEnvTest) != 0 || server->Login("13800000001", "ann-pass-1") != 0)
      return Fail("login at cloudsim failed");
    if (!WaitFor([&] { return cloud.Control("/clients").Get("clients").Size() > 0; }, 10000))
      return Fail("the push channel did not connect");

    // The second transport's rooms: each camera's, and one nobody joins.
    camsim::SignalServerConfig sc;
    sc.rooms = {"/cam", "/silent", "/w2only", "/empty"};
    sc.ice = R"([{"ip":"127.0.0.1","port":)" + std::to_string(kTurnPort) + R"(,"is_turn":1,"user":"tu","pass":"tp"}])";
    sig = std::make_unique<camsim::SignalServer>(sc, Printer());
    if (!sig->Start(&why)) return Fail(why);

    const std::string push = "ws://127.0.0.1:" + std::to_string(cloud.http_port());
    camsim::Config c;
    c.cameras = {{kDid, kPw}};
    c.video = {video};
    c.p2p = false;
    c.talk_out = dir.path() + "/talk.alaw";
    cam = std::make_unique<camsim::Simulator>(c, Printer());
    if (!cam->Start(&why)) return Fail(why);
    camsim::WebrtcConfig w;
    w.push = push;
    w.lan_port = kLanPort;
    w.ice = {{true, "127.0.0.1", kTurnPort, "tu", "tp"}};
    w.webrtc2 = sig->Token("/cam");
    side = std::make_unique<camsim::WebrtcSide>(cam.get(), std::vector<std::string>{kDid}, w, Printer());
    if (!side->Start(&why)) return Fail(why);

    c.cameras = {{kSilentDid, kPw}};
    c.talk_out.clear();
    silent_cam = std::make_unique<camsim::Simulator>(c, Printer());
    if (!silent_cam->Start(&why)) return Fail(why);
    w.lan_port = kSilentLanPort;
    w.silent = true;
    w.webrtc2 = sig->Token("/silent");
    silent_side = std::make_unique<camsim::WebrtcSide>(silent_cam.get(), std::vector<std::string>{kSilentDid}, w,
                                                       Printer());
    if (!silent_side->Start(&why)) return Fail(why);

    c.cameras = {{kW2Did, kPw}};
    w2_cam = std::make_unique<camsim::Simulator>(c, Printer());
    if (!w2_cam->Start(&why)) return Fail(why);
    camsim::WebrtcConfig w2;
    w2.webrtc2 = sig->Token("/w2only");
    w2_side = std::make_unique<camsim::WebrtcSide>(w2_cam.get(), std::vector<std::string>{kW2Did}, w2, Printer());
    if (!w2_side->Start(&why)) return Fail(why);
    if (!WaitFor([&] { return side->Ready() && silent_side->Ready() && w2_side->Ready(); }, 10000))
      return Fail("camsim's push connection or room membership did not come up");
    return true;
  }
  // coturn with a configuration of the test's own, on loopback only.
  bool StartTurn() {
    const std::string conf = dir.path() + "/turnserver.conf";
    nettest::WriteFile(conf, "listening-ip=127.0.0.1\nrelay-ip=127.0.0.1\nlistening-port=" +
                                 std::to_string(kTurnPort) +
                                 "\nlt-cred-mech\nuser=tu:tp\nrealm=velmora\nno-tls\nno-dtls\nno-cli\n"
                                 "allow-loopback-peers\nmin-port=49160\nmax-port=49200\nlog-file=stdout\n"
                                 "no-software-attribute\nverbose\npidfile=" + dir.path() + "/turn.pid\nuserdb=" +
                                 dir.path() + "/turndb\n");
    return turn.Start({"turnserver", "-c", conf}) && !turn.WaitForLine("Total General servers", 10000).empty();
  }
  // Relay addresses coturn handed out so far.
  size_t TurnAllocations() {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string out = turn.Output();
    size_t n = 0;
    for (size_t at = out.find("ALLOCATE processed, success"); at != std::string::npos;
         at = out.find("ALLOCATE processed, success", at + 1))
      ++n;
    return n;
  }
  bool Fail(const std::string& why) {
    error = why;
    return false;
  }
  void Stop() {
    if (cam) cam->Stop();
    if (silent_cam) silent_cam->Stop();
    if (w2_cam) w2_cam->Stop();
    if (side) side->Stop();
    if (silent_side) silent_side->Stop();
    if (w2_side) w2_side->Stop();
    if (sig) sig->Stop();
    delete server;
    server = nullptr;
    CloudSetHooks(CloudSdkHooks());
    cloud.Stop();
    turn.Stop();
  }
};

World* g_world = nullptr;

// Live frames of one lens, as the device link hands them over.
struct Frames {
  std::mutex mu;
  std::vector<std::vector<uint8_t>> payloads;
  std::vector<MediaFrameHeader> headers;
  int errors = 0;
  static void Cb(const MediaFrameHeader* h, const uint8_t* p, int n, void* user) {
    auto* f = static_cast<Frames*>(user);
    std::lock_guard<std::mutex> g(f->mu);
    if (n < 0 || !h) {
      ++f->errors;
      return;
    }
    f->headers.push_back(*h);
    f->payloads.emplace_back(p, p + n);
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(mu);
    return payloads.size();
  }
};

// A werift peer (tools/wrtcpeer/werift_peer.js) as a child process: its seven data channels relayed over
// its standard input and output in frames [channel][u32 big-endian length][bytes]; channel 255 brings its
// control texts.
class WeriftPeer {
 public:
  ~WeriftPeer() { Stop(); }

  bool Start(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::vector<std::string> all = {"node", std::string(WRTCPEER_DIR) + "/werift_peer.js"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int r = posix_spawnp(&pid_, "node", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    in_fd_ = in[1];
    out_fd_ = out[0];
    if (r != 0) {
      pid_ = -1;
      return false;
    }
    reader_ = std::thread([this] { Read(); });
    return true;
  }
  // The first control text holding the text, within ms; "" when none came.
  std::string WaitControl(const std::string& want, int ms) {
    std::unique_lock<std::mutex> lk(mu_);
    std::string found;
    cv_.wait_for(lk, std::chrono::milliseconds(ms), [&] {
      for (const auto& c : controls_)
        if (c.find(want) != std::string::npos) found = c;
      return !found.empty();
    });
    return found;
  }
  int Send(int channel, const void* bytes, int length) {
    uint8_t head[5] = {static_cast<uint8_t>(channel), static_cast<uint8_t>(length >> 24),
                       static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 8),
                       static_cast<uint8_t>(length)};
    std::lock_guard<std::mutex> g(write_mu_);
    if (ended_ || !WriteAll(head, 5) || !WriteAll(bytes, length)) return -1;
    return length;
  }
  bool Ended() const { return ended_.load(); }
  void Stop() {
    if (pid_ <= 0) return;
    demux.StopWriters();
    close(in_fd_);  // the peer ends when its input closes
    for (int i = 0; i < 30 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (waitpid(pid_, nullptr, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    if (reader_.joinable()) reader_.join();
    close(out_fd_);
  }

  DataChannelDemux demux{nullptr};

 private:
  bool WriteAll(const void* p, int n) {
    auto* b = static_cast<const char*>(p);
    while (n > 0) {
      const ssize_t k = write(in_fd_, b, static_cast<size_t>(n));
      if (k <= 0) return false;
      b += k;
      n -= static_cast<int>(k);
    }
    return true;
  }
  bool ReadAll(void* p, size_t n) {
    auto* b = static_cast<char*>(p);
    while (n > 0) {
      const ssize_t k = read(out_fd_, b, n);
      if (k <= 0) return false;
      b += k;
      n -= static_cast<size_t>(k);
    }
    return true;
  }
  void Read() {
    std::vector<uint8_t> buf;
    for (;;) {
      uint8_t head[5];
      if (!ReadAll(head, 5)) break;
      const uint32_t n = (uint32_t{head[1]} << 24) | (uint32_t{head[2]} << 16) | (uint32_t{head[3]} << 8) | head[4];
      buf.resize(n);
      if (n && !ReadAll(buf.data(), n)) break;
      if (head[0] == 255) {
        std::lock_guard<std::mutex> g(mu_);
        controls_.emplace_back(buf.begin(), buf.end());
        if (controls_.back().find("\"closed\"") != std::string::npos) ended_ = true;
        cv_.notify_all();
      } else {
        demux.OnData(head[0], buf.data(), static_cast<int>(n));
      }
    }
    ended_ = true;
  }

  pid_t pid_ = -1;
  int in_fd_ = -1, out_fd_ = -1;
  std::thread reader_;
  std::mutex mu_, write_mu_;
  std::condition_variable cv_;
  std::vector<std::string> controls_;
  std::atomic<bool> ended_{false};
};

// The device link over a werift client: "werift:<LAN WebSocket URL>" offers to that camera.
namespace werift_transport {
WeriftPeer* Peer(TransportHandle h) { return reinterpret_cast<WeriftPeer*>(h); }
int Connect(const char* rest, const char* peer_id, int, TransportHandle* out) {
  auto* p = new WeriftPeer;
  if (!p->Start({"client", "--ws", rest, "--did", peer_id}) || p->WaitControl(R"("event":"open")", 10000).empty()) {
    delete p;
    return KIVO_ERR_TIMEOUT;
  }
  *out = reinterpret_cast<TransportHandle>(p);
  return 0;
}
void Close(TransportHandle h) { delete Peer(h); }
int Alive(TransportHandle h) { return Peer(h)->Ended() ? 0 : 1; }
int Send(TransportHandle h, int channel, const void* bytes, int length) { return Peer(h)->Send(channel, bytes, length); }
int Recv(TransportHandle h, int channel, void* buffer, int length, int timeout_ms) {
  const int r = Peer(h)->demux.Recv(channel, buffer, length, timeout_ms);
  return r == KIVO_ERR_TIMEOUT && Peer(h)->Ended() ? KIVO_ERR_CLOSED : r;
}
int CheckSendBuf(TransportHandle, int, int, int* load) {
  if (load) *load = 0;
  return 0;
}
const TransportOps kOps = {"werift", Connect, Close, Alive, Send, Recv, CheckSendBuf, nullptr, nullptr, nullptr};
}  // namespace werift_transport

// camsim's device link over a werift device's channels.
class WeriftLink : public camsim::Link {
 public:
  explicit WeriftLink(std::shared_ptr<WeriftPeer> p) : p_(std::move(p)) {}
  int Read(int channel, char* dst, int* size, int timeout_ms) override {
    const int r = p_->demux.Recv(channel, dst, *size, timeout_ms);
    *size = r > 0 ? r : 0;
    if (r >= 0) return 0;
    return r == -1 || p_->Ended() ? -1 : camsim::kLinkTimeout;
  }
  int Write(int channel, const char* bytes, int n) override { return p_->Send(channel, bytes, n); }
  int Pending(int, int* pending) override {
    *pending = 0;
    return p_->Ended() ? -1 : 0;
  }
  void Close(bool) override { p_->Stop(); }

 private:
  std::shared_ptr<WeriftPeer> p_;
};

class WebrtcE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(g_world, nullptr);
    ASSERT_TRUE(g_world->error.empty()) << g_world->error;
  }
  void TearDown() override {
    if (s_) KivoP2pClose(s_);
    OvWebrtcSetRelayOnly(false);
  }

  // Connects, then checks commands and 40 live frames against the camera's file, byte for byte.
  void ConnectAndStream(const std::string& address, const char* did = kDid,
                        const TransportOps* transport = &kOvwebrtcTransport) {
    const auto t0 = Clock::now();
    ASSERT_EQ(KivoP2pConnect2(address.c_str(), did, 0, &s_), 0) << address;
    EXPECT_EQ(KivoP2pTransport(s_), transport);
    EXPECT_LT(MsSince(t0), 8000);
    Exercise();
  }

  // Over a connected session: the password, features, lens and record list commands, then 40 live frames
  // checked against the camera's file byte for byte.
  void Exercise() {
    EXPECT_EQ(KivoP2pIsAlive(s_), 1);

    EXPECT_EQ(KivoP2pVerifyPassword(s_, "wrong"), KIVO_ERR_AUTH);
    ASSERT_EQ(KivoP2pVerifyPassword(s_, kPw), 0);
    DeviceFeatures f{};
    ASSERT_EQ(KivoP2pGetFeatures(s_, &f), 0);
    EXPECT_EQ(f.channel_count, 1u);
    const uint8_t lens[12] = {3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0};
    ASSERT_GE(KivoP2pSetLensParam(s_, lens), 0);
    uint8_t back[12] = {};
    ASSERT_GE(KivoP2pGetLensParam(s_, back), 0);
    EXPECT_EQ(0, std::memcmp(lens, back, 12));
    RecordEntry* entries = nullptr;
    int count = 0;
    ASSERT_EQ(KivoP2pGetRecordList(s_, time(nullptr) - 86400, 86400, &entries, &count), 0);
    EXPECT_GE(count, 23);  // one an hour over the last day (the current hour may start later)
    free(entries);

    Frames frames;
    ASSERT_EQ(KivoP2pStartVideo(s_, 0, Frames::Cb, &frames), 0);
    ASSERT_TRUE(WaitFor([&] { return frames.Count() >= 40; }, 10000)) << frames.Count();
    KivoP2pStopVideo(s_, 0);
    std::lock_guard<std::mutex> g(frames.mu);
    EXPECT_EQ(frames.errors, 0);
    const auto& t = g_world->track;
    for (size_t i = 0; i < 40; ++i) {
      const camsim::MediaFrame& mf = t.frames[i % t.frames.size()];
      const std::vector<uint8_t> want(t.bytes.begin() + static_cast<long>(mf.offset),
                                      t.bytes.begin() + static_cast<long>(mf.offset + mf.size));
      ASSERT_EQ(frames.payloads[i], want) << "frame " << i;
      EXPECT_EQ(frames.headers[i].flags & 1, mf.key ? 1 : 0) << "frame " << i;
    }
  }

  // Talkback: G.711 frames sent reach the camera's talk file unchanged.
  void Talk(const std::string& talk_file) {
    ASSERT_GE(KivoP2pStartTalk(s_), 0);  // the reply length
    std::string sent;
    for (int i = 0; i < 5; ++i) {
      std::string frame(160, '\0');
      for (size_t k = 0; k < frame.size(); ++k) frame[k] = static_cast<char>(k * 7 + i * 31);
      ASSERT_GE(KivoP2pSendMedia(s_, frame.data(), static_cast<int>(frame.size())), 0);
      sent += frame;
    }
    ASSERT_TRUE(WaitFor([&] { return nettest::ReadFile(talk_file).size() >= sent.size(); }, 5000));
    KivoP2pStopTalk(s_);
    EXPECT_EQ(nettest::ReadFile(talk_file), sent);
  }

  KivoSession* s_ = nullptr;
};

TEST_F(WebrtcE2e, ThroughThePushChannelWithHostCandidates) {
  ConnectAndStream("ovwebrtc:[]");
  EXPECT_TRUE(g_world->Logged("via=push use_dtls=0"));
}

TEST_F(WebrtcE2e, OnTheLanWebSocketEvenWithStunsGiven) {
  ConnectAndStream(R"(ovwebrtc:{"ip":"127.0.0.1","stuns":[{"ip":"127.0.0.1","port":3478,"is_turn":0}]})");
  EXPECT_TRUE(g_world->Logged("via=lan use_dtls=1"));
}

TEST_F(WebrtcE2e, ThroughTurnOnly) {
  ASSERT_TRUE(g_world->StartTurn()) << g_world->turn.Output();
  OvWebrtcSetRelayOnly(true);  // both ends: relayed candidates only
  ConnectAndStream(R"(ovwebrtc:{"stuns":[{"ip":"127.0.0.1","user":"tu","pass":"tp","port":"3478","is_turn":1}]})");
  // Both ends took a relay address.
  EXPECT_GE(g_world->TurnAllocations(), 2u) << g_world->turn.Output();
}

TEST_F(WebrtcE2e, CameraThatNeverAnswersOnTheLanTimesOut) {
  ovwebrtcSetLanPort(kSilentLanPort);
  const auto t0 = Clock::now();
  EXPECT_EQ(KivoP2pConnect2(R"(ovwebrtc:{"ip":"127.0.0.1"})", kSilentDid, 0, &s_), KIVO_ERR_TIMEOUT);
  ovwebrtcSetLanPort(0);
  const long long ms = MsSince(t0);
  EXPECT_GE(ms, kOvwebrtcLanWaitMs - 100);
  EXPECT_LT(ms, kOvwebrtcLanWaitMs + 3000);
  EXPECT_EQ(s_, nullptr);
  EXPECT_TRUE(g_world->Logged("via=lan use_dtls=1 (not answered)"));
  // Nothing listens: the WebSocket's error at once.
  ovwebrtcSetLanPort(kSilentLanPort + 10);
  EXPECT_LT(KivoP2pConnect2(R"(ovwebrtc:{"ip":"127.0.0.1"})", kSilentDid, 0, &s_), 0);
  ovwebrtcSetLanPort(0);
}

// Which transports a connect tried, in order: the WebRTC transports as they are, "rvs" an in-memory
// transport standing in for P2P.
struct Attempts {
  static inline std::mutex mu;
  static inline std::vector<std::string> names;
  static inline fake::Conn conn;

  template <const TransportOps* kOps>
  static int Connect(const char* rest, const char* peer, int flags, TransportHandle* out) {
    {
      std::lock_guard<std::mutex> g(mu);
      names.push_back(kOps->name);
    }
    return kOps->connect(rest, peer, flags, out);
  }
  static int Rvs(const char* rest, const char* peer, int flags, TransportHandle* out) {
    {
      std::lock_guard<std::mutex> g(mu);
      names.push_back("rvs");
    }
    {
      std::lock_guard<std::mutex> g(fake::g_mu);
      fake::g_pending = &conn;
    }
    return fake::Connect(rest, peer, flags, out);
  }
  static std::vector<std::string> Take() {
    std::lock_guard<std::mutex> g(mu);
    return std::exchange(names, {});
  }
  Attempts() {
    static const TransportOps w2 = {"ovwebrtc2",    Connect<&kOvwebrtc2Transport>, ovwebrtcClose, ovwebrtcIsAlive,
                                    ovwebrtcSend,   ovwebrtcRecv,  ovwebrtcCheckSendBuf, nullptr, nullptr, nullptr};
    static const TransportOps w1 = {"ovwebrtc",   Connect<&kOvwebrtcTransport>, ovwebrtcClose, ovwebrtcIsAlive,
                                    ovwebrtcSend, ovwebrtcRecv, ovwebrtcCheckSendBuf, nullptr, nullptr, nullptr};
    static const TransportOps rvs = {"rvs",      Rvs,        fake::Close, fake::Alive, fake::Send,
                                     fake::Recv, fake::CheckSendBuf, nullptr, nullptr, nullptr};
    static const TransportOps* const list[] = {&w2, &w1, &rvs};
    kivo::SetTransportList(list, 3);
    Take();
  }
  ~Attempts() { kivo::SetTransportList(nullptr, 0); }
};

// A listed device of the given transports.
void MakeNode(DeviceNode* node, const char* did, int flags, const std::string& token) {
  DeviceInfo& info = node->Info();
  info.id = "9001";  // a listed device: P2P without the probe of unlisted ones
  info.device_type = "ipc";
  info.uuid = did;
  info.p2p_id = did;
  info.p2p_platform = "SIMSERVER";
  info.password = kPw;
  info.transport_flags = flags;
  info.ovwebrtc2_id = token;
}

// The connection strategy on a camera that also has P2P: "ovwebrtc2" (a room the camera is not in: refused
// by the server at once), then "ovwebrtc" (a camera that never answers: the time-out), then P2P; the node is
// marked so the next connect goes straight to P2P.
TEST_F(WebrtcE2e, StrategyFallsBackToP2pAfterTheTimeOut) {
  Attempts attempts;
  DeviceNode node;
  MakeNode(&node, kSilentDid, kTransportP2p | kTransportWebrtc | kTransportWebrtc2, g_world->sig->Token("/empty"));
  const auto t0 = Clock::now();
  EXPECT_EQ(node.ConnectOnly(node.GetP2pClient()), 0);
  const long long ms = MsSince(t0);
  EXPECT_EQ(Attempts::Take(), (std::vector<std::string>{"ovwebrtc2", "ovwebrtc", "rvs"}));
  EXPECT_GE(ms, kOvwebrtcCloudWaitMs - 100);
  EXPECT_LT(ms, kOvwebrtcCloudWaitMs + 8000);  // the library's first start is slow under a sanitizer
  EXPECT_EQ(node.Info().webrtc_failed, 1);
  EXPECT_TRUE(g_world->Logged("camsim webrtc offer did=" + std::string(kSilentDid) + " "));
  EXPECT_TRUE(g_world->Logged("sigsim no member " + std::string(kSilentDid)));
  node.GetP2pClient()->Close();
  // The next connect goes straight to P2P.
  const auto t1 = Clock::now();
  EXPECT_EQ(node.ConnectOnly(node.GetP2pClient()), 0);
  EXPECT_LT(MsSince(t1), 2000);
  EXPECT_EQ(Attempts::Take(), std::vector<std::string>{"rvs"});
  node.GetP2pClient()->Close();
}

// "ovwebrtc2" alone: a camera reachable only through its room plays live video byte for byte and answers
// commands.
TEST_F(WebrtcE2e, SecondTransportOnlyLiveVideoAndCommands) {
  ConnectAndStream("ovwebrtc2:" + g_world->sig->Token("/w2only"), kW2Did, &kOvwebrtc2Transport);
  EXPECT_TRUE(g_world->Logged("camsim webrtc offer did=" + std::string(kW2Did) + " id="));
  EXPECT_TRUE(g_world->Logged("via=webrtc-webrtc2"));
  KivoP2pClose(s_);
  s_ = nullptr;
  // Through the strategy, on a camera with every transport: one connect, the second transport's.
  Attempts attempts;
  DeviceNode node;
  MakeNode(&node, kDid, kTransportP2p | kTransportWebrtc | kTransportWebrtc2, g_world->sig->Token("/cam"));
  EXPECT_EQ(node.ConnectOnly(node.GetP2pClient()), 0);
  EXPECT_EQ(Attempts::Take(), std::vector<std::string>{"ovwebrtc2"});
  EXPECT_EQ(node.Info().webrtc_failed, 0);
  node.GetP2pClient()->Close();
}

TEST_F(WebrtcE2e, SecondTransportThroughTurnOnly) {
  ASSERT_TRUE(g_world->StartTurn()) << g_world->turn.Output();
  OvWebrtcSetRelayOnly(true);  // both ends: relayed candidates only (the room hands out the TURN server)
  ConnectAndStream("ovwebrtc2:" + g_world->sig->Token("/w2only"), kW2Did, &kOvwebrtc2Transport);
  // Both ends took a relay address.
  EXPECT_GE(g_world->TurnAllocations(), 2u) << g_world->turn.Output();
}

// A camera in its room that never answers: the connect ends after its bounded wait and the strategy goes on
// to P2P; a room the server does not know can never work (-10003 at once).
TEST_F(WebrtcE2e, SecondTransportCameraThatNeverAnswersFallsBack) {
  Attempts attempts;
  DeviceNode node;
  MakeNode(&node, kSilentDid, kTransportP2p | kTransportWebrtc2, g_world->sig->Token("/silent"));
  const auto t0 = Clock::now();
  EXPECT_EQ(node.ConnectOnly(node.GetP2pClient()), 0);
  const long long ms = MsSince(t0);
  EXPECT_EQ(Attempts::Take(), (std::vector<std::string>{"ovwebrtc2", "rvs"}));
  EXPECT_GE(ms, kSignal2OpenWaitMs - 100);
  EXPECT_LT(ms, kSignal2OpenWaitMs + 6000);
  EXPECT_EQ(node.Info().webrtc_failed, 0);  // set by "ovwebrtc" failures only
  EXPECT_TRUE(g_world->Logged("via=webrtc2 (not answered)"));
  node.GetP2pClient()->Close();

  const auto t1 = Clock::now();
  EXPECT_EQ(KivoP2pConnect2(("ovwebrtc2:" + g_world->sig->Token("/nowhere")).c_str(), kSilentDid, 0, &s_),
            KIVO_ERR_UNSUPPORTED);
  EXPECT_LT(MsSince(t1), 2000);
  EXPECT_EQ(s_, nullptr);
}

// Interop with werift, a WebRTC stack we did not write. A werift client offers to camsim's LAN WebSocket:
// the device link runs over its channels (password, features, live video byte for byte, talkback).
TEST_F(WebrtcE2e, WeriftClientAgainstCamsimOnTheLan) {
  static const TransportOps* const list[] = {&werift_transport::kOps};
  kivo::SetTransportList(list, 1);
  ConnectAndStream("werift:ws://127.0.0.1:" + std::to_string(kLanPort), kDid, &werift_transport::kOps);
  EXPECT_TRUE(g_world->Logged("camsim webrtc offer did=" + std::string(kDid)));
  EXPECT_TRUE(g_world->Logged("via=lan use_dtls=1"));
  Talk(g_world->dir.path() + "/talk.alaw");
  KivoP2pClose(s_);
  s_ = nullptr;
  kivo::SetTransportList(nullptr, 0);
}

// Our client over "ovwebrtc" on the LAN against a werift device fronting camsim's device link: werift takes
// every candidate we send (the mid of our offer is the sdpMid they carry) and the link works as above.
TEST_F(WebrtcE2e, OurClientAgainstAWeriftDevice) {
  constexpr char kWDid[] = "VLM-WRTC-000005";
  const int port = nettest::FreePort();
  auto device = std::make_shared<WeriftPeer>();
  ASSERT_TRUE(device->Start({"device", "--port", std::to_string(port), "--did", kWDid}));
  ASSERT_TRUE(nettest::WaitForPort(port, 10000));
  std::string why;
  camsim::Config c;
  c.cameras = {{kWDid, kPw}};
  c.video = {g_world->video};
  c.p2p = false;
  c.talk_out = g_world->dir.path() + "/werift_talk.alaw";
  camsim::Simulator cam(c, g_world->Printer());
  ASSERT_TRUE(cam.Start(&why)) << why;

  ovwebrtcSetLanPort(port);
  const int r = KivoP2pConnect2(R"(ovwebrtc:{"ip":"127.0.0.1"})", kWDid, 0, &s_);
  ovwebrtcSetLanPort(0);
  ASSERT_EQ(r, 0);
  ASSERT_FALSE(device->WaitControl(R"("event":"open")", 10000).empty());
  // werift takes our candidates (they may come after the channels opened) and refuses none.
  EXPECT_FALSE(device->WaitControl(R"("result":"added")", 5000).empty());
  EXPECT_EQ(device->WaitControl(R"("result":"refused")", 0), "");
  ASSERT_TRUE(cam.Adopt(kWDid, std::make_unique<WeriftLink>(device), "via=werift"));
  Exercise();
  Talk(c.talk_out);
  KivoP2pClose(s_);
  s_ = nullptr;
  cam.Stop();
}

// Candidates that reach the camera before the call (another path may be faster) are kept until the call
// comes, then applied.
TEST_F(WebrtcE2e, CamsimKeepsCandidatesThatComeBeforeTheCall) {
  struct Out {
    std::mutex mu;
    std::string offer;
    std::vector<std::string> candidates;
  } out;
  OvPeerConnection pc = OvWebrtcCreatePeerConnection(1, nullptr, 0);
  ASSERT_NE(pc, nullptr);
  OvWebrtcSetSendMsg(
      pc,
      [](OvPeerConnection, void* user, const char* kind, const char* bytes, int length) {
        auto* o = static_cast<Out*>(user);
        std::lock_guard<std::mutex> g(o->mu);
        (std::strcmp(kind, "offer") == 0 ? o->offer : o->candidates.emplace_back()).assign(bytes, length);
        return 0;
      },
      &out);
  OvWebrtcStartOffer(pc);
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(out.mu);
    return !out.offer.empty() && !out.candidates.empty();
  }, 5000));
  OvWebrtcSetSendMsg(pc, nullptr, nullptr);
  WsConn* ws = nullptr;
  ASSERT_EQ(WsCltCreateEx(("ws://127.0.0.1:" + std::to_string(kLanPort)).c_str(), nullptr, &ws, 1500, 0), 0);
  const std::string id = MakeReqId();
  std::vector<std::string> frames;
  for (const std::string& c : out.candidates) frames.push_back(BuildCandidateEvent("u", kDid, id.c_str(), c.c_str()));
  frames.push_back(BuildCallEvent("u", kDid, id.c_str(), 1, out.offer.data(), out.offer.size()));
  for (const std::string& f : frames) ASSERT_GT(WsConnSend(ws, kWsText, f.data(), static_cast<int>(f.size()), 1000), 0);
  // The camera's answer and candidates, until the channels open.
  const auto end = Clock::now() + std::chrono::seconds(8);
  bool open = false;
  while (!(open = OvWebrtcGetEventHandle(pc)->Wait(0)) && Clock::now() < end) {
    WsFrame f{};
    if (WsConnRecv(ws, 100, &f) != 1 || f.opcode != kWsText) continue;
    cJSON* ev = nullptr;
    if (ParseLanFrame(reinterpret_cast<const char*>(f.payload), f.length, &ev) != 1) continue;
    SignalingMessage m;
    if (ParseSignalingEvent(ev, &m) == 0 && m.id == id) {
      if (m.type == "answer") OvWebrtcSetRemoteDescription(pc, 1, m.sdp.c_str());
      if (m.type == "candidate") OvWebrtcAddCandidate(pc, "0", 0, m.candidate.c_str());
    }
    cJSON_Delete(ev);
  }
  EXPECT_TRUE(open);
  EXPECT_TRUE(g_world->Logged("camsim webrtc candidates ahead of the offer id=" + id + " n=" +
                              std::to_string(out.candidates.size())));
  WsConnFree(ws);
  OvWebrtcDestroyPeerConnection(pc);
}

TEST_F(WebrtcE2e, CameraGoneMidStreamEndsTheReaders) {
  // A camera of its own, so the shared one keeps serving.
  std::string why;
  camsim::Config c;
  c.cameras = {{"VLM-WRTC-000003", kPw}};
  c.video = {g_world->video};
  c.p2p = false;
  auto cam = std::make_unique<camsim::Simulator>(c, g_world->Printer());
  ASSERT_TRUE(cam->Start(&why)) << why;
  camsim::WebrtcConfig w;
  w.lan_port = kLanPort + 2;
  auto side = std::make_unique<camsim::WebrtcSide>(cam.get(), std::vector<std::string>{"VLM-WRTC-000003"}, w,
                                                   g_world->Printer());
  ASSERT_TRUE(side->Start(&why)) << why;
  ovwebrtcSetLanPort(kLanPort + 2);
  ASSERT_EQ(KivoP2pConnect2(R"(ovwebrtc:{"ip":"127.0.0.1"})", "VLM-WRTC-000003", 0, &s_), 0);
  ovwebrtcSetLanPort(0);
  ASSERT_EQ(KivoP2pVerifyPassword(s_, kPw), 0);
  Frames frames;
  ASSERT_EQ(KivoP2pStartVideo(s_, 0, Frames::Cb, &frames), 0);
  ASSERT_TRUE(WaitFor([&] { return frames.Count() >= 10; }, 10000));
  const auto t0 = Clock::now();
  cam->Stop();  // the session closes its peer connection
  ASSERT_TRUE(WaitFor([&] { return KivoP2pIsAlive(s_) == 0; }, 5000));
  // The live reader learns of the end rather than waiting forever.
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(frames.mu);
    return frames.errors > 0;
  }, 5000));
  EXPECT_LT(MsSince(t0), 6000);
  KivoP2pClose(s_);
  s_ = nullptr;
  side->Stop();
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("VELMORA_WEBRTC_LOCAL_IP", "127.0.0.1", 1);
  KivoP2pInit();
  World world;
  g_world = &world;
  if (!world.Start() && world.error.empty()) world.error = "the test world did not start";
  const int r = RUN_ALL_TESTS();
  world.Stop();
  g_world = nullptr;
  KivoP2pDeinit();
  return r;
}
