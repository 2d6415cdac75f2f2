// Push channel client on sockio_thread.
#include "sdk/net/sockio_client.h"

#include <new>
#include <string>

#include "sdk/net/net_io.h"
#include "sdk/net/sockio_packet.h"
#include "util/helpers.h"
#include "util/log.h"

namespace {

int64_t NowSeconds() { return static_cast<int64_t>(NetNowMs() / 1000); }

// Abortive close of the current connection (under the mutex).
void CloseConnection(SockioClient* c) {
  std::lock_guard<std::mutex> lock(c->mutex);
  if (c->connection) {
    SockSetLinger(WsConnGetSocket(c->connection), 1, 0);  // an abortive close
    WsConnFree(c->connection);
    c->connection = nullptr;
  }
  c->state.store(kSockioDisconnected);
}

int Notify(SockioClient* c, int event, int value) { return c->callback(c, event, nullptr, value, c->user); }

}  // namespace

int sockio_thread(SockioClient* c) {
  int interval = 25;  // seconds, until the open packet says otherwise
  int timeout = 5;
  int64_t ping_ref = 0;
  int64_t last_pong = 0;
  int pending = 0;
  uint64_t first_ping_tick = 0;
  std::string sid;

  while (c->running.load()) {
    WsConn* conn;
    {
      std::lock_guard<std::mutex> lock(c->mutex);
      conn = c->connection;
    }
    if (!conn) {
      c->state.store(kSockioConnecting);
      std::string url = c->url;
      if (url.empty()) {
        char buf[1024] = {0};
        if (c->callback(c, kSockioUrlWanted, buf, sizeof(buf), c->user) == 0) {
          buf[sizeof(buf) - 1] = '\0';
          url = buf;
        }
      }
      const bool with_sid = !sid.empty();
      if (with_sid) url += "&sid=" + sid;
      WsConn* ws = nullptr;
      int rc = WsCltCreateEx(url.c_str(), nullptr, &ws, kSockioConnectTimeoutMs, 0);
      if (rc != 0) {
        LogPrintf(kLogError, nullptr, "sockio_thread", "WsCltCreate: %d\n", rc);
        // A server that refuses the old session id (restarted, or the session
        // expired) would refuse it for ever: the next attempt opens a new one.
        if (rc == kNetWsRefused && with_sid) sid.clear();
        c->state.store(kSockioDisconnected);
        Notify(c, kSockioConnectFailed, 0);
        c->wake.Wait(kSockioRetryMs);
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(c->mutex);
        c->connection = ws;
      }
      conn = ws;
      c->state.store(kSockioConnectedState);
      ping_ref = last_pong = NowSeconds();
      pending = 0;
      Notify(c, kSockioConnected, 0);
    }

    // One pass: a ping when one is due, then reads until the pass's wait ends.
    const int64_t now = NowSeconds();
    int64_t wait_s;
    if (now - ping_ref < interval) {
      wait_s = ping_ref + interval - now;
    } else {
      if (timeout >= interval) ping_ref = now;
      if (pending == 0) first_ping_tick = NetNowMs();
      {
        std::lock_guard<std::mutex> lock(c->mutex);
        if (c->connection) WsConnSend(c->connection, kWsText, "2", 1, 1000);
      }
      ++pending;
      wait_s = timeout;
    }
    if (timeout >= interval && now - last_pong >= 2 * static_cast<int64_t>(timeout)) {
      LogPrintf(kLogError, nullptr, "sockio_thread", "pong timedouted.\n");
      CloseConnection(c);
      c->wake.Wait(kSockioRetryMs);
      continue;
    }

    const uint64_t deadline = NetNowMs() + static_cast<uint64_t>(wait_s) * 1000;
    bool got_frame = false;
    bool dropped = false;
    while (c->running.load()) {
      uint64_t t = NetNowMs();
      if (t >= deadline) break;
      int slice = static_cast<int>(deadline - t < 200 ? deadline - t : 200);
      WsFrame f;
      int r = WsConnRecv(conn, slice, &f);
      if (r == kNetTimeout) continue;
      if (r != 1) {
        if (!c->running.load()) break;
        LogPrintf(kLogError, nullptr, "sockio_thread", "WsConnRecv: %d\n", r);
        Notify(c, kSockioLost, 0);
        CloseConnection(c);
        dropped = true;
        break;
      }
      got_frame = true;
      if (f.opcode == kWsClose) {
        LogPrintf(kLogError, nullptr, "sockio_thread", "websock: op=CLOSE\n");
        CloseConnection(c);
        dropped = true;
        break;
      }
      if (f.opcode != kWsText) break;
      SockioPacket pkt;
      switch (SockioParsePacket(reinterpret_cast<const char*>(f.payload), f.length, &pkt)) {
        case kSioOpen:
          SockioApplyOpen(pkt.data, pkt.length, &interval, &timeout, &sid);
          break;
        case kSioClose:
          LogPrintf(kLogError, nullptr, "sockio_thread", "%s %d: socket.io close the transport\n", "sockio_thread", 269);
          break;
        case kSioPong: {
          last_pong = ping_ref = NowSeconds();
          if (pending > 0) Notify(c, kSockioPong, static_cast<int>(NetNowMs() - first_ping_tick));
          pending = 0;
          break;
        }
        case kSioEvent: {
          std::string text(pkt.data, pkt.length);
          c->callback(c, kSockioMessage, text.data(), static_cast<int>(text.size()), c->user);
          break;
        }
        default:
          break;
      }
      break;
    }
    if (dropped) {
      if (c->running.load()) c->wake.Wait(kSockioRetryMs);
      continue;
    }
    if (!c->running.load()) break;
    if (!got_frame && timeout < interval && pending >= 2) {
      LogPrintf(kLogError, nullptr, "sockio_thread", "WsConnRecv: %d\n", kNetTimeout);
      Notify(c, kSockioLost, 0);
      CloseConnection(c);
      c->wake.Wait(kSockioRetryMs);
    }
  }
  {
    std::lock_guard<std::mutex> lock(c->mutex);
    if (c->connection) {
      WsConnFree(c->connection);
      c->connection = nullptr;
    }
  }
  c->state.store(kSockioDisconnected);
  return 0;
}

SockioClient* SockioCltCreate(const char* url, SockioCallback callback, void* user) {
  SockioClient* c = new (std::nothrow) SockioClient;
  if (!c) {
    LogPrintf(kLogError, nullptr, "SockioCltCreate", "out of memory\n");
    return nullptr;
  }
  c->callback = callback;
  c->user = user;
  c->url = url ? url : "";
  c->running.store(1);
  if (!c->thread.Start("sockio_thread", [c] { return static_cast<uint32_t>(sockio_thread(c)); })) {
    LogPrintf(kLogError, nullptr, "SockioCltCreate", "[SockioCltCreate] create sockio_thread failed\n");
    delete c;
    return nullptr;
  }
  return c;
}

int SockioCltSendEvent(SockioClient* client, const char* text, int length, int timeout_ms) {
  std::lock_guard<std::mutex> lock(client->mutex);
  if (!client->connection) return kNetNotConnected;
  WsIovec pieces[2] = {{"42", 2}, {text, length}};
  return WsConnSendV(client->connection, kWsText, pieces, 2, timeout_ms);
}

void SockioCltDestroy(SockioClient* client) {
  if (!client) return;
  client->running.store(0);
  {
    std::lock_guard<std::mutex> lock(client->mutex);
    if (client->connection) WsConnShutdown(client->connection);
  }
  client->wake.Set();
  JoinThread(client->thread);
  if (client->connection) WsConnFree(client->connection);
  delete client;
}
