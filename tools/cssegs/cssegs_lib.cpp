#include "tools/cssegs/cssegs_lib.h"

#include <algorithm>
#include <cstdio>

#include "sdk/cloudplay/cloud_segment.h"
#include "sdk/storage/oss_cacher.h"
#include "util/helpers.h"

namespace {

constexpr uint8_t kAlawSilence = 0xD5;

size_t NextKey(const std::vector<AccessUnit>& units, size_t from) {
  for (size_t n = 0; n < units.size(); ++n) {
    size_t i = (from + n) % units.size();
    if (units[i].key) return i;
  }
  return from % units.size();
}

}  // namespace

std::vector<uint8_t> CsSegBuild(const std::vector<AccessUnit>& units, size_t* next, const CsSegOptions& o,
                                int64_t t, uint32_t base_ms, size_t* audio_pos) {
  std::vector<uint8_t> out;
  uint8_t sync[4] = {uint8_t(t), uint8_t(t >> 8), uint8_t(t >> 16), uint8_t(t >> 24)};
  CloudFrameAppend(0, 0, base_ms, sync, sizeof sync, o.des_key.c_str(), &out);
  const uint16_t video = o.hevc ? kCsSegHevc : kCsSegH264;
  const int frames = 5 * o.fps;
  auto audio_until = [&](uint32_t ms, bool inclusive, uint32_t* audio_ms, std::vector<uint8_t>* chunk) {
    while (inclusive ? *audio_ms <= ms : *audio_ms < ms) {
      for (size_t k = 0; k < chunk->size(); ++k)
        (*chunk)[k] = o.alaw.empty() ? kAlawSilence : o.alaw[(*audio_pos + k) % o.alaw.size()];
      if (!o.alaw.empty()) *audio_pos = (*audio_pos + chunk->size()) % o.alaw.size();
      CloudFrameAppend(kCsSegAlaw, 0, base_ms + *audio_ms, chunk->data(), chunk->size(), o.des_key.c_str(), &out);
      *audio_ms += 40;
    }
  };
  size_t u = units.empty() ? 0 : NextKey(units, *next);
  uint32_t audio_ms = 0;
  std::vector<uint8_t> chunk(kCsSegAudioBytes);
  for (int i = 0; i < frames; ++i) {
    uint32_t vms = static_cast<uint32_t>(static_cast<int64_t>(i) * 1000 / o.fps);
    audio_until(vms, true, &audio_ms, &chunk);
    if (units.empty()) continue;
    const AccessUnit& au = units[u];
    CloudFrameAppend(video, au.key ? 1 : 0, base_ms + vms, au.data.data(), au.data.size(), o.des_key.c_str(), &out);
    u = (u + 1) % units.size();
  }
  audio_until(5000, false, &audio_ms, &chunk);  // audio covers the whole five seconds
  *next = u;
  return out;
}

bool CsSegWriteUnits(const std::vector<AccessUnit>& units, const CsSegOptions& o, CsSegResult* result) {
  if (units.empty()) {
    result->error = "the video stream has no frames";
    return false;
  }
  COssCacher cacher(o.uuid, o.des_key);
  int64_t start = o.start - ((o.start % 5) + 5) % 5;
  size_t next = 0, audio_pos = 0;
  for (int s = 0; s < o.segments; ++s) {
    int64_t t = start + int64_t(s) * 5;
    uint32_t base_ms = static_cast<uint32_t>(s) * 5000u;
    std::vector<uint8_t> bytes = CsSegBuild(units, &next, o, t, base_ms, &audio_pos);
    if (std::find(o.skip.begin(), o.skip.end(), s) != o.skip.end()) continue;
    std::string key;
    if (cacher.KeyForTime(t, &key) != 0) {
      result->error = "the uuid cannot name a folder: " + o.uuid;
      return false;
    }
    std::string path = o.out_dir + key;
    FILE* f = FopenMkdirs(path.c_str(), "wb");
    if (!f) {
      result->error = "cannot create " + path;
      return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
      result->error = "cannot write " + path;
      return false;
    }
    result->files++;
    result->bytes += bytes.size();
    result->keys.push_back(key);
  }
  return true;
}
