// cssegs: writes encrypted cloud segment files from an H.264 or HEVC stream (see --help).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "sdk/storage/oss_cacher.h"
#include "tools/common/read_file.h"
#include "tools/cssegs/cssegs_lib.h"

namespace {

constexpr size_t kMaxUuid = 128;

const char kHelp[] =
    "usage: cssegs [options] --uuid UUID --key DESKEY --start TIME INPUT OUTDIR\n"
    "Writes five-second encrypted cloud segment files, named by their object keys\n"
    "(OUTDIR/UUID/YYYY/MM/DD/hh/mm-ss.data, local time), from an Annex-B stream.\n"
    "\n"
    "  INPUT              .264/.h264 (H.264) or .265/.hevc (HEVC) elementary stream,\n"
    "                     repeated as needed; each segment starts at a key frame\n"
    "  OUTDIR             folder that receives the segment tree\n"
    "  --uuid UUID        device uuid (first folder of every key; no '/', '\\' or '..';\n"
    "                     at most 128 characters)\n"
    "  --key DESKEY       the device's DES key (first 8 characters used)\n"
    "  --start TIME       first segment: seconds since the epoch, or 'YYYY-MM-DD hh:mm:ss' local\n"
    "  --segments N       number of segments, 1..100000 (default 12: one minute)\n"
    "  --fps N            video frames per second, 1..120 (default 25)\n"
    "  --audio FILE       raw A-law audio, 8000 Hz mono, repeated (default: silence)\n"
    "  --skip LIST        segment indexes to leave out, comma separated (holes)\n"
    "  -h, --help         this text\n"
    "\n"
    "example: cssegs --uuid CAM0001 --key 12345678 --start '2024-05-06 12:00:00' \\\n"
    "           --segments 720 clip.h264 /tmp/segs\n";

int Usage(const char* what, const char* arg) {
  std::fprintf(stderr, "cssegs: %s%s%s\n(cssegs --help shows the options)\n", what, arg ? ": " : "", arg ? arg : "");
  return 2;
}

bool ParseInt(const char* text, long lo, long hi, long* out) {
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (errno || !end || *end || end == text || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ParseTime(const char* text, int64_t* out) {
  long long v = 0;
  char* end = nullptr;
  errno = 0;
  v = std::strtoll(text, &end, 10);
  if (!errno && end && !*end && end != text && v > 0) {
    *out = v;
    return true;
  }
  struct tm tm {};
  const char* rest = strptime(text, "%Y-%m-%d %H:%M:%S", &tm);
  if (!rest || *rest) return false;
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  if (t <= 0) return false;
  *out = t;
  return true;
}

bool EndsWith(const std::string& s, const char* suffix) {
  size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  CsSegOptions o;
  o.segments = 12;
  std::string input, audio_path;
  bool have_start = false;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char** v) {
      if (i + 1 >= argc) return false;
      *v = argv[++i];
      return true;
    };
    const char* v = nullptr;
    long n = 0;
    if (a == "-h" || a == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--uuid" || a == "--key" || a == "--start" || a == "--segments" || a == "--fps" ||
               a == "--audio" || a == "--skip") {
      if (!value(&v)) return Usage("missing value for", a.c_str());
      if (a == "--uuid") o.uuid = v;
      else if (a == "--key") o.des_key = v;
      else if (a == "--audio") audio_path = v;
      else if (a == "--start") {
        if (!ParseTime(v, &o.start)) return Usage("--start needs seconds or 'YYYY-MM-DD hh:mm:ss'", v);
        have_start = true;
      } else if (a == "--segments") {
        if (!ParseInt(v, 1, 100000, &n)) return Usage("--segments must be 1..100000", v);
        o.segments = static_cast<int>(n);
      } else if (a == "--fps") {
        if (!ParseInt(v, 1, 120, &n)) return Usage("--fps must be 1..120", v);
        o.fps = static_cast<int>(n);
      } else {
        std::string list = v;
        size_t p = 0;
        while (p <= list.size()) {
          size_t c = list.find(',', p);
          std::string item = list.substr(p, c == std::string::npos ? std::string::npos : c - p);
          if (!ParseInt(item.c_str(), 0, 100000, &n)) return Usage("--skip takes segment indexes", v);
          o.skip.push_back(static_cast<int>(n));
          if (c == std::string::npos) break;
          p = c + 1;
        }
      }
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("unknown option", a.c_str());
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) return Usage("need INPUT and OUTDIR", nullptr);
  if (o.uuid.empty()) return Usage("missing --uuid", nullptr);
  // It names the first folder of every key.
  if (!CacheIdIsSafe(o.uuid) || o.uuid.size() > kMaxUuid)
    return Usage("--uuid must name a folder: no '/', '\\' or '..', at most 128 characters", o.uuid.c_str());
  if (o.des_key.empty()) return Usage("missing --key", nullptr);
  if (!have_start) return Usage("missing --start", nullptr);
  input = positional[0];
  o.out_dir = positional[1];
  if (EndsWith(input, ".265") || EndsWith(input, ".hevc")) o.hevc = true;
  else if (!EndsWith(input, ".264") && !EndsWith(input, ".h264"))
    return Usage("INPUT must end in .264, .h264, .265 or .hevc", input.c_str());
  std::vector<uint8_t> stream;
  if (!tools::ReadFile(input, &stream)) {
    std::fprintf(stderr, "cssegs: cannot read %s\n", input.c_str());
    return 1;
  }
  if (!audio_path.empty() && !tools::ReadFile(audio_path, &o.alaw)) {
    std::fprintf(stderr, "cssegs: cannot read %s\n", audio_path.c_str());
    return 1;
  }
  std::vector<AccessUnit> units = SplitAnnexB(stream, o.hevc);
  CsSegResult result;
  bool ok = CsSegWriteUnits(units, o, &result);
  if (!ok || result.files == 0) {
    std::fprintf(stderr, "cssegs: no segments written: %s\n",
                 result.error.empty() ? "every segment was skipped" : result.error.c_str());
    return 1;
  }
  std::printf("%d segments, %llu bytes, first %s\n", result.files, static_cast<unsigned long long>(result.bytes),
              result.keys.front().c_str());
  return 0;
}
