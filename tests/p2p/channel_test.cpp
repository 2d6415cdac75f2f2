// The reliable channels of established sessions: the sequence arithmetic and
// sorted queues, two sessions back to back (UDP and TCP), partial reads,
// closes and their endings, what a hostile peer sends, and the switch of a
// relayed session to a direct path.
#include "p2p/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "p2p/bytes.h"
#include "p2p/cipher.h"
#include "tests/p2p/rdv_fixture.h"
#include "tests/p2p/session_pair.h"
#include "tools/rdvsim/relay.h"

using namespace p2ptest;
using p2p::g_rvs;

namespace {

// --- Sequence arithmetic and queues -----------------------------------------

TEST(p2pSeq, DistanceCompareAndGapOnTheCircle) {
  struct Case {
    uint16_t a, b;
    int32_t dist;  // a - b folded
    int cmp;
    uint16_t gap;
  } cases[] = {
      {5, 5, 0, 0, 0},
      {6, 5, 1, 1, 1},
      {5, 6, -1, -1, 1},
      {0, 65535, 1, 1, 1},
      {65535, 0, -1, -1, 1},
      {100, 65500, 136, 1, 136},
      {0x8000, 0, 0x8000, 1, 0x8000},
      {0, 0x8001, 0x7FFF, 1, 0x7FFF},
      {0x7FFF, 0, 0x7FFF, 1, 0x7FFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.a) + " vs " + std::to_string(c.b));
    EXPECT_EQ(RVP_SeqDistance(c.a, p2p::kSeqModulus, c.b), c.dist);
    EXPECT_EQ(RVP_SeqCmp16(c.a, c.b), c.cmp);
    EXPECT_EQ(RVP_SeqGap16(c.a, c.b), c.gap);
  }
}

std::vector<uint32_t> Seqs(const RVP_PacketQueue& q) {
  std::vector<uint32_t> out;
  for (RVP_Packet* p = q.head; p; p = p->next) out.push_back(p->seq);
  return out;
}

TEST(p2pSeq, QueuesKeepTheCircularOrder) {
  RVP_PacketQueue q;
  RVP_QueueInit(&q);
  // Across the wrap, in any arrival order, from both ends.
  for (uint32_t s : {65534u, 1u, 65535u, 0u, 3u, 65533u, 2u})
    EXPECT_EQ(RVP_QueueInsert(RVP_PacketNew(4, s), &q), 1);
  const uint32_t far = (65533 + 21846) % 65536, edge = (65533 + 21845) % 65536;
  EXPECT_EQ(Seqs(q), (std::vector<uint32_t>{65533, 65534, 65535, 0, 1, 2, 3}));
  EXPECT_EQ(q.count, 7u);
  EXPECT_EQ(q.bytes, 28u);
  // A duplicate is freed (ASan would see a leak otherwise) and counted 0.
  EXPECT_EQ(RVP_QueueInsert(RVP_PacketNew(4, 0), &q), 0);
  EXPECT_EQ(RVP_QueueInsert(RVP_PacketNew(4, 65535), &q), 0);
  // More than a third of the circle away from the ends is refused.
  EXPECT_EQ(RVP_QueueInsert(RVP_PacketNew(4, far), &q), -1);
  EXPECT_EQ(RVP_QueueInsert(RVP_PacketNew(4, 3 - 21846 + 65536), &q), -1);
  EXPECT_EQ(RVP_QueueInsert(RVP_PacketNew(4, edge), &q), 1);
  EXPECT_EQ(q.count, 8u);
  ASSERT_NE(RVP_QueueFind(&q, 65535), nullptr);
  EXPECT_EQ(RVP_QueueFind(&q, 4), nullptr);
  RVP_Packet* p = RVP_QueueRemove(&q, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->seq, 0u);
  RVP_PacketFree(p);
  EXPECT_EQ(RVP_QueueRemove(&q, 0), nullptr);
  p = RVP_QueuePop(&q);
  EXPECT_EQ(p->seq, 65533u);
  RVP_PacketFree(p);
  EXPECT_EQ(Seqs(q), (std::vector<uint32_t>{65534, 65535, 1, 2, 3, edge}));
  EXPECT_EQ(q.bytes, 24u);
  RVP_QueueFreeAll(&q);
  EXPECT_EQ(q.count, 0u);
  EXPECT_EQ(q.head, nullptr);
}

// --- Two sessions back to back --------------------------------------------

using p2pChannels = PairTest;

TEST_F(p2pChannels, EveryByteOnceAndInOrderOnAllChannelsAcrossTheWrap) {
  int a, b;
  Direct(&a, &b);
  FirstSeq(a, b, 65400);  // every channel wraps within the first 256 packets
  ExchangeAll(a, b, 256 * 1024, 60000);
  int w = -1, r = -1;
  for (int ch = 0; ch < p2p::kChannels; ++ch) {
    ASSERT_TRUE(
        WaitUntil([&] { return RVS_Check_Buffer(a, static_cast<char>(ch), &w, &r) == 0 && w == 0; }, 10000));
    EXPECT_EQ(r, 0) << "nothing more than was sent arrived";
  }
  RVS_SessionInfo info;
  ASSERT_EQ(RVS_Check(a, &info), 0);
  EXPECT_EQ(info.Role, p2p::kRoleClient);
  EXPECT_EQ(info.Mode, p2p::kModeP2P);
  EXPECT_STREQ(info.DID, "PAIR-004711-TEST");
  EXPECT_EQ(info.RemoteAddr.sin_port, Addr(b).sin_port);
  EXPECT_EQ(info.Skt, S(a).socket);
}

TEST_F(p2pChannels, EveryByteOnceAndInOrderOverTcp) {
  int a, b;
  OverTcp(&a, &b);
  ExchangeAll(a, b, 128 * 1024, 60000);
  RVS_SessionInfo info;
  ASSERT_EQ(RVS_Check(b, &info), 0);
  EXPECT_EQ(info.Mode, p2p::kModeTcpRelay);
  EXPECT_EQ(info.Skt, S(b).tcp_socket.load());
  // The closing side's message reaches the other over the stream.
  EXPECT_EQ(RVS_ForceClose(a), 0);
  EXPECT_TRUE(WaitUntil([&] { return RVS_Check(b, &info) == RVS_ERR_SESSION_CLOSED_REMOTE; }, 10000));
}

TEST_F(p2pChannels, ReadsTakeWhatThereIsAndTheRestLater) {
  int a, b;
  Direct(&a, &b);
  char buf[4096];
  int size = 10;
  ASSERT_EQ(RVS_Write(a, 3, "abcd", 4), 4);
  uint32_t start = p2p::TickMs();
  EXPECT_EQ(RVS_Read(b, 3, buf, &size, 300), RVS_ERR_TIME_OUT);
  EXPECT_GE(p2p::TickMs() - start, 250u) << "the read waits its time for the rest";
  ASSERT_EQ(size, 4);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  ASSERT_EQ(RVS_Write(a, 3, "efghij", 6), 6);
  size = 6;
  ASSERT_EQ(RVS_Read(b, 3, buf, &size, 5000), 0);
  EXPECT_EQ(std::string(buf, 6), "efghij");
  // A write of 1025 bytes: one whole packet and one of a single byte, read
  // back in pieces that cut the packets anywhere.
  std::string big(1025, 0);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  ASSERT_EQ(RVS_Write(a, 3, big.data(), 1025), 1025);
  std::string got;
  for (int piece : {1, 1022, 2}) {
    size = piece;
    ASSERT_EQ(RVS_Read(b, 3, buf, &size, 5000), 0);
    got.append(buf, static_cast<size_t>(piece));
  }
  EXPECT_EQ(got, big);
  // Nothing at all: a time-out with no bytes.
  size = 5;
  EXPECT_EQ(RVS_Read(b, 3, buf, &size, 0), RVS_ERR_TIME_OUT);
  EXPECT_EQ(size, 0);
}

TEST_F(p2pChannels, AFullWindowAndAStalledReaderLoseNothing) {
  int a, b;
  Direct(&a, &b);
  const size_t n = 1024 * 1024;
  ASSERT_TRUE(PumpStream(a, 2, 99, n));
  // The reader waits: the receiving side holds about 0x20000 bytes and takes
  // no more; the sender keeps the rest, a window of it unacknowledged.
  int w = 0, r = 0;
  ASSERT_TRUE(WaitUntil(
      [&] { return RVS_Check_Buffer(b, 2, nullptr, &r) == 0 && r > static_cast<int>(p2p::kRecvQueueLimit); },
      20000));
  p2p::SleepMs(500);
  ASSERT_EQ(RVS_Check_Buffer(b, 2, nullptr, &r), 0);
  EXPECT_LE(r, static_cast<int>(p2p::kRecvQueueLimit) + 2 * p2p::kDataMax);
  ASSERT_EQ(RVS_Check_Buffer(a, 2, &w, nullptr), 0);
  EXPECT_GE(w, static_cast<int>(n) - r - static_cast<int>(p2p::kMaxInFlight) * p2p::kDataMax);
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    const p2p::Channel& c = S(a).channels[2];
    EXPECT_LE(c.send_q.count + c.resend_q.count, p2p::kMaxInFlight);
  }
  EXPECT_EQ(DrainStream(b, 2, 99, n, 60000), n);
  EXPECT_TRUE(WaitUntil([&] { return RVS_Check_Buffer(a, 2, &w, nullptr) == 0 && w == 0; }, 10000));
}

TEST_F(p2pChannels, CloseSendsWhatIsPendingFirst) {
  int a, b;
  Direct(&a, &b);
  const size_t n = 300 * 1024;
  // The peer reads while the close waits for its data to be acknowledged.
  size_t got1 = 0, got6 = 0;
  std::thread reader([&] {
    got1 = DrainStream(b, 1, 7, n, 30000);
    got6 = DrainStream(b, 6, 8, 5000, 30000);
  });
  ASSERT_TRUE(PumpStream(a, 1, 7, n));
  ASSERT_TRUE(PumpStream(a, 6, 8, 5000));
  int w = 0;
  ASSERT_EQ(RVS_Check_Buffer(a, 1, &w, nullptr), 0);
  EXPECT_GT(w, 0) << "data pending at the close";
  ASSERT_EQ(RVS_Close(a), 0) << "returns once everything is acknowledged";
  EXPECT_EQ(RVS_Close(a), -11) << "a second close";
  EXPECT_EQ(RVS_Write(a, 1, "x", 1), -11);
  reader.join();
  EXPECT_EQ(got1, n);
  EXPECT_EQ(got6, 5000u);
  RVS_SessionInfo info;
  ASSERT_TRUE(WaitUntil([&] { return RVS_Check(b, &info) == RVS_ERR_SESSION_CLOSED_REMOTE; }, 10000));
  char buf[8];
  int size = 8;
  EXPECT_EQ(RVS_Read(b, 1, buf, &size, 1000), RVS_ERR_SESSION_CLOSED_REMOTE);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(RVS_Write(b, 1, "x", 1), RVS_ERR_SESSION_CLOSED_REMOTE);
  int r;
  EXPECT_EQ(RVS_Check_Buffer(b, 1, &w, &r), RVS_ERR_SESSION_CLOSED_REMOTE);
  EXPECT_EQ(RVS_Close(b), 0);
  EXPECT_EQ(RVS_Check(b, &info), -11);
}

TEST_F(p2pChannels, BytesThatArrivedBeforeThePeerClosedAreStillRead) {
  int a, b;
  Direct(&a, &b);
  const size_t n = 20 * 1024;
  ASSERT_TRUE(PumpStream(a, 3, 5, n));
  int r = 0;
  ASSERT_TRUE(
      WaitUntil([&] { return RVS_Check_Buffer(b, 3, nullptr, &r) == 0 && r == static_cast<int>(n); }, 10000));
  ASSERT_EQ(RVS_Close(a), 0);
  RVS_SessionInfo info;
  ASSERT_TRUE(WaitUntil([&] { return RVS_Check(b, &info) == RVS_ERR_SESSION_CLOSED_REMOTE; }, 10000));
  int last = 0;
  EXPECT_EQ(DrainStream(b, 3, 5, n + 1, 10000, &last), n);
  EXPECT_EQ(last, RVS_ERR_SESSION_CLOSED_REMOTE);
}

TEST_F(p2pChannels, ASilentPeerEndsTheSessionByTimeOut) {
  Peer silent;
  int a = Open(p2p::kRoleClient);
  Start(a, silent.addr);
  ASSERT_EQ(RVS_Write(a, 0, "hello", 5), 5);
  char buf[8];
  int size = 8;
  // About SessAliveSec / 2 + 1 seconds for the first detection; the read waits longer.
  EXPECT_EQ(RVS_Read(a, 0, buf, &size, 30000), RVS_ERR_SESSION_CLOSED_TIMEOUT);
  EXPECT_EQ(size, 0);
  RVS_SessionInfo info;
  EXPECT_EQ(RVS_Check(a, &info), RVS_ERR_SESSION_CLOSED_TIMEOUT);
  EXPECT_EQ(RVS_Write(a, 0, "x", 1), RVS_ERR_SESSION_CLOSED_TIMEOUT);
  EXPECT_EQ(RVS_Close(a), 0) << "the close does not wait for a peer that is gone";
}

TEST_F(p2pChannels, CloseWakesTheWaitingReadersAndWaitsForThem) {
  int a, b;
  Direct(&a, &b);
  std::atomic<int> read_result{1}, recv_result{1}, left{0};
  std::atomic<int> read_size{-1};
  std::thread reader([&] {
    char buf[16];
    int size = 16;
    read_result = RVS_Read(a, 4, buf, &size, 60000);
    read_size = size;
    ++left;
  });
  std::thread pkt_reader([&] {
    char buf[16];
    int size = 16;
    recv_result = RVS_PktRecv(a, 5, buf, &size, 60000);
    ++left;
  });
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
        return S(a).waiters == 2;
      },
      5000));
  uint32_t start = p2p::TickMs();
  ASSERT_EQ(RVS_Close(a), 0);
  EXPECT_EQ(left.load(), 2) << "the slot is freed only after its readers left";
  EXPECT_LT(p2p::TickMs() - start, 20000u);
  reader.join();
  pkt_reader.join();
  EXPECT_EQ(read_result.load(), RVS_ERR_SESSION_CLOSED_CALLED);
  EXPECT_EQ(read_size.load(), 0);
  EXPECT_EQ(recv_result.load(), RVS_ERR_SESSION_CLOSED_CALLED);
}

TEST_F(p2pChannels, ALateCallNeverTouchesTheNextSessionOfItsSlot) {
  int a, b;
  Direct(&a, &b);
  std::atomic<int> result{1};
  std::thread reader([&] {
    char buf[16];
    int size = 16;
    result = RVS_Read(a, 0, buf, &size, 60000);
  });
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
        return S(a).waiters == 1;
      },
      5000));
  const uint32_t generation = S(a).generation.load();
  std::thread closer([&] { EXPECT_EQ(RVS_ForceClose(a), 0); });
  closer.join();
  reader.join();
  EXPECT_EQ(result.load(), RVS_ERR_SESSION_CLOSED_CALLED);
  EXPECT_NE(S(a).generation.load(), generation);
  // The slot is taken again by a connect that has not handed it out: the old
  // handle reaches nothing there.
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    g_rvs.cursor = (a + g_rvs.max_num_sess.load() - 1) % g_rvs.max_num_sess.load();
  }
  int next = Open(p2p::kRoleClient);
  ASSERT_EQ(next, a);
  char buf[8];
  int size = 8;
  RVS_SessionInfo info;
  EXPECT_EQ(RVS_Read(a, 0, buf, &size, 10), -11);
  EXPECT_EQ(RVS_Write(a, 0, "x", 1), -11);
  EXPECT_EQ(RVS_Check(a, &info), -11);
  EXPECT_EQ(RVS_Close(a), -11);
  EXPECT_EQ(S(next).close_started.load(), 0);
  EXPECT_EQ(S(next).channels[0].window_fill, 0);
  EXPECT_GE(S(next).socket, 0);
}

TEST_F(p2pChannels, UnreliablePackets) {
  int a, b;
  Direct(&a, &b);
  std::string pkt(100, 0);
  for (int i = 0; i < 100; ++i) pkt[static_cast<size_t>(i)] = static_cast<char>(i);
  EXPECT_EQ(RVS_PktSend(a, 7, pkt.data(), 100), 100);
  EXPECT_EQ(RVS_PktSend(a, 7, nullptr, 0), 0);
  std::string full(1240, 'z');
  EXPECT_EQ(RVS_PktSend(a, 7, full.data(), 1240), 1240);
  char buf[1240];
  int size = 10;
  ASSERT_EQ(RVS_PktRecv(b, 7, buf, &size, 5000), 0);
  EXPECT_EQ(size, 10) << "the rest of the packet is dropped";
  EXPECT_EQ(std::string(buf, 10), pkt.substr(0, 10));
  size = 1240;
  ASSERT_EQ(RVS_PktRecv(b, 7, buf, &size, 5000), 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(size)), full);
  size = 10;
  EXPECT_EQ(RVS_PktRecv(b, 7, buf, &size, 50), RVS_ERR_TIME_OUT);
  EXPECT_EQ(size, 0);
}

TEST_F(p2pChannels, WritesBeyondAThirdOfTheSequenceCircleAreKept) {
  Peer quiet;
  int a = Open(p2p::kRoleClient);
  Start(a, quiet.addr);
  std::string chunk(0x200000, 'w');
  const int writes = 11;  // 22528 packets: more than a third of 65536
  for (int i = 0; i < writes; ++i) ASSERT_EQ(RVS_Write(a, 0, chunk.data(), 0x200000), 0x200000);
  ASSERT_EQ(RVS_Write(a, 0, "tail", 4), 4);
  int w = 0;
  ASSERT_EQ(RVS_Check_Buffer(a, 0, &w, nullptr), 0);
  // Every written packet is held; the 4-byte tail is too once a sender round has taken it from the window.
  EXPECT_TRUE(w == writes * 0x200000 || w == writes * 0x200000 + 4) << w;
}

TEST_F(p2pChannels, RunningOutOfMemoryEndsTheSession) {
  int a, b;
  Direct(&a, &b);
  RVP_TestPacketAllocLimit(1);
  std::string data(3000, 'm');
  EXPECT_EQ(RVS_Write(a, 0, data.data(), 3000), RVS_ERR_SESSION_OUT_OF_MEMORY);
  RVP_TestPacketAllocLimit(-1);
  char buf[8];
  int size = 8;
  RVS_SessionInfo info;
  EXPECT_EQ(RVS_Read(a, 0, buf, &size, 10), RVS_ERR_SESSION_OUT_OF_MEMORY);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(RVS_Check(a, &info), RVS_ERR_SESSION_OUT_OF_MEMORY);
  EXPECT_EQ(RVS_Close(a), 0);
}

TEST_F(p2pChannels, AThreadThatCannotStartIsReported) {
  for (const char* name : {"RVP_SessRecv", "RVP_SessSend"}) {
    SCOPED_TRACE(name);
    int a = Open(p2p::kRoleClient);
    p2p::RVP_SessionEstablish(a, p2p::kModeP2P, V4("127.0.0.1", 9));
    RVP_TestFailThreadStart(name);
    EXPECT_EQ(p2p::RVP_SessionStartThreads(a), RVS_ERR_FAIL_TO_CREATE_THREAD);
    EXPECT_FALSE(S(a).recv_thread.Running());
    EXPECT_FALSE(S(a).send_thread.Running());
    EXPECT_EQ(S(a).handed_out.load(), 0);
    p2p::RVP_SessionFree(a);
  }
  RVP_TestFailThreadStart(nullptr);
}

// --- A hostile or broken peer ----------------------------------------------

// A session whose peer is a test socket that writes messages by hand.
class p2pRawPeer : public PairTest {
 protected:
  void SetUp() override {
    PairTest::SetUp();
    a = Open(p2p::kRoleClient);
    Start(a, peer.addr);
    to = Addr(a);
  }
  // A message of the type with the payload, as bytes.
  static std::vector<uint8_t> Raw(uint8_t type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> m(4 + payload.size());
    RVP_MsgHeaderWrite(m.data(), type, static_cast<uint16_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), m.begin() + 4);
    return m;
  }
  static std::vector<uint8_t> DataPayload(uint8_t ch, uint16_t seq, size_t n, uint8_t fill) {
    std::vector<uint8_t> p(4 + n, fill);
    RVP_DataHeadWrite(p.data(), ch, seq);
    return p;
  }
  // The sequences of the acknowledgements that arrive within ms.
  std::vector<uint16_t> Acks(unsigned ms) {
    std::vector<uint16_t> seqs;
    uint32_t start = p2p::TickMs();
    while (p2p::TickMs() - start < ms) {
      std::vector<uint8_t> p;
      if (peer.Recv(20, &p, nullptr, kPairKey) != MsgAck) continue;
      RVP_Msg m;
      if (RVP_MsgParsePayload(MsgAck, p.data(), p.size(), &m) == kMsgOk)
        seqs.insert(seqs.end(), m.seqs, m.seqs + m.count);
    }
    return seqs;
  }
  int ReadBytes(int ch) {
    int r = -1;
    RVS_Check_Buffer(a, static_cast<char>(ch), nullptr, &r);
    return r;
  }
  Peer peer;
  int a = -1;
  sockaddr_in to{};
};

TEST_F(p2pRawPeer, ARepeatedPacketIsAcknowledgedTwiceAndDeliveredOnce) {
  auto msg = Raw(MsgData, DataPayload(0, 0, 5, 'r'));
  peer.SendRaw(to, msg, kPairKey);
  peer.SendRaw(to, msg, kPairKey);
  std::vector<uint16_t> acks = Acks(600);
  EXPECT_EQ(acks, (std::vector<uint16_t>{0, 0}));
  char buf[16];
  int size = 16;
  EXPECT_EQ(RVS_Read(a, 0, buf, &size, 200), RVS_ERR_TIME_OUT);
  EXPECT_EQ(size, 5);
}

TEST_F(p2pRawPeer, DataLongerThanAReadBufferIsRefusedOnReceipt) {
  peer.SendRaw(to, Raw(MsgData, DataPayload(0, 0, p2p::kDataMax + 1, 'L')), kPairKey);
  EXPECT_TRUE(Acks(300).empty()) << "refused, not acknowledged";
  EXPECT_EQ(ReadBytes(0), 0);
  peer.SendRaw(to, Raw(MsgData, DataPayload(0, 0, p2p::kDataMax, 'k')), kPairKey);
  ASSERT_TRUE(WaitUntil([&] { return ReadBytes(0) == p2p::kDataMax; }, 2000));
  std::vector<char> buf(p2p::kDataMax);
  int size = p2p::kDataMax;
  ASSERT_EQ(RVS_Read(a, 0, buf.data(), &size, 1000), 0);
  EXPECT_EQ(buf[0], 'k');
  EXPECT_EQ(buf[p2p::kDataMax - 1], 'k');
}

TEST_F(p2pRawPeer, AnAcknowledgementCountIsCheckedAgainstItsLength) {
  ASSERT_EQ(RVS_Write(a, 1, "abc", 3), 3);
  std::vector<uint8_t> data;
  ASSERT_EQ(peer.Recv(3000, &data, nullptr, kPairKey), MsgData);
  int w = 0;
  ASSERT_EQ(RVS_Check_Buffer(a, 1, &w, nullptr), 0);
  EXPECT_EQ(w, 3);
  // Five entries announced, one present: dropped, the session goes on.
  std::vector<uint8_t> short_ack = {0xD1, 1, 0, 5, 0, 0};
  peer.SendRaw(to, Raw(MsgAck, short_ack), kPairKey);
  p2p::SleepMs(200);
  RVS_SessionInfo info;
  ASSERT_EQ(RVS_Check(a, &info), 0);
  ASSERT_EQ(RVS_Check_Buffer(a, 1, &w, nullptr), 0);
  EXPECT_EQ(w, 3) << "a dropped list acknowledges nothing";
  // A list that fits: the packet is done.
  std::vector<uint8_t> ack = {0xD1, 1, 0, 1, 0, 0};
  peer.SendRaw(to, Raw(MsgAck, ack), kPairKey);
  EXPECT_TRUE(WaitUntil([&] { return RVS_Check_Buffer(a, 1, &w, nullptr) == 0 && w == 0; }, 2000));
  // 82 entries are a protocol violation: closed by the remote side.
  std::vector<uint8_t> overlong(4 + 2 * 82, 0);
  overlong[0] = 0xD1;
  overlong[1] = 1;
  overlong[3] = 82;
  peer.SendRaw(to, Raw(MsgAck, overlong), kPairKey);
  EXPECT_TRUE(WaitUntil([&] { return RVS_Check(a, &info) == RVS_ERR_SESSION_CLOSED_REMOTE; }, 2000));
}

TEST_F(p2pRawPeer, DataOnChannelNineEndsTheSession) {
  peer.SendRaw(to, Raw(MsgData, DataPayload(9, 0, 3, 'n')), kPairKey);
  RVS_SessionInfo info;
  EXPECT_TRUE(WaitUntil([&] { return RVS_Check(a, &info) == RVS_ERR_SESSION_CLOSED_REMOTE; }, 2000));
}

TEST_F(p2pRawPeer, OnlyTheRemoteAddressIsHeard) {
  Peer stranger;
  stranger.SendRaw(to, Raw(MsgData, DataPayload(0, 0, 3, 's')), kPairKey);
  stranger.SendRaw(to, Raw(MsgClose, {}), kPairKey);
  p2p::SleepMs(300);
  RVS_SessionInfo info;
  EXPECT_EQ(RVS_Check(a, &info), 0);
  EXPECT_EQ(ReadBytes(0), 0);
  peer.SendRaw(to, Raw(MsgClose, {}), kPairKey);
  EXPECT_TRUE(WaitUntil([&] { return RVS_Check(a, &info) == RVS_ERR_SESSION_CLOSED_REMOTE; }, 2000));
}

// Over the session's TCP socket, frames written by hand.
using p2pTcpChannels = PairTest;

TEST_F(p2pTcpChannels, DataLongerThanAReadBufferIsRefused) {
  int a, b;
  OverTcp(&a, &b);
  // Take b's socket over: its threads end, the socket stays open.
  int sock = S(b).tcp_socket.exchange(-1);
  S(b).closing.store(1);
  S(b).recv_thread.Join();
  S(b).send_thread.Join();
  fds.push_back(sock);
  auto frame = [&](uint8_t ch, size_t n, char fill) {
    std::vector<uint8_t> p(4 + n, static_cast<uint8_t>(fill));
    RVP_DataHeadWrite(p.data(), ch, 0);
    std::vector<uint8_t> m(4 + p.size());
    RVP_MsgHeaderWrite(m.data(), MsgData, static_cast<uint16_t>(p.size()));
    std::copy(p.begin(), p.end(), m.begin() + 4);
    ASSERT_EQ(RVP_TcpSendFrame(kPairKey, static_cast<int>(m.size()), sock, m.data(), 2000, nullptr), 0);
  };
  frame(0, p2p::kDataMax + 1, 'L');
  frame(0, 10, 'k');
  char buf[16];
  int size = 10;
  ASSERT_EQ(RVS_Read(a, 0, buf, &size, 3000), 0);
  EXPECT_EQ(std::string(buf, 10), std::string(10, 'k'));
  frame(9, 3, 'n');
  RVS_SessionInfo info;
  EXPECT_TRUE(WaitUntil([&] { return RVS_Check(a, &info) == RVS_ERR_SESSION_CLOSED_REMOTE; }, 3000));
}

// A peer floods a channel nobody reads: the stream cannot drop data, so the
// receiving side stops reading the socket at the queue's cap and the sender
// is held back; other channels wait behind it; once read, every byte arrives
// in order. A close while held back is not held up by it.
TEST_F(p2pTcpChannels, AFloodedUnreadChannelHoldsTheSenderBack) {
  int a, b;
  OverTcp(&a, &b);
  const size_t n = 6 * 1024 * 1024;
  ASSERT_TRUE(PumpStream(a, 5, 7, n));
  ASSERT_TRUE(PumpStream(a, 1, 8, 1000));
  auto queued = [&](int ch) {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    return S(b).channels[ch].recv_q.bytes;
  };
  ASSERT_TRUE(WaitUntil([&] { return queued(5) > p2p::kRecvQueueLimit; }, 10000));
  p2p::SleepMs(1000);
  EXPECT_LE(queued(5), p2p::kRecvQueueLimit + p2p::kDataMax);
  int w = 0;
  ASSERT_EQ(RVS_Check_Buffer(a, 5, &w, nullptr), 0);
  EXPECT_GT(w, 0) << "the sender is not held back";
  EXPECT_EQ(DrainStream(b, 5, 7, n, 60000), n);
  EXPECT_EQ(DrainStream(b, 1, 8, 1000, 10000), 1000u);

  ASSERT_TRUE(PumpStream(a, 5, 9, 1024 * 1024));
  ASSERT_TRUE(WaitUntil([&] { return queued(5) > p2p::kRecvQueueLimit; }, 10000));
  const uint32_t start = p2p::TickMs();
  EXPECT_EQ(RVS_ForceClose(b), 0);
  EXPECT_LT(p2p::TickMs() - start, 5000u);
}

// --- Relayed punch ---------------------------------------------------------

// Two sessions through a UDP relay, and a server that starts the punch.
class p2pRelayedPunch : public PairTest {
 protected:
  void SetUp() override {
    PairTest::SetUp();
    rdvsim::RelayConfig rc;
    rc.key = kPairKey;
    relay = std::make_unique<rdvsim::UdpRelay>(rc);
    std::string why;
    ASSERT_TRUE(relay->Start(&why)) << why;
    sockaddr_in servers[3] = {server.addr, {}, {}};
    a = Open(p2p::kRoleClient, servers);
    b = Open(p2p::kRoleDevice, servers);
    S(a).allow_rp2p.store(1);

    // The relay hand-shake, done here by hand: a port and ticket, then both parties ready.
    RVP_Msg m;
    RVP_MsgInit(&m, MsgRelayPortReq);
    ASSERT_GT(RVP_SendMsg(kPairKey, S(a).socket, relay->address(), m), 0);
    ASSERT_TRUE(SessionExpects(a, MsgRelayPortAck, &m));
    sockaddr_in leg = relay->address();
    leg.sin_port = htons(m.port);
    for (int slot : {a, b}) {
      RVP_Msg rdy;
      p2p::RVP_SessionMsg(slot, MsgRelayRdy, &rdy);
      rdy.ticket = m.ticket;
      rdy.role = S(slot).role;
      ASSERT_GT(p2p::RVP_SessionSend(slot, leg, rdy), 0);
    }
    for (int slot : {a, b}) ASSERT_TRUE(SessionExpects(slot, MsgRelayReady, &m));
    Start(a, leg, p2p::kModeUdpRelay);
    Start(b, leg, p2p::kModeUdpRelay);
    ExchangeAll(a, b, 4096, 20000);
    EXPECT_EQ(relay->stats().paired, 1);
  }
  void TearDown() override {
    PairTest::TearDown();
    relay.reset();
  }

  static bool SessionExpects(int slot, uint8_t type, RVP_Msg* out) {
    return ExpectOn(S(slot).socket, type, 3000, out, nullptr, kPairKey);
  }
  // The servers' start (kind 1) to one side.
  void Kind1(int slot) {
    RVP_Msg k;
    p2p::RVP_SessionMsg(slot, MsgRelayedPunch, &k);
    k.punch_kind = 1;
    std::memcpy(k.token, "0123456789abcdef", 16);
    k.addr24[0] = RVP_Addr24FromV4(Addr(a));
    k.addr24[1] = RVP_Addr24FromV4(Addr(b));
    server.Send(Addr(slot), k, kPairKey);
  }
  bool BothSwitch() {
    return WaitUntil(
        [&] {
          return S(a).mode.load() == p2p::kModeRelayedPunch &&
                 S(b).mode.load() == p2p::kModeRelayedPunch;
        },
        5000);
  }
  // After the switch: each side talks to the other's own address, and the
  // data no longer goes through the relay.
  void ExpectDirect() {
    RVS_SessionInfo ia, ib;
    ASSERT_EQ(RVS_Check(a, &ia), 0);
    ASSERT_EQ(RVS_Check(b, &ib), 0);
    EXPECT_EQ(ia.Mode, p2p::kModeRelayedPunch);
    EXPECT_EQ(ia.RemoteAddr.sin_port, Addr(b).sin_port);
    EXPECT_EQ(ib.RemoteAddr.sin_port, Addr(a).sin_port);
    long through_relay = relay->stats().forwarded;
    ExchangeAll(a, b, 64 * 1024, 20000);
    EXPECT_LT(relay->stats().forwarded - through_relay, 20);
  }

  std::unique_ptr<rdvsim::UdpRelay> relay;
  Peer server;
  int a = -1, b = -1;
};

TEST_F(p2pRelayedPunch, ARelayedSessionSwitchesToTheDirectPath) {
  // More than a minute after establishment the servers' start changes nothing.
  const int64_t since = S(b).established_time.load();
  S(b).established_time.store(since - 61);
  Kind1(b);
  p2p::SleepMs(300);
  EXPECT_EQ(S(b).mode.load(), p2p::kModeUdpRelay);
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    EXPECT_EQ(S(b).punch_state, 0);
  }
  S(b).established_time.store(since);

  Kind1(a);
  Kind1(b);
  ASSERT_TRUE(BothSwitch());
  // Both told the servers.
  int reports = 0;
  for (int i = 0; i < 2; ++i) {
    RVP_Msg rep;
    if (server.Expect(MsgRelayedPunchReport, 2000, &rep, nullptr, kPairKey)) {
      ++reports;
      EXPECT_TRUE(rep.handle == static_cast<uint32_t>(a) || rep.handle == static_cast<uint32_t>(b));
    }
  }
  EXPECT_EQ(reports, 2);
  ExpectDirect();
}

// The servers' two starts race the peers' own messages: here one side's
// addresses reach the other before that side's start, and are lost. The other
// side's addresses still lead both to the direct path.
TEST_F(p2pRelayedPunch, AStartThatComesLateStillSwitches) {
  Kind1(a);
  p2p::SleepMs(300);
  Kind1(b);
  ASSERT_TRUE(BothSwitch());
  ExpectDirect();
}

}  // namespace
