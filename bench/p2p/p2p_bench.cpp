// Scrambling speed and the cost of taking in one data message, beside memcpy
// of the same bytes as the floor.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "p2p/cipher.h"
#include "p2p/msg.h"

namespace {

const char kKey[] = "0123456789abcdefghij";

void BM_Memcpy(benchmark::State& st) {
  std::vector<uint8_t> in(static_cast<size_t>(st.range(0)), 0x5A), out(in.size());
  for (auto _ : st) {
    std::memcpy(out.data(), in.data(), in.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(0));
}

void BM_Scramble(benchmark::State& st) {
  std::vector<uint8_t> in(static_cast<size_t>(st.range(0)), 0x5A), out(in.size());
  for (auto _ : st) {
    RVP_Scramble(kKey, in.data(), out.data(), static_cast<uint16_t>(in.size()));
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(0));
}

void BM_Unscramble(benchmark::State& st) {
  std::vector<uint8_t> in(static_cast<size_t>(st.range(0)), 0x5A), out(in.size());
  for (auto _ : st) {
    RVP_Unscramble(kKey, in.data(), out.data(), static_cast<uint16_t>(in.size()));
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(0));
}

std::vector<uint8_t> DataMessage() {
  std::vector<uint8_t> bytes(1024, 0x33);
  RVP_Msg m;
  RVP_MsgInit(&m, MsgData);
  m.channel = 3;
  m.seq = 4711;
  m.data = bytes.data();
  m.data_len = 1024;
  std::vector<uint8_t> out(1100);
  out.resize(static_cast<size_t>(RVP_MsgBuild(m, out.data(), out.size())));
  return out;
}

// Check and parse of a full data message (1028 bytes).
void BM_ParseDataMessage(benchmark::State& st) {
  std::vector<uint8_t> msg = DataMessage();
  RVP_Msg m;
  for (auto _ : st) {
    int r = RVP_MsgParse(msg.data(), msg.size(), &m);
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(m.data);
  }
  st.SetItemsProcessed(st.iterations());
}

// What the receive path does per datagram: unscramble with the packet key, then check and parse.
void BM_UnscrambleAndParseDataMessage(benchmark::State& st) {
  std::vector<uint8_t> plain = DataMessage(), wire(plain.size()), buf(plain.size());
  RVP_Scramble(kKey, plain.data(), wire.data(), static_cast<uint16_t>(plain.size()));
  RVP_Msg m;
  for (auto _ : st) {
    RVP_Unscramble(kKey, wire.data(), buf.data(), static_cast<uint16_t>(wire.size()));
    int r = RVP_MsgParse(buf.data(), buf.size(), &m);
    benchmark::DoNotOptimize(r);
  }
  st.SetItemsProcessed(st.iterations());
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * wire.size()));
}

}  // namespace

BENCHMARK(BM_Memcpy)->Arg(1440);
BENCHMARK(BM_Scramble)->Arg(64)->Arg(1440);
BENCHMARK(BM_Unscramble)->Arg(64)->Arg(1440);
BENCHMARK(BM_ParseDataMessage);
BENCHMARK(BM_UnscrambleAndParseDataMessage);
BENCHMARK_MAIN();
