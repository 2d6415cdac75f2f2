// The "rvs" transport over our P2P library, initialised at the first connect.
#include "sdk/device/rvs_transport.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "p2p/rvs_api.h"
#include "util/log.h"

namespace {

// The built-in server list, enciphered; its contents are the library's business.
constexpr char kBuiltinInitString[] =
    "ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOPABCDEFGHIJKLMNOPABCDEFGHIJKLMNOPABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP"
    "ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOPABCD";
static_assert(sizeof(kBuiltinInitString) == 133);

constexpr int kSendBufLimit = 61440;
constexpr int kSendBufScale = 81920;

std::atomic<bool> g_rvs_inited{false};
std::mutex g_init_mu;  // initialisation and de-initialisation
std::mutex g_table_mu;
RvsApiTable g_api{};
std::mutex g_init_text_mu;
std::string g_init_text = kBuiltinInitString;

using CheckFn = int (*)(int, RVS_SessionInfo*);

RvsApiTable FilledTable() {
  RvsApiTable t{};
  t.GetAPIVersion = RVS_GetAPIVersion;
  t.GetAPIInformation = RVS_GetAPIInformation;
  t.QueryDID = RVS_QueryDID;
  t.Initialize = RVS_Initialize;
  t.DeInitialize = RVS_DeInitialize;
  t.NetworkDetect = reinterpret_cast<void*>(RVS_NetworkDetect);
  t.NetworkDetectByServer = reinterpret_cast<void*>(RVS_NetworkDetectByServer);
  t.Share_Bandwidth = RVS_Share_Bandwidth;
  t.Listen = RVS_Listen;
  t.Listen_Break = RVS_Listen_Break;
  t.LoginStatus_Check = RVS_LoginStatus_Check;
  t.Connect = RVS_Connect;
  t.ConnectByServer = RVS_ConnectByServer;
  t.Connect_Break = RVS_Connect_Break;
  t.Check = reinterpret_cast<void*>(RVS_Check);
  t.Close = RVS_Close;
  t.ForceClose = RVS_ForceClose;
  t.Write = RVS_Write;
  t.Read = RVS_Read;
  t.Check_Buffer = RVS_Check_Buffer;
  t.PktSend = RVS_PktSend;
  t.PktRecv = RVS_PktRecv;
  return t;
}

RvsApiTable Api() {
  std::lock_guard<std::mutex> g(g_table_mu);
  return g_api;
}

int Check(const RvsApiTable& t, int h, RVS_SessionInfo* info) {
  if (!t.Check) return RVS_ERR_NOT_INITIALIZED;
  return reinterpret_cast<CheckFn>(t.Check)(h, info);
}

// A query connect (0x79, 0x7F) answers with a value from RVS_QUERY_RESULT_BASE up: no session behind it.
bool IsQueryResult(TransportHandle h) { return h >= RVS_QUERY_RESULT_BASE; }

}  // namespace

void rvsSetInitString(const char* init) {
  std::lock_guard<std::mutex> g(g_init_text_mu);
  g_init_text = init && *init ? init : kBuiltinInitString;
}

void rvsFormatInitParam(char* out, int size) {
  int alive = 8;
  if (const char* env = std::getenv("RVS_SESS_ALIVE_SEC"); env && *env) alive = std::atoi(env);
  std::lock_guard<std::mutex> g(g_init_text_mu);
  std::snprintf(out, static_cast<size_t>(size), "{\"InitString\":\"%s\", \"SessAliveSec\":%d}", g_init_text.c_str(),
                alive);
}

int _rvsInit() {
  const RvsApiTable t = FilledTable();
  {
    std::lock_guard<std::mutex> g(g_table_mu);
    g_api = t;
  }
  const unsigned v = RVS_GetAPIVersion();
  LogPrintf(kLogInfo, nullptr, "_rvsInit", "P2P API Version: %d.%d.%d.%d\n", (v >> 24) & 0xFF, (v >> 16) & 0xFF,
            (v >> 8) & 0xFF, v & 0xFF);
  char param[512];
  rvsFormatInitParam(param, sizeof(param));
  const int r = t.Initialize(param);
  if (r != 0 && r != RVS_ERR_ALREADY_INITIALIZED)
    LogPrintf(kLogError, nullptr, "_rvsInit", "RVS_Initialize failed!! ret=%d: %s\n", r, rvsErrorText(r));
  return 0;
}

int rvsConnect(const char* server, const char* peer_id, int mode, TransportHandle* out) {
  char did[32] = {};
  const char* id = peer_id ? peer_id : "";
  size_t n = std::strcspn(id, ",");
  if (n > 31) n = 31;
  std::memcpy(did, id, n);
  {
    // Two first connects at once: the second waits until the first has initialised.
    std::lock_guard<std::mutex> g(g_init_mu);
    if (!g_rvs_inited.load()) {
      _rvsInit();
      g_rvs_inited.store(true);
    }
  }
  if (mode == 0) mode = 12;
  const RvsApiTable t = Api();
  int r;
  if (!t.Connect) r = RVS_ERR_NOT_INITIALIZED;
  else if (server && *server) r = t.ConnectByServer(did, static_cast<char>(mode), 0, server);
  else r = t.Connect(did, static_cast<char>(mode), 0);
  if (r < 0) {
    LogPrintf(kLogError, nullptr, "rvsConnect", "connect to %s failed: (%d)%s\n", id, r, rvsErrorText(r));
    return rvsMapError(r);
  }
  *out = r;
  if (IsQueryResult(r)) {
    LogPrintf(kLogInfo, nullptr, "rvsConnect", "query of %s answered %d\n", id, r);
    return 0;
  }
  RVS_SessionInfo info{};
  if (Check(t, r, &info) >= 0) {
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &info.RemoteAddr.sin_addr, ip, sizeof(ip));
    LogPrintf(kLogInfo, nullptr, "rvsConnect", "SID:%d, RemoteAddr=%s:%d, Mode=%s\n", r, ip,
              ntohs(info.RemoteAddr.sin_port), info.Mode ? "RLY" : "P2P");
  }
  return 0;
}

void rvsClose(TransportHandle h) {
  if (IsQueryResult(h)) return;
  const RvsApiTable t = Api();
  if (t.Close) t.Close(static_cast<int>(h));
}

int rvsIsAlive(TransportHandle h) {
  if (IsQueryResult(h)) return 0;
  RVS_SessionInfo info;
  return Check(Api(), static_cast<int>(h), &info) >= 0 ? 1 : 0;
}

int rvsSend(TransportHandle h, int channel, const void* bytes, int length) {
  if (IsQueryResult(h)) return KIVO_ERR_NO_SESSION;
  const RvsApiTable t = Api();
  const int r = t.Write ? t.Write(static_cast<int>(h), static_cast<char>(channel), static_cast<const char*>(bytes), length)
                        : RVS_ERR_NOT_INITIALIZED;
  if (r < 0) {
    LogPrintf(kLogError, nullptr, "rvsSend", "Error %d: %s\n", r, rvsErrorText(r));
    return rvsMapError(r);
  }
  return r;
}

int rvsRecv(TransportHandle h, int channel, void* buffer, int length, int timeout_ms) {
  if (IsQueryResult(h)) return KIVO_ERR_NO_SESSION;
  const RvsApiTable t = Api();
  int size = length;
  const int r = t.Read ? t.Read(static_cast<int>(h), static_cast<char>(channel), static_cast<char*>(buffer), &size,
                                static_cast<unsigned>(timeout_ms < 0 ? 0 : timeout_ms))
                       : RVS_ERR_NOT_INITIALIZED;
  if (r == 0) return size;
  if (r == RVS_ERR_TIME_OUT) return size > 0 ? size : KIVO_ERR_TIMEOUT;
  LogPrintf(kLogError, nullptr, "rvsRecv", "Error %d: %s\n", r, rvsErrorText(r));
  return rvsMapError(r);
}

int rvsCheckSendBuf(TransportHandle h, int /*reserved*/, int bytes, int* load) {
  if (IsQueryResult(h)) return 1;
  const RvsApiTable t = Api();
  long long sum = 0;
  for (int ch = 0; ch <= 6 && t.Check_Buffer; ++ch) {
    int w = 0, rd = 0;
    if (t.Check_Buffer(static_cast<int>(h), static_cast<char>(ch), &w, &rd) == 0) sum += w;
  }
  if (bytes >= kSendBufLimit - sum) return 1;
  if (load) *load = static_cast<int>((bytes + sum) * 100 / kSendBufScale);
  return 0;
}

int rvsSessionInfo(TransportHandle h, TransportSessionInfo* out) {
  *out = TransportSessionInfo{};
  if (IsQueryResult(h)) return 0;
  RVS_SessionInfo info{};
  if (Check(Api(), static_cast<int>(h), &info) >= 0) {
    out->relay = info.Mode != 0;
    out->remote_ip = info.RemoteAddr.sin_addr.s_addr;
    out->remote_port = ntohs(info.RemoteAddr.sin_port);
  }
  return 0;
}

void rvsDeinit() {
  std::lock_guard<std::mutex> g(g_init_mu);
  if (!g_rvs_inited.load()) return;
  const RvsApiTable t = Api();
  if (t.DeInitialize) t.DeInitialize();
  {
    std::lock_guard<std::mutex> g(g_table_mu);
    g_api = RvsApiTable{};
  }
  g_rvs_inited.store(false);
}

const char* rvsErrorText(int result) {
  switch (result) {
    case 0: return "Success";
    case -1: return "API didn't initialized";
    case -2: return "API alread initialized";
    case -3: return "Connection time out, probably the device is off line now";
    case -4: return "Invalid Device ID";
    case -5: return "Invalid Parameter";
    case -6: return "Device is not on line now, nor login in the past 5 minutes";
    case -7: return "Fail to resolve the domain name";
    case -8: return "Prefix of Device ID is not accepted by Server";
    case -10: return "No relay server can provide service";
    case -12: return "Session close remote.";
    case -13: return "Session close timeout.";
    case -16: return "Listen break is called !!";
    case -17: return "Exceed max Session";
    case -18: return "The specified UDP port can not be binded";
    case -19: return "connect break is called";
    case -22: return "Fail to Create Thread !!";
    default: break;
  }
  // One buffer per thread: concurrent callers never see each other's number.
  static thread_local char buf[32];
  std::snprintf(buf, sizeof(buf), "Error: %d", result);
  return buf;
}

int rvsMapError(int result) {
  if (result >= 0) return 0;
  switch (result) {
    case -3: return KIVO_ERR_TIMEOUT;
    case -4:
    case -8: return KIVO_ERR_INVALID_ID;
    case -5: return KIVO_ERR_INVALID_PARAM;
    case -6: return KIVO_ERR_OFFLINE;
    case -7: return KIVO_ERR_RESOLVE;
    case -10: return KIVO_ERR_SERVER;
    case -12: return KIVO_ERR_CLOSED;
    case -13: return KIVO_ERR_SESSION_TIMEOUT;
    case -17: return KIVO_ERR_MAX_CONNECTIONS;
    case -22: return KIVO_ERR_RESOURCE;
    default: break;
  }
  return result >= -22 ? KIVO_ERR_FAILED2 : result;
}

const TransportOps kRvsTransport = {
    "rvs",         rvsConnect,     rvsClose, rvsIsAlive, rvsSend, rvsRecv, rvsCheckSendBuf,
    rvsSessionInfo, nullptr,        rvsDeinit,
};
