#include "tools/camsim/media_source.h"

#include <fstream>
#include <iterator>

#include "tools/camsim/stream_rate.h"

namespace camsim {
namespace {

constexpr double kDefaultFps = 25;

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool ReadAll(const std::string& path, std::vector<uint8_t>* out, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = "cannot open " + path;
    return false;
  }
  out->assign(std::istreambuf_iterator<char>(in), {});
  if (out->empty()) {
    *why = path + " is empty";
    return false;
  }
  return true;
}

// Where each start code begins (its leading zero byte included) and where its NAL unit's header is.
struct Nal {
  size_t begin;   // first byte of the start code (with a zero_byte before it when there is one)
  size_t header;  // first byte of the NAL unit
};

std::vector<Nal> FindNals(const uint8_t* s, size_t n) {
  std::vector<Nal> nals;
  for (size_t i = 0; i + 3 <= n;) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      size_t b = i;
      if (b > 0 && s[b - 1] == 0 && (nals.empty() || b - 1 > nals.back().header)) --b;
      nals.push_back({b, i + 3});
      i += 3;
    } else {
      ++i;
    }
  }
  return nals;
}

}  // namespace

std::vector<MediaFrame> SplitAccessUnits(const uint8_t* s, size_t n, bool hevc) {
  std::vector<MediaFrame> units;
  const std::vector<Nal> nals = FindNals(s, n);
  bool open = false, has_vcl = false;
  MediaFrame cur;
  for (size_t k = 0; k < nals.size(); ++k) {
    const size_t h = nals[k].header;
    const size_t end = k + 1 < nals.size() ? nals[k + 1].begin : n;
    if (end <= h + (hevc ? 2u : 1u)) continue;
    const uint8_t* u = s + h;
    bool vcl, key, starts;
    if (hevc) {
      const int type = (u[0] >> 1) & 0x3F;
      vcl = type < 32;
      key = type >= 16 && type <= 23;
      starts = vcl ? (u[2] & 0x80) != 0
                   : (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) || (type >= 48 && type <= 55);
    } else {
      const int type = u[0] & 0x1F;
      vcl = type >= 1 && type <= 5;
      key = type == 5;
      starts = vcl ? (u[1] & 0x80) != 0 : type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18);
    }
    if (!open) {
      cur = MediaFrame{};
      cur.offset = nals[k].begin;
      open = true;
    } else if (starts && has_vcl) {
      cur.size = nals[k].begin - cur.offset;
      units.push_back(cur);
      cur = MediaFrame{};
      cur.offset = nals[k].begin;
      has_vcl = false;
    }
    cur.key = cur.key || key;
    has_vcl = has_vcl || vcl;
  }
  if (open && has_vcl) {
    cur.size = n - cur.offset;
    units.push_back(cur);
  } else if (!units.empty()) {
    // Trailing NAL units without a picture go with the last access unit.
    units.back().size = n - units.back().offset;
  }
  return units;
}

bool LoadVideo(const std::string& path, const std::string& codec, double fps, MediaTrack* out, std::string* why) {
  bool hevc;
  if (codec == "hevc" || codec == "h265") {
    hevc = true;
  } else if (codec == "h264") {
    hevc = false;
  } else if (EndsWith(path, ".h265") || EndsWith(path, ".265") || EndsWith(path, ".hevc")) {
    hevc = true;
  } else if (EndsWith(path, ".h264") || EndsWith(path, ".264")) {
    hevc = false;
  } else {
    *why = "cannot tell the codec of " + path + " (name it .h264 or .h265, or give --codec)";
    return false;
  }
  if (!ReadAll(path, &out->bytes, why)) return false;
  out->frames = SplitAccessUnits(out->bytes.data(), out->bytes.size(), hevc);
  if (out->frames.empty()) {
    *why = path + " holds no access unit";
    return false;
  }
  if (fps <= 0) fps = StreamFrameRate(out->bytes.data(), out->bytes.size(), hevc);
  if (fps <= 0) fps = kDefaultFps;
  out->fps = fps;
  const uint32_t ms = static_cast<uint32_t>(1000.0 / fps + 0.5);
  for (MediaFrame& f : out->frames) f.duration_ms = ms ? ms : 1;
  out->wire_codec = hevc ? 0x50 : 0x4E;
  out->video = true;
  return true;
}

bool SplitAdts(const uint8_t* b, size_t n, std::vector<MediaFrame>* frames, std::string* why) {
  static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
  frames->clear();
  for (size_t at = 0; at + 7 <= n;) {
    if (b[at] != 0xFF || (b[at + 1] & 0xF0) != 0xF0) {
      *why = "no ADTS frame at byte " + std::to_string(at);
      return false;
    }
    const size_t len = (static_cast<size_t>(b[at + 3] & 3) << 11) | (static_cast<size_t>(b[at + 4]) << 3) | (b[at + 5] >> 5);
    const int rate_index = (b[at + 2] >> 2) & 0xF;
    if (len < 7 || len > n - at || rate_index > 12) {
      *why = "a broken ADTS frame at byte " + std::to_string(at);
      return false;
    }
    MediaFrame f;
    f.offset = at;
    f.size = len;
    f.duration_ms = static_cast<uint32_t>(1024 * 1000 / kRates[rate_index]);
    frames->push_back(f);
    at += len;
  }
  if (frames->empty()) {
    *why = "no ADTS frame";
    return false;
  }
  return true;
}

bool LoadAudio(const std::string& path, MediaTrack* out, std::string* why) {
  if (!ReadAll(path, &out->bytes, why)) return false;
  out->video = false;
  out->frames.clear();
  if (EndsWith(path, ".alaw") || EndsWith(path, ".g711a")) {
    constexpr size_t kBlock = 320;  // 40 ms at 8000 Hz
    for (size_t at = 0; at < out->bytes.size(); at += kBlock) {
      MediaFrame f;
      f.offset = at;
      f.size = std::min(kBlock, out->bytes.size() - at);
      f.duration_ms = static_cast<uint32_t>(f.size / 8);
      if (!f.duration_ms) f.duration_ms = 1;
      out->frames.push_back(f);
    }
    out->wire_codec = 0x8A;
    return true;
  }
  if (EndsWith(path, ".aac")) {
    if (!SplitAdts(out->bytes.data(), out->bytes.size(), &out->frames, why)) {
      *why = path + ": " + *why;
      return false;
    }
    out->wire_codec = 0x88;
    return true;
  }
  *why = "cannot tell the audio format of " + path + " (name it .alaw or .aac)";
  return false;
}

}  // namespace camsim
