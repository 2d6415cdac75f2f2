// Writes encrypted cloud segment files (five seconds each, named by their object keys) from an H.264 or HEVC
// elementary stream and A-law audio, for tests and demos.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/mp4rec/annexb.h"

struct CsSegOptions {
  std::string out_dir;     // segment files go to out_dir + object key
  std::string uuid;        // device uuid: the first folder of every key
  std::string des_key;     // the device's DES key
  int64_t start = 0;       // time of the first segment (rounded down to five seconds)
  int segments = 1;        // number of five-second segments
  int fps = 25;            // video frames per second, 1..120
  bool hevc = false;       // codec 13 instead of 1
  std::vector<uint8_t> alaw;  // A-law audio repeated over the whole span; empty: silence
  std::vector<int> skip;   // indexes of segments to leave out (holes in the recording)
};

struct CsSegResult {
  int files = 0;
  uint64_t bytes = 0;
  std::vector<std::string> keys;  // object keys written, in order
  std::string error;              // why nothing (more) could be written
};

// Media codec ids written.
constexpr uint16_t kCsSegH264 = 1;
constexpr uint16_t kCsSegHevc = 13;
constexpr uint16_t kCsSegAlaw = 2;
// Bytes of A-law audio per frame (40 ms at 8000 Hz).
constexpr size_t kCsSegAudioBytes = 320;

// Writes the segments from access units (repeated; each segment starts at a key frame). true on success.
bool CsSegWriteUnits(const std::vector<AccessUnit>& units, const CsSegOptions& options, CsSegResult* result);
// The bytes of one segment starting at time t: a sync frame, then video from units[*next] on and audio.
std::vector<uint8_t> CsSegBuild(const std::vector<AccessUnit>& units, size_t* next, const CsSegOptions& options,
                                int64_t t, uint32_t base_ms, size_t* audio_pos);
