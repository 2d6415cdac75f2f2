// The signalling of "ovwebrtc2" (see ovwebrtc2.md beside this file): JSON objects in WebSocket text frames,
// relayed by a signalling server between the members of a room. Both ends use these texts; the client's
// side is OvWebrtcStartV2.
#pragma once

#include <string>
#include <vector>

// One message, either way. Unused fields are empty.
struct Signal2Message {
  std::string type;       // "join", "joined", "offer", "answer", "candidate", "error"
  std::string id;         // "join": the sender's name; otherwise the request id of the connect
  std::string from, to;   // member names ("from" is set by the server)
  std::string sdp;        // "offer", "answer"
  std::string candidate;  // "candidate"
  std::string reason;     // "error"
  std::string ice;        // "joined": the ICE server list, JSON text (as "ovwebrtc"'s relay list)
};

// 0 with *out for an object with a "type", -1 for anything else.
int ParseSignal2(const char* text, size_t length, Signal2Message* out);
// The text of a message: its non-empty fields ("ice" as JSON, with "sdpMid" "0" and "sdpMLineIndex" 0
// added to a candidate).
std::string BuildSignal2(const Signal2Message& m);

// The room URL of a token: 0 with *url for a "ws://" or "wss://" URL with a host, -1 otherwise (such a
// token can never reach a server).
int Signal2RoomUrl(const char* token, std::string* url);

// How long a connect may take: the server's reply to the join, and the data channel's opening.
constexpr int kSignal2JoinWaitMs = 2000;
constexpr int kSignal2OpenWaitMs = 10000;
