// The WebRTC library: peer connections with seven pre-negotiated, ordered and reliable data channels (ids
// 0..6) over GStreamer's webrtcbin (ICE with STUN and TURN, DTLS, SCTP). webrtcbin runs under a GLib main
// loop on a thread of the layer; control calls are carried out on that thread. Data arrives on a delivery
// thread per channel, so a slow reader of one channel never stalls webrtcbin or the other channels. Messages
// larger than the channel's limit are split on send; channels are byte streams, so the reader sees them
// joined.
#pragma once

#include <cstdint>

namespace platform {
class Event;
}

// One STUN or TURN server (only the first STUN server is used; any number of TURN servers, UDP).
struct OvIceServer {
  uint32_t is_turn;
  uint32_t port;
  const char* host;
  const char* user;
  const char* pass;
};

using OvPeerConnection = void*;
// Signalling out: kind "offer" or "answer" with the local SDP, "candidate" with a local candidate line.
using OvSendMsgFn = int (*)(OvPeerConnection pc, void* user, const char* kind, const char* bytes, int length);
// Data in: called on the channel's delivery thread, may block.
using OvDataFn = void (*)(int channel, const uint8_t* bytes, int length, void* user);

constexpr int kOvChannels = 7;
constexpr int kOvMaxMessage = 65536;  // the largest message handed to a data channel
constexpr int kOvErrArg = -1;
constexpr int kOvErrState = -2;  // not connected (channel not open) or closing
constexpr int kOvErrSend = -3;   // the data channel refused the message
constexpr int kOvErrSdp = -4;    // SDP text not parsable
constexpr int kOvErrNotSupported = -5;

// Starts GStreamer and the main-loop thread (counted); 0, or -1 when webrtcbin is not installed.
int OvWebrtcInit();
void OvWebrtcUninit();
// Test and tool settings, before creating peer connections: gather only on this local address (null or ""
// lifts the pin) and use only relayed candidates.
void OvWebrtcSetLocalAddress(const char* ip);
void OvWebrtcSetRelayOnly(bool relay_only);

// A new peer connection (flags kept), or null.
OvPeerConnection OvWebrtcCreatePeerConnection(int flags, const OvIceServer* servers, int count);
// Closes it: no callback runs after this returns.
void OvWebrtcDestroyPeerConnection(OvPeerConnection pc);
int OvWebrtcSetSendMsg(OvPeerConnection pc, OvSendMsgFn fn, void* user);
int OvWebrtcSetDataCallback(OvPeerConnection pc, OvDataFn fn, void* user);
// Creates the local offer; the send-message callback receives it ("offer"), then the candidates.
int OvWebrtcStartOffer(OvPeerConnection pc);
// is_answer 1: the peer's answer; 0: the peer's offer, answered through the send-message callback ("answer").
int OvWebrtcSetRemoteDescription(OvPeerConnection pc, int is_answer, const char* sdp);
int OvWebrtcAddCandidate(OvPeerConnection pc, const char* mid, int mline, const char* candidate);
// Sends length bytes on a channel (split into messages of at most kOvMaxMessage, waiting while the channel
// buffers more than 1 MiB); length, or a negative error.
int OvWebrtcSend(OvPeerConnection pc, int channel, const void* bytes, int length);
// 0 while connected, 1 while connecting, -1 failed or closed.
int OvWebrtcGetConnStatus(OvPeerConnection pc);
// Set once all seven channels are open.
platform::Event* OvWebrtcGetEventHandle(OvPeerConnection pc);
// A peer connection made through the second transport's own signalling (ov_signal2.h): rest is the room
// token, user the client's name ("usesr:" + user id), peer_id the camera's. 0 with *out once the data
// channels are open; kOvErrNotSupported for a token or room that can never work; another negative error
// when the server or camera cannot be reached or the channels do not open in time.
int OvWebrtcStartV2(const char* rest, const char* user, const char* peer_id, OvPeerConnection* out);
