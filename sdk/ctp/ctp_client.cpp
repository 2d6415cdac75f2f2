// CTP/1.0 command client.
#include "sdk/ctp/ctp_client.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/tick.h"

namespace {

// Stages of a request node, under the worker's lock.
enum Stage {
  kInPool = 0,
  kQueued,     // waits in the queue with its own bytes
  kSent,       // sent; the worker waits for its reply
  kSignalled,  // its reply is readable (or failed); the caller reads it
  kFinished,   // the caller is done with it
  kAbandoned,  // the caller stopped waiting
};

// Slice in which the worker looks at its stop flag while waiting for a reply.
constexpr int kWorkerSliceMs = 50;
// Most bytes thrown away as stale input before a request.
constexpr int kMaxDiscard = 1 << 20;

void DiscardInput(int sock) {
  char buf[1024];
  int total = 0;
  int n;
  while (total < kMaxDiscard && (n = CtpRecvTimeout(sock, buf, sizeof(buf), 0)) > 0) total += n;
}

int SendAll(CtpConn* conn, const char* data, int length) {
  int n = TcpConnWaitWriteN(&conn->tcp, data, length, conn->timeout_ms);
  return n == length ? 0 : kCtpConnError;
}

void ReturnToPool(CtpWorker* w, CtpRequestNode* node) {
  node->stage = kInPool;
  node->bytes.clear();
  node->data = nullptr;
  w->pool.push_back(node);
  w->pool_event.Set();
}

// A client id goes back into a header line: no control characters.
bool UsableClientId(const char* id) {
  if (!*id) return false;
  for (const char* p = id; *p; ++p)
    if (static_cast<unsigned char>(*p) < ' ' || *p == 0x7f) return false;
  return true;
}

uint32_t CtpWorkerThread(CtpWorker* w) {
  std::unique_lock<std::mutex> lk(w->lock);
  CtpConn* conn = w->conn;
  for (;;) {
    w->wake.wait(lk, [&] { return w->stop || !conn->queue.empty(); });
    if (w->stop) break;
    CtpRequestNode* node = conn->queue.front();
    if (node->stage == kQueued) {
      // Its turn: the previous reply has been read, whatever is left of it goes.
      DiscardInput(conn->tcp.socket);
      if (SendAll(conn, node->data, node->length) != 0) node->result_flags = kCtpNodeError;
      node->stage = kSent;
    }
    if (node->stage == kSent && node->result_flags == 0) {
      uint64_t start = platform::GetTickCount64();
      int r = 0;
      while (!w->stop && node->stage == kSent) {
        int left = node->timeout_ms - static_cast<int>(platform::GetTickCount64() - start);
        if (left <= 0) break;
        lk.unlock();
        r = SockWaitReadable(conn->tcp.socket, left < kWorkerSliceMs ? left : kWorkerSliceMs);
        lk.lock();
        if (r != 0) break;
      }
      if (node->stage == kSent) node->result_flags = r > 0 ? kCtpNodeReadable : r < 0 ? kCtpNodeError : 0;
    }
    if (node->stage == kSent) {
      node->stage = kSignalled;
      node->done.Set();
      w->wake.wait(lk, [&] { return w->stop || node->stage != kSignalled; });
    }
    if (node->stage == kFinished || node->stage == kAbandoned) {
      conn->queue.pop_front();
      ReturnToPool(w, node);
    }
    if (w->stop) break;
  }
  return 0;
}

// The request through the worker, from a thread other than the worker's.
int ExecuteThroughWorker(CtpConn* conn, const std::string& request, CtpBodyCallback body_cb, void* user,
                         int chunk_cb, std::string* response) {
  CtpWorker* w = conn->worker;
  uint64_t start = platform::GetTickCount64();
  CtpRequestNode* node = nullptr;
  {
    std::unique_lock<std::mutex> lk(w->lock);
    while (w->pool.empty()) {
      int left = conn->timeout_ms - static_cast<int>(platform::GetTickCount64() - start);
      if (left <= 0 || w->stop) return kCtpTimeout;
      lk.unlock();
      w->pool_event.Wait(static_cast<uint32_t>(left));
      lk.lock();
    }
    node = w->pool.back();
    w->pool.pop_back();
    if (!w->pool.empty()) w->pool_event.Set();  // others may take the rest
  }
  node->result_flags = 0;
  node->data = request.data();
  node->length = static_cast<int>(request.size());
  node->timeout_ms = conn->timeout_ms;
  node->flags = kCtpNodeCallerBytes;
  CtpQueueRequest(w, conn, node);

  node->done.Wait(static_cast<uint32_t>(conn->timeout_ms));
  {
    std::lock_guard<std::mutex> g(w->lock);
    if (node->stage != kSignalled) {
      node->stage = kAbandoned;
      w->wake.notify_all();
      return kCtpTimeout;
    }
  }
  int result;
  if (node->result_flags == 0) {
    result = kCtpTimeout;
  } else if (node->result_flags & kCtpNodeError) {
    result = kCtpConnError;
  } else {
    char buffer[kCtpBufferSize];
    int n = CtpRecvTimeout(conn->tcp.socket, buffer, kCtpBufferSize - 1, conn->timeout_ms);
    if (n == 0) {
      CtpNotifyOwner(w, kCtpEventClosed, reinterpret_cast<intptr_t>(conn));
      result = kCtpClosed;
    } else {
      result = CtpReadResponse(conn, buffer, kCtpBufferSize, n, response, body_cb, user, chunk_cb);
    }
  }
  std::lock_guard<std::mutex> g(w->lock);
  node->stage = kFinished;
  w->wake.notify_all();
  return result;
}

}  // namespace

int CtpRecvTimeout(int sock, char* buffer, int size, int timeout_ms) {
  if (sock < 0) return -1;
  int r = SockWaitReadable(sock, timeout_ms);
  if (r == 0) return -2;
  if (r < 0) return -1;
  for (;;) {
    ssize_t n = recv(sock, buffer, static_cast<size_t>(size), 0);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
    return -1;
  }
}

int CtpConnect(CtpConn* conn, const char* host, int port, int timeout_ms) {
  TcpConnClose(&conn->tcp);
  conn->host = host ? host : "";
  int sock = -1;
  if (TcpConnect(host, port, timeout_ms, &sock) != 0) return kCtpConnError;
  conn->tcp.socket = sock;
  return kCtpOk;
}

CtpConn::~CtpConn() { CtpClose(this); }

void CtpClose(CtpConn* conn) {
  if (conn->worker) CtpWorkerStop(conn);
  TcpConnClose(&conn->tcp);
}

std::string CtpMakeHostHeader(const CtpConn* conn, const char* extra) {
  std::string out;
  if (conn->send_host) out = "Host: " + conn->host + "\r\n";
  if (extra) out += extra;
  return out;
}

int CtpReadResponse(CtpConn* conn, char* buffer, int size, int received, std::string* response,
                    CtpBodyCallback body_cb, void* user, int chunk_cb) {
  int sock = conn->tcp.socket;
  CtpReadFn read = [sock](char* buf, int n, int timeout_ms) { return CtpRecvTimeout(sock, buf, n, timeout_ms); };
  CtpRespHeader head;
  int result = CtpParseResponse(read, buffer, size, received, conn->timeout_ms, response, &head, body_cb, user,
                                chunk_cb);
  if (result == kCtpOk && UsableClientId(head.cookie)) {
    std::lock_guard<std::mutex> g(conn->id_lock);
    conn->client_id = head.cookie;
  }
  return result;
}

int CtpExecute(CtpConn* conn, const char* name, std::string_view body, const char* extra,
               CtpBodyCallback body_cb, void* user, int chunk_cb, std::string* response) {
  if (!name || !CtpValidName(name) || body.size() > static_cast<size_t>(kCtpMaxBody)) return kCtpBadArgument;
  std::string headers = CtpMakeHostHeader(conn, extra);
  std::string id;
  if (conn->state < 0) {
    std::lock_guard<std::mutex> g(conn->id_lock);
    id = conn->client_id;
  }
  std::string request = CtpBuildRequest(name, body.data(), static_cast<int>(body.size()),
                                        headers.empty() ? nullptr : headers.c_str(), id.empty() ? nullptr : id.c_str());
  if (request.empty()) return kCtpBadArgument;
  if (response) response->clear();
  if (conn->tcp.socket < 0) return kCtpConnError;

  if (conn->worker && !conn->worker->thread.IsCurrent())
    return ExecuteThroughWorker(conn, request, body_cb, user, chunk_cb, response);

  DiscardInput(conn->tcp.socket);
  if (SendAll(conn, request.data(), static_cast<int>(request.size())) != 0) return kCtpConnError;
  char buffer[kCtpBufferSize];
  int n = CtpRecvTimeout(conn->tcp.socket, buffer, kCtpBufferSize - 1, conn->timeout_ms);
  return CtpReadResponse(conn, buffer, kCtpBufferSize, n, response, body_cb, user, chunk_cb);
}

int CtpBodyFromCommandLine(CtpConn* conn, const char* line, const char* extra, std::string* response) {
  std::string name, body;
  if (!line || !CtpSplitCommandLine(line, &name, &body)) return kCtpBadArgument;
  return CtpExecute(conn, name.c_str(), body, extra, nullptr, nullptr, 0, response);
}

namespace {

int RunPtz(CtpConn* conn, int channel, int built, const std::string& line, std::string* response) {
  if (built != kCtpOk) return built;
  return CtpBodyFromCommandLine(conn, line.c_str(), nullptr, response);
}

bool ChannelOk(const CtpConn* conn, int channel) { return channel >= 0 && channel < conn->channels; }

}  // namespace

int CtpPtzCommand(CtpConn* conn, int channel, CtpPtzAction action, int p1, int p2, std::string* response) {
  if (!ChannelOk(conn, channel)) return kCtpBadChannel;
  std::string line;
  return RunPtz(conn, channel, CtpPtzCommandLine(channel, action, p1, p2, &line), line, response);
}

int CtpPtzCommand(CtpConn* conn, int channel, CtpPtzAction action, int p1, const char* name,
                  std::string* response) {
  if (!ChannelOk(conn, channel)) return kCtpBadChannel;
  std::string line;
  return RunPtz(conn, channel, CtpPtzCommandLine(channel, action, p1, name, &line), line, response);
}

int CtpPtzCommandBytes(CtpConn* conn, int channel, CtpPtzAction action, const uint8_t* bytes, size_t count,
                       std::string* response) {
  if (!ChannelOk(conn, channel)) return kCtpBadChannel;
  std::string line;
  return RunPtz(conn, channel, CtpPtzCommandLineBytes(channel, action, bytes, count, &line), line, response);
}

int CtpPtzCommandText(CtpConn* conn, int channel, CtpPtzAction action, const char* text, std::string* response) {
  if (!ChannelOk(conn, channel)) return kCtpBadChannel;
  std::string line;
  return RunPtz(conn, channel, CtpPtzCommandLineText(channel, action, text, &line), line, response);
}

extern "C" int CtpPtzCtrl(CtpConn* conn, int channel, int action, int p1, int p2) {
  return CtpPtzCommand(conn, channel, action, p1, p2, nullptr);
}

// ---- Worker ----

bool CtpWorkerStart(CtpConn* conn, int pool_size, CtpOwnerCallback owner) {
  if (conn->worker) return false;
  auto* w = new CtpWorker;
  w->conn = conn;
  w->owner = std::move(owner);
  if (pool_size < 1) pool_size = 1;
  for (int i = 0; i < pool_size; ++i) {
    w->nodes.push_back(std::make_unique<CtpRequestNode>());
    w->pool.push_back(w->nodes.back().get());
  }
  conn->worker = w;
  if (!w->thread.Start("CtpWorkerThread", [w] { return CtpWorkerThread(w); })) {
    conn->worker = nullptr;
    delete w;
    return false;
  }
  return true;
}

void CtpWorkerStop(CtpConn* conn) {
  CtpWorker* w = conn->worker;
  if (!w) return;
  {
    std::lock_guard<std::mutex> g(w->lock);
    w->stop = true;
    w->wake.notify_all();
  }
  w->thread.Join();
  conn->queue.clear();
  conn->worker = nullptr;
  delete w;
}

int CtpQueueRequest(CtpWorker* worker, CtpConn* conn, CtpRequestNode* node) {
  {
    std::lock_guard<std::mutex> g(worker->lock);
    if (conn->queue.empty()) {
      DiscardInput(conn->tcp.socket);
      if (SendAll(conn, node->data, node->length) != 0) node->result_flags = kCtpNodeError;
      node->data = nullptr;
      node->length = 0;
      node->stage = kSent;
    } else {
      node->bytes.assign(node->data, static_cast<size_t>(node->length));
      node->data = node->bytes.data();
      node->flags &= ~kCtpNodeCallerBytes;
      node->stage = kQueued;
    }
    node->done.Reset();
    // Replies come in the order the requests went out: the oldest request is at the front.
    conn->queue.push_back(node);
  }
  worker->wake.notify_all();
  return 1;
}

bool CtpNotifyOwner(CtpWorker* worker, uintptr_t wparam, intptr_t lparam) {
  if (worker && worker->owner) return worker->owner(wparam, lparam);
  return false;
}
