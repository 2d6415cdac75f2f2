// CTP/1.0 command client: text commands over a TCP connection to a device, the
// pan-tilt command builders, and an optional worker that owns the socket and
// serves the requests of several threads in the order they were queued.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event.h"
#include "platform/thread.h"
#include "sdk/ctp/ctp_message.h"
#include "sdk/net/tcp_conn.h"

struct CtpWorker;
struct CtpRequestNode;

// Size of the buffer a response is read into.
constexpr int kCtpBufferSize = 5000;
// Event told to the owner when a reply the worker saw coming turned out to be the peer's close.
constexpr uintptr_t kCtpEventClosed = 218;

// One connection to a device. Without a worker it belongs to the calling thread.
struct CtpConn {
  CtpConn() = default;
  CtpConn(const CtpConn&) = delete;
  CtpConn& operator=(const CtpConn&) = delete;
  ~CtpConn();  // CtpClose

  std::string host;        // sent in a "Host" header when send_host is set
  bool send_host = false;
  TcpConn tcp{-1, nullptr, {}, 0};
  int channels = 1;        // video channels: PTZ channels run from 0 to channels - 1
  int timeout_ms = 5000;   // reply time-out
  int state = 0;           // the client id is sent while this is negative
  std::string client_id;   // from the "Cookie" header of a 200 response; under id_lock
  std::mutex id_lock;
  CtpWorker* worker = nullptr;
  std::deque<CtpRequestNode*> queue;  // requests queued for the worker, oldest first; under its lock
};

// Connects conn to host:port within timeout_ms (the host is kept for the Host header). 0 or kCtpConnError.
int CtpConnect(CtpConn* conn, const char* host, int port, int timeout_ms);
// Stops the worker (if any) and closes the socket.
void CtpClose(CtpConn* conn);

// The extra header text, preceded by "Host: <host>\r\n" when the connection sends it.
std::string CtpMakeHostHeader(const CtpConn* conn, const char* extra);

// Sends command name with body (option lines, may be empty) and extra headers (null: none) and reads the
// reply. The status line's rest, or the body when there is one and no callback, is left in *response (may
// be null). Returns the result code (CtpResult; other statuses of 100 to 999 as they came, 503 with its
// retry-after seconds times 65536 added).
int CtpExecute(CtpConn* conn, const char* name, std::string_view body, const char* extra,
               CtpBodyCallback body_cb, void* user, int chunk_cb, std::string* response);

// Reads a response whose first `received` bytes are in buffer (see CtpParseResponse); a 200 response with a
// "Cookie" header keeps its value as the client id.
int CtpReadResponse(CtpConn* conn, char* buffer, int size, int received, std::string* response,
                    CtpBodyCallback body_cb, void* user, int chunk_cb);

// Splits "name -opt value ..." into the command and its option lines, then CtpExecute.
int CtpBodyFromCommandLine(CtpConn* conn, const char* line, const char* extra, std::string* response);

// "ptzctrl" commands, one call per parameter shape (see CtpPtzCommandLine). kCtpBadChannel for a channel
// outside 0 to channels - 1, kCtpBadArgument for a shape the action does not take.
int CtpPtzCommand(CtpConn* conn, int channel, CtpPtzAction action, int p1, int p2,
                  std::string* response = nullptr);
int CtpPtzCommand(CtpConn* conn, int channel, CtpPtzAction action, int p1, const char* name,
                  std::string* response = nullptr);
int CtpPtzCommandBytes(CtpConn* conn, int channel, CtpPtzAction action, const uint8_t* bytes, size_t count,
                       std::string* response = nullptr);
int CtpPtzCommandText(CtpConn* conn, int channel, CtpPtzAction action, const char* text,
                      std::string* response = nullptr);

extern "C" {
// C entry point of CtpPtzCommand with numbers.
int CtpPtzCtrl(CtpConn* conn, int channel, int action, int p1, int p2);
}

// recv after waiting for the socket to be readable: the count, 0 when the peer closed, -2 when nothing
// arrived within timeout_ms, -1 on failure.
int CtpRecvTimeout(int sock, char* buffer, int size, int timeout_ms);

// ---- Worker ----

// The owner's callback: (wparam, lparam) of an event; true when it handled it.
using CtpOwnerCallback = std::function<bool(uintptr_t wparam, intptr_t lparam)>;

// Result flags of a request node.
enum { kCtpNodeReadable = 1, kCtpNodeError = 4 };
// Flag word of a request node: its bytes belong to the caller.
enum { kCtpNodeCallerBytes = 8 };

// One request handed to the worker.
struct CtpRequestNode {
  int result_flags = 0;
  std::string bytes;       // the node's own copy, when it could not be sent at once
  const char* data = nullptr;  // the request (the caller's bytes, or bytes)
  int length = 0;
  int timeout_ms = 0;
  platform::Event done{false};  // set when the node's reply is readable (or failed)
  int flags = 0;
  int stage = 0;           // worker-internal, under the worker's lock
};

struct CtpWorker {
  std::mutex lock;
  std::vector<std::unique_ptr<CtpRequestNode>> nodes;
  std::vector<CtpRequestNode*> pool;
  platform::Event pool_event{false};  // set when a node is returned to the pool
  std::condition_variable wake;       // the worker's wake-up: queue, caller or stop changed
  platform::Thread thread;
  CtpOwnerCallback owner;
  CtpConn* conn = nullptr;
  bool stop = false;
};

// Gives conn a worker with a pool of pool_size request nodes (at least 1) and the owner's callback.
// False when the thread cannot start or a worker is already there.
bool CtpWorkerStart(CtpConn* conn, int pool_size, CtpOwnerCallback owner);
// Stops and joins the worker. No caller may still be inside CtpExecute on the connection.
void CtpWorkerStop(CtpConn* conn);

// Queues node for the worker: sent at once when nothing is queued, else copied and sent in turn. 1.
int CtpQueueRequest(CtpWorker* worker, CtpConn* conn, CtpRequestNode* node);
// Tells the owner of an event; true when its callback handled it.
bool CtpNotifyOwner(CtpWorker* worker, uintptr_t wparam, intptr_t lparam);
