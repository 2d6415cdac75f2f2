// The socket layer: UDP and TCP sockets over POSIX (poll, non-blocking TCP,
// MSG_NOSIGNAL), name resolution, scrambled send and receive, and the LAN
// search broadcast over the host's interfaces.
#pragma once

#include <net/if.h>
#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "p2p/addr.h"

namespace p2p {
inline constexpr uint16_t kServerPort = 32100;
inline constexpr uint16_t kLanSearchPort = 32108;
inline constexpr uint16_t kTcpLinkPort = 443;
// Largest datagram handled.
inline constexpr int kMaxDatagram = 1440;
inline constexpr uint16_t kRandomPortFirst = 10000;
inline constexpr uint16_t kRandomPortCount = 20000;

// The servers' UDP port (32100; a port burst also uses the next two) and the
// TCP link port (443). Only tests change them, through RVP_TestSetServerPorts,
// to reach a simulator that cannot take the fixed ports.
uint16_t ServerUdpPort();
uint16_t TcpLinkPort();
}  // namespace p2p

// Internal test hook: 0 restores the fixed port.
void RVP_TestSetServerPorts(uint16_t udp, uint16_t tcp);

// A flag byte another thread sets to end a blocking routine.
using RVP_BreakFlag = std::atomic<char>;

int RVP_UdpSocket();
// Allows sending to broadcast addresses.
void RVP_SetBroadcast(int sock);
// Binds to INADDR_ANY and the port (0: a random port in 10000-29999, 1000 tries);
// returns the port or -1. *out (when given) receives family, port and address 0.
int RVP_UdpBind(int sock, uint16_t port, sockaddr_in* out);
// "255.255.255.255" and dotted quads literally, else the first IPv4 address of
// the name; 0, or -1 when unresolved.
int RVP_Resolve(const char* name, in_addr* out);
// UDP socket with SO_REUSEADDR and SO_BROADCAST bound to INADDR_ANY:32108;
// -1 when no socket, -3 when the bind fails.
int RVP_LanSearchSocket();

// Waits up to timeout_ms for a datagram and receives at most min(size, 1440)
// bytes, unscrambled with the key into out. Returns the length, 0 on time-out,
// -1 on a poll error, or the negative recvfrom result.
int RVP_UdpRecv(int sock, uint8_t* out, const char* key, int size, sockaddr_in* from, unsigned timeout_ms);
// Scrambles and sends one datagram (at most 1440 bytes); sendto's result, -1 when too long.
int RVP_UdpSend(const char* key, const sockaddr_in& to, const uint8_t* msg, int len, int sock);
int RVP_UdpSend4(const char* key, const uint8_t msg[4], const sockaddr_in& to, int sock);

// One IPv4 address of a host interface.
struct RVP_LanIf {
  char name[IFNAMSIZ];
  unsigned flags;  // IFF_*
  in_addr addr;
  in_addr brd;  // the interface's broadcast address; 0 when it has none
};
// The IPv4 interfaces of the host: through getifaddrs, and through the
// SIOCGIFCONF ioctl as the fallback. false when the list cannot be read.
bool RVP_LanInterfaces(std::vector<RVP_LanIf>* out);
bool RVP_LanInterfacesIoctl(std::vector<RVP_LanIf>* out);
// Where an interface's LAN search goes: false for loopback, link-local
// (169.254.x.x), down or point-to-point interfaces; else its own broadcast
// address, or its x.y.z.255 when it has none.
bool RVP_LanBroadcastTarget(const RVP_LanIf& ifc, in_addr* out);
// Sends the 4-byte message to the broadcast target of each interface of the
// list at the port; returns the number of datagrams sent.
int RVP_LanBroadcastTo(const char* key, const uint8_t msg[4], int sock, const RVP_LanIf* ifs, size_t n,
                       uint16_t port);
// The LAN-search broadcast on every interface, port 32108: 1 when the
// interface list was read, else 0.
int RVP_LanBroadcast(const char* key, const uint8_t msg[4], int sock);
int RVP_LanBroadcastV4(const char* key, const uint8_t msg[4], int sock);

// shutdown and close; nothing for a negative socket.
void RVP_SocketClose(int sock);

// Non-blocking IPv4 TCP socket with SO_REUSEADDR; -1 on failure.
int RVP_TcpSocket();
// Non-blocking TCP socket (IPv4, or IPv6 when IPv4 is unavailable) bound to the
// any-address and the port; -1 on failure.
int RVP_TcpBoundSocket(uint16_t port);
// 0 connected (or already), -1 in progress, -2 error.
int RVP_TcpConnectStart(const RVP_Address24& to, int sock);
// 0 connected, -1 error, -2 break flag set, -3 time-out.
int RVP_TcpConnect(const RVP_Address24& to, int sock, unsigned timeout_ms, const RVP_BreakFlag* brk);
// 0 when the last socket error is would-block, else -1.
int RVP_WouldBlock();
// For a recv result of 0 or less: -1 peer closed, 0 would-block, -2 error.
int RVP_RecvError(long r);
// 0 all sent, -1 error, -2 break flag, -3 time-out.
int RVP_TcpSendAll(int sock, const uint8_t* data, int len, unsigned timeout_ms, const RVP_BreakFlag* brk);
// Receives until want bytes are there: 0 done, -1 error or peer closed, -2 break
// flag, -3 time-out; *got holds the bytes received.
int RVP_TcpRecvAll(int sock, uint8_t* buf, int want, unsigned timeout_ms, const RVP_BreakFlag* brk, int* got);
// 1 ready, below 1 on time-out or error.
int RVP_WaitWritable(int sock, unsigned timeout_ms);
int RVP_WaitReadable(int sock, unsigned timeout_ms);
int RVP_SockName(int sock, RVP_Address24* out);
int RVP_PeerName(int sock, RVP_Address24* out);
