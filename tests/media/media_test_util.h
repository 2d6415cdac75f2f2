// Helpers of the media tests: shell commands, cached oracle-made streams and
// temporary folders.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/common/temp_dir.h"
#include "tools/common/read_file.h"
#include "tools/common/shell.h"

namespace mt {

inline std::string Shell(const std::string& cmd, int* status = nullptr) { return tools::ShellOutput(cmd, status); }

inline void WriteAll(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// A file made once by `cmd` (with {} standing for the output path) and kept
// in the test's build folder. Tests run in parallel processes, so the file is
// made under a unique name and renamed into place.
inline std::string Cached(const std::string& name, const std::string& cmd) {
  std::filesystem::path dir = std::filesystem::current_path() / "media_data";
  std::filesystem::create_directories(dir);
  std::string path = (dir / name).string();
  if (std::filesystem::exists(path)) return path;
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  std::string full = cmd;
  for (size_t at; (at = full.find("{}")) != std::string::npos;) full.replace(at, 2, "'" + tmp + "'");
  int status = 0;
  std::string log = Shell("(" + full + ") 2>&1", &status);
  if (status != 0 || !std::filesystem::exists(tmp)) {
    ADD_FAILURE() << "cannot make " << name << ": " << log;
    return path;
  }
  std::filesystem::rename(tmp, path);
  return path;
}

inline std::string RawVideo(int w, int h) {
  return "ffmpeg -v error -f lavfi -i testsrc=size=" + std::to_string(w) + "x" + std::to_string(h) +
         ":rate=25 -pix_fmt yuv420p -f rawvideo";
}

// An Annex-B H.264 stream without B frames, as cameras send.
inline std::string H264Stream(int frames, int keyint, int w = 176, int h = 144) {
  std::string name = "x264_" + std::to_string(frames) + "_" + std::to_string(keyint) + "_" + std::to_string(w) +
                     "x" + std::to_string(h) + ".264";
  return Cached(name, RawVideo(w, h) + " -frames:v " + std::to_string(frames) +
                          " - | x264 --quiet --demuxer raw --input-res " + std::to_string(w) + "x" +
                          std::to_string(h) + " --fps 25 --bframes 0 --keyint " + std::to_string(keyint) +
                          " -o {} -");
}

inline std::string HevcStream(int frames, int keyint, int w = 176, int h = 144) {
  std::string name = "x265_" + std::to_string(frames) + "_" + std::to_string(keyint) + "_" + std::to_string(w) +
                     "x" + std::to_string(h) + ".265";
  return Cached(name, RawVideo(w, h) + " -frames:v " + std::to_string(frames) +
                          " - | x265 --log-level error --input - --input-res " + std::to_string(w) + "x" +
                          std::to_string(h) + " --fps 25 --bframes 0 --keyint " + std::to_string(keyint) +
                          " --output {}");
}

// Concatenated JPEG frames.
inline std::string MjpegStream(int frames, int w = 176, int h = 144) {
  std::string name = "mjpeg_" + std::to_string(frames) + "_" + std::to_string(w) + "x" + std::to_string(h) + ".mjpeg";
  return Cached(name, "ffmpeg -v error -f lavfi -i testsrc=size=" + std::to_string(w) + "x" + std::to_string(h) +
                          ":rate=25 -frames:v " + std::to_string(frames) + " -c:v mjpeg -pix_fmt yuvj420p -f mjpeg {}");
}

// Splits concatenated JPEG frames at their end markers.
inline std::vector<std::vector<uint8_t>> SplitJpeg(const std::vector<uint8_t>& s) {
  std::vector<std::vector<uint8_t>> frames;
  size_t start = 0;
  for (size_t i = 0; i + 1 < s.size(); ++i) {
    if (s[i] == 0xFF && s[i + 1] == 0xD9) {
      frames.emplace_back(s.begin() + static_cast<long>(start), s.begin() + static_cast<long>(i + 2));
      start = i + 2;
      ++i;
    }
  }
  return frames;
}

using ::TempDir;

}  // namespace mt
