// A session without threads over the in-memory transport, for the fuzz
// targets: the input is what the device sent on one channel.
#pragma once

#include "sdk/device/kivo_session.h"
#include "tests/sdk/device/fake_transport.h"

namespace fuzzdev {

struct Rig {
  fake::Conn conn;
  KivoSession s;
  explicit Rig(int channel, const uint8_t* data, size_t size) {
    conn.drain_dead = true;
    conn.Push(channel, data, size);
    std::lock_guard<std::mutex> g(fake::g_mu);
    s.transport = fake::g_next++;
    fake::g_conns[s.transport] = &conn;
    s.ops = &fake::kOps;
  }
  ~Rig() {
    std::lock_guard<std::mutex> g(fake::g_mu);
    fake::g_conns.erase(s.transport);
  }
};

}  // namespace fuzzdev
