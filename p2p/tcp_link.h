// TCP links to the three servers (framed messages over TCP where UDP is
// blocked) and the connection to a TCP relay.
//
// A link is driven by the thread that runs the connect or listen procedure
// (connect, send, receive); the session's dialogue thread takes its complete
// messages. The link's mutex guards the frame being read and the complete
// message; a link holding a complete message reads nothing more until that
// message is taken.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "p2p/addr.h"
#include "p2p/msg_io.h"

struct RVP_TcpLink {
  char name[8] = {};
  RVP_Address24 server{};  // the server's IPv4, TCP link port
  uint32_t last_attempt = 0;
  bool attempted = false;  // last_attempt holds a tick

  std::mutex m;  // guards everything below but the owed and resend marks
  int socket = -1;
  bool connected = false;
  uint8_t buf[p2p::kTcpFrameBodyMax] = {};
  uint16_t cap = p2p::kTcpFrameBodyMax;
  uint8_t head[p2p::kTcpFrameHeadSize] = {};
  int head_got = 0;
  RVP_TcpFrameHead frame{};
  uint16_t body_got = 0;
  bool complete = false;

  // Messages owed since the connect succeeded (procedure thread only).
  bool owe_login = false, owe_login_keyed = false, owe_req = false, owe_req_keyed = false;
  // Resend marks and counters, set by the dialogue thread (0 idle; a counter
  // of 1 or more counts the procedure's calls up to 101).
  std::atomic<char> resend_now{0}, resend_now_keyed{0};
  std::atomic<int> resend_count{0}, resend_count_keyed{0};
};

// Kinds of RVP_TcpLinksConnect: the message a new connection owes.
enum RVP_TcpOwed { kOweLogin = 1, kOweLoginKeyed = 2, kOweReq = 3, kOweReqKeyed = 4 };

// A link to the text's IPv4 at the TCP link port; null when the text is null
// or memory runs out.
RVP_TcpLink* RVP_TcpLinkNew(const char* name, const char* address);
// Closes the socket and clears the state (a complete message not yet taken is
// dropped); keeps name, address, buffer and last attempt.
void RVP_TcpLinkReset(RVP_TcpLink* link);
void RVP_TcpLinkFree(RVP_TcpLink* link);

// The three links of a session: made "Server1".."Server3" to the session's
// server addresses (replacing none that exist), freed and cleared.
void RVP_TcpLinksMake(int slot);
void RVP_TcpLinksFree(int slot);

// Starts or continues the connect of each link; a new connection owes the
// message of the kind.
void RVP_TcpLinksConnect(int slot, int kind);
// Send the owed message over every connected link owing it.
void RVP_TcpLinksSendDevLogin(int slot);
void RVP_TcpLinksSendDevLoginEx(int slot);
void RVP_TcpLinksSendP2PReq(int slot);
void RVP_TcpLinksSendP2PReqKeyed(int slot);
// Marks the message of the kind as owed again on every connected link.
void RVP_TcpLinksOweAgain(int slot, int kind);
// Sends a built message (header and payload) as a frame over every connected
// link; a send failure resets the link.
void RVP_TcpLinksSendRaw(int slot, const uint8_t* msg, int len);
// Count the resend counters and send the marked connect requests again.
void RVP_TcpLinksResendP2PReq(int slot);
void RVP_TcpLinksResendP2PReqKeyed(int slot);
// Reads the links without blocking.
void RVP_TcpLinksRecv(int slot);

// -1 no complete message; -3 header not 0xF1; -4 length not matching; -5 the
// payload longer than cap; 0 with the payload copied. The link is ready for
// the next frame whenever a message was complete.
int RVP_TcpLinkTakeMsg(RVP_TcpLink* link, int* sock, RVP_Address24* server, uint8_t* type, uint16_t* length,
                       uint8_t* payload, int cap);

// Connects the session to the TCP relay it was offered; the outcome is the
// session's TCP relay state.
void RVP_TcpRelayConnect(int slot);
