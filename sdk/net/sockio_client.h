// Push channel client: socket.io over Engine.IO 3, on a WebSocket from the
// start. One thread, sockio_thread, connects, pings, hands events to the
// owner's callback and reconnects after any failure until destroyed.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "platform/event.h"
#include "platform/thread.h"
#include "sdk/net/ws_client.h"

struct SockioClient;

// Callback calls: a status event (text null, value as listed), a message
// (kSockioMessage: text is the JSON array after "42"/"45", NUL-terminated,
// value its length), or kSockioUrlWanted (text is a buffer of value bytes to
// fill with the URL; return 0 when filled). Runs on sockio_thread; it must not
// call SockioCltDestroy.
enum SockioEvent {
  kSockioMessage = 0,
  kSockioConnected = 1,      // value 0
  kSockioLost = 2,           // value 0
  kSockioUrlWanted = 3,      // only for a client made without a URL
  kSockioConnectFailed = 4,  // value 0
  kSockioPong = 5,           // value: round-trip time in ms
};
typedef int (*SockioCallback)(SockioClient* client, int event, char* text, int value, void* user);

enum SockioState { kSockioDisconnected = 0, kSockioConnecting = 1, kSockioConnectedState = 2 };

// Pause after a failed attempt or a drop before the next connect.
inline constexpr int kSockioRetryMs = 5000;
inline constexpr int kSockioConnectTimeoutMs = 8000;

struct SockioClient {
  WsConn* connection = nullptr;  // read and written under mutex
  SockioCallback callback = nullptr;
  void* user = nullptr;
  platform::Thread thread;       // sockio_thread
  std::mutex mutex;
  platform::Event wake{false};   // auto-reset; ends the pauses between attempts early
  std::atomic<int> state{kSockioDisconnected};
  std::atomic<int> running{0};
  std::string url;
};

// A new client with its thread started, or null (logged). url may be null
// (the callback is then asked with kSockioUrlWanted).
SockioClient* SockioCltCreate(const char* url, SockioCallback callback, void* user);
// Sends the text frame "42" + text: the write result, or kNetNotConnected.
int SockioCltSendEvent(SockioClient* client, const char* text, int length, int timeout_ms);
// Stops and joins the thread and frees everything.
void SockioCltDestroy(SockioClient* client);
int sockio_thread(SockioClient* client);
