/* The exported interface of the P2P connection library. Every call exists
 * under the prefix RVS_ and, with the same arguments and behaviour, under the
 * prefix rvlib_RVP_. Results are RVS_ErrorCode values (a connect or listen
 * returns the session handle on success). */
#ifndef P2P_RVS_API_H
#define P2P_RVS_API_H

#include <netinet/in.h>
#include <stdint.h>

#define RVS_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  RVS_ERR_SUCCESS = 0,
  RVS_ERR_NOT_INITIALIZED = -1, /* or de-initialisation in progress */
  RVS_ERR_ALREADY_INITIALIZED = -2,
  RVS_ERR_TIME_OUT = -3,
  RVS_ERR_INVALID_ID = -4,
  RVS_ERR_INVALID_PARAMETER = -5,
  RVS_ERR_DEVICE_NOT_ONLINE = -6,
  RVS_ERR_FAIL_TO_RESOLVE_NAME = -7,
  RVS_ERR_INVALID_PREFIX = -8,
  RVS_ERR_LOGIN_REFUSED = -9, /* device login answered with result 254 */
  RVS_ERR_INVALID_SESSION_HANDLE = -11,
  RVS_ERR_SESSION_CLOSED_REMOTE = -12,
  RVS_ERR_SESSION_CLOSED_TIMEOUT = -13,
  RVS_ERR_SESSION_CLOSED_CALLED = -14,
  RVS_ERR_LISTEN_BREAK = -16,
  RVS_ERR_MAX_SESSION = -17,
  RVS_ERR_UDP_PORT_BIND_FAILED = -18,
  RVS_ERR_CONNECT_BREAK = -19,
  RVS_ERR_SESSION_OUT_OF_MEMORY = -20,
  RVS_ERR_FAIL_TO_CREATE_THREAD = -22, /* a thread of the connect or session could not be started */
  RVS_ERR_SERVER_REFUSED = -23,        /* server state 252 */
  RVS_ERR_TCP_RELAY_FAILED = -24,
  RVS_ERR_INIT_OUT_OF_MEMORY = -25
} RVS_ErrorCode;

/* What the query modes of a connect (0x79, 0x7F) find is returned at and
 * above this value, so that it can never be taken for a session handle (0 to
 * MaxNumSess-1): 0x7F returns it when the device is online, 0x79 adds the
 * device-state value to it. */
#define RVS_QUERY_RESULT_BASE 0x10000

/* Filled by RVS_Check (84 bytes). */
typedef struct {
  int32_t Skt; /* UDP socket, or the TCP socket over TCP */
  struct sockaddr_in RemoteAddr;
  struct sockaddr_in MyLocalAddr;
  struct sockaddr_in MyWanAddr;
  uint32_t ConnectTime; /* seconds since the session was established */
  char DID[24];
  uint8_t Role; /* 0 client, 1 device */
  uint8_t Mode; /* 0 P2P, 1 UDP relay, 2 TCP relay, 3 relayed punch */
  uint8_t Reserved[2];
} RVS_SessionInfo;

/* Filled by RVS_NetworkDetect (36 bytes). */
typedef struct {
  uint8_t Internet;           /* 1 when a server answered */
  uint8_t ServerNameResolved; /* 1 when every server name resolved */
  uint8_t ServerReply;        /* 1 when a server answered */
  uint8_t NatType;            /* 0..4 */
  char LanIP[16];
  char WanIP[16];
} RVS_NetInfo;

#define RVS_DECLARE_PAIR(ret, name, args) \
  RVS_EXPORT ret RVS_##name args;         \
  RVS_EXPORT ret rvlib_RVP_##name args;

RVS_DECLARE_PAIR(unsigned int, GetAPIVersion, (void))
RVS_DECLARE_PAIR(const char*, GetAPIInformation, (void))
RVS_DECLARE_PAIR(int, Initialize, (const char* param))
RVS_DECLARE_PAIR(int, DeInitialize, (void))
RVS_DECLARE_PAIR(int, NetworkDetect, (RVS_NetInfo * out, unsigned short udp_port))
RVS_DECLARE_PAIR(int, NetworkDetectByServer, (RVS_NetInfo * out, unsigned short udp_port, const char* server))
RVS_DECLARE_PAIR(int, Connect, (const char* did, char mode, unsigned short udp_port))
RVS_DECLARE_PAIR(int, ConnectByServer,
                 (const char* did, char mode, unsigned short udp_port, const char* server))
RVS_DECLARE_PAIR(int, Connect_Break, (void))
RVS_DECLARE_PAIR(int, Listen,
                 (const char* did, unsigned int timeout_sec, unsigned short udp_port, char login_mode))
RVS_DECLARE_PAIR(int, Listen_Break, (void))
RVS_DECLARE_PAIR(int, LoginStatus_Check, (char* out))
RVS_DECLARE_PAIR(int, Check, (int session, RVS_SessionInfo* out))
RVS_DECLARE_PAIR(int, Close, (int session))
RVS_DECLARE_PAIR(int, ForceClose, (int session))
RVS_DECLARE_PAIR(int, Write, (int session, char channel, const char* data, int len))
RVS_DECLARE_PAIR(int, Read, (int session, char channel, char* buf, int* size, unsigned int timeout_ms))
RVS_DECLARE_PAIR(int, Check_Buffer, (int session, char channel, int* write_size, int* read_size))
RVS_DECLARE_PAIR(int, PktSend, (int session, char channel, const char* data, int len))
RVS_DECLARE_PAIR(int, PktRecv, (int session, char channel, char* buf, int* size, unsigned int timeout_ms))
RVS_DECLARE_PAIR(int, QueryDID, (void))
RVS_DECLARE_PAIR(int, Share_Bandwidth, (char on))
RVS_DECLARE_PAIR(int, Enable_SmartDevice, (char on))

#undef RVS_DECLARE_PAIR

#ifdef __cplusplus
}

/* The two workers keep C++ linkage (their exported names encode the argument types). */
RVS_EXPORT int rvlib_RVP_Connect_Do(char* prefix, int serial, char* suffix, char mode,
                                    unsigned short udp_port, char* server, const char* did_key);
RVS_EXPORT int rvlib_RVP_Listen_Do(char* prefix, int serial, char* suffix, unsigned int timeout_sec,
                                   unsigned short udp_port, char login_mode, const char* did_key);
#endif

#endif /* P2P_RVS_API_H */
