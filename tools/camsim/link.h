// What a camsim session reads from and writes to: a P2P session of the rendezvous library, or the data
// channels of a WebRTC peer connection (webrtc_side.h).
#pragma once

#include <memory>

namespace camsim {

class Link {
 public:
  virtual ~Link() = default;
  // Reads up to *size bytes of a channel: 0 with *size the count; kLinkTimeout with *size what came (maybe
  // 0) when the time-out ran out; another negative code when the session ended.
  virtual int Read(int channel, char* dst, int* size, int timeout_ms) = 0;
  // Writes all n bytes: n, or a negative code.
  virtual int Write(int channel, const char* p, int n) = 0;
  // Bytes written but not yet sent on a channel (0 when the link does not say); non-zero on failure.
  virtual int Pending(int channel, int* pending) = 0;
  // Closes the session; force: at once, without waiting for data in flight.
  virtual void Close(bool force) = 0;
};

inline constexpr int kLinkTimeout = -3;

// The link over a P2P session handle.
std::unique_ptr<Link> MakeRvsLink(int handle);

}  // namespace camsim
