// The media sink and the decode front with the real decoders on streams made by x264, x265 and ffmpeg:
// pictures against ffmpeg's decode, snapshots and recordings read by ffprobe and ffmpeg, events, channel
// swaps, sound reaching the player, engine re-creation, hostile frames.
#include "media/sink/av_render.h"

#include <gtest/gtest.h>

#include <jpeglib.h>

#include <QWidget>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/audio/g711.h"
#include "sdk/device/kivo_p2p.h"
#include "media/audio/sdl_audio_player.h"
#include "media/video/video_decoder.h"
#include "tests/media/media_test_util.h"
#include "tests/media/video/render_test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;
using tools::ReadFile;

// Splits an Annex-B stream into access units, each NAL unit behind a 4-byte start code. hevc selects the
// NAL header layout.
std::vector<Bytes> AccessUnits(const Bytes& s, bool hevc) {
  std::vector<std::pair<size_t, size_t>> nals;  // payload start, end
  size_t i = 0, start = SIZE_MAX;
  while (i + 3 <= s.size()) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      if (start != SIZE_MAX) {
        size_t end = i;
        while (end > start && s[end - 1] == 0) --end;
        nals.push_back({start, end});
      }
      start = i + 3;
      i += 3;
    } else {
      ++i;
    }
  }
  if (start != SIZE_MAX) nals.push_back({start, s.size()});
  std::vector<Bytes> units;
  Bytes cur;
  bool curHasVcl = false;
  for (auto [a, b] : nals) {
    int type = hevc ? (s[a] >> 1) & 0x3F : s[a] & 0x1F;
    bool vcl = hevc ? type < 32 : (type >= 1 && type <= 5);
    bool firstSlice = vcl && (s[a + (hevc ? 2 : 1)] & 0x80);
    if (curHasVcl && (!vcl || firstSlice)) {
      units.push_back(cur);
      cur.clear();
      curHasVcl = false;
    }
    cur.insert(cur.end(), {0, 0, 0, 1});
    cur.insert(cur.end(), s.begin() + static_cast<long>(a), s.begin() + static_cast<long>(b));
    curHasVcl = curHasVcl || vcl;
  }
  if (!cur.empty()) units.push_back(cur);
  return units;
}

// ffmpeg's decode of a file as I420 frames.
std::vector<Bytes> Reference(const std::string& file, int w, int h) {
  Bytes all;
  std::string out = mt::Shell("ffmpeg -v error -i '" + file + "' -f rawvideo -pix_fmt yuv420p -");
  all.assign(out.begin(), out.end());
  size_t frame = size_t(w) * h * 3 / 2;
  std::vector<Bytes> frames;
  for (size_t at = 0; at + frame <= all.size(); at += frame)
    frames.emplace_back(all.begin() + static_cast<long>(at), all.begin() + static_cast<long>(at + frame));
  return frames;
}

Bytes Packed(const VideoPicture& p) {
  int cw = (p.width + 1) / 2, ch = (p.height + 1) / 2;
  Bytes out(size_t(p.width) * p.height + 2 * size_t(cw) * ch);
  PackI420(out.data(), p.width, p.height, p.y, p.lumaStride, p.u, p.v, p.chromaStride);
  return out;
}

std::string Probe(const std::string& file, const std::string& entries) {
  return mt::Shell("ffprobe -v error -show_entries " + entries + " -of csv=p=0 '" + file + "' 2>&1");
}

// Events as the application's poster receives them.
struct Posted {
  AvWindow window;
  uint32_t message;
  int32_t event, value;
  bool operator==(const Posted&) const = default;
};
std::mutex g_postLock;
std::vector<Posted> g_posted;
bool Record(AvWindow w, uint32_t m, int32_t e, int32_t v) {
  std::lock_guard<std::mutex> g(g_postLock);
  g_posted.push_back({w, m, e, v});
  return true;
}
std::vector<Posted> TakePosted() {
  std::lock_guard<std::mutex> g(g_postLock);
  return std::exchange(g_posted, {});
}

struct Pane {
  std::vector<std::unique_ptr<QWidget>> widgets;
  RenderTarget targets[4];
  explicit Pane(int count = 1) {
    rt::App();
    for (int i = 0; i < count; ++i) {
      widgets.push_back(std::make_unique<QWidget>());
      widgets.back()->resize(320, 240);
      widgets.back()->show();
      targets[i].window = widgets.back().get();
    }
  }
};

struct Sink {
  Pane pane;
  CAvRender* sink;
  explicit Sink(int channels = 1, AvWindow second = 0, uint32_t secondMessage = 0) : pane(channels) {
    sink = new CAvRender(pane.targets, channels, 0x100, second, secondMessage);
    sink->SetNewWindowDelayMs(0);
  }
  ~Sink() { AvRenderOpsTable().Release(sink); }
  int32_t Frame(uint32_t type, uint32_t ts, const Bytes& b, int32_t param = 0) {
    return AvRenderOpsTable().OnFrame(type, ts, b.data(), static_cast<int32_t>(b.size()), param, sink);
  }
};

struct StreamCase {
  const char* name;
  uint32_t codec;
  int w, h;
  std::string (*make)();
};

std::string H264Cropped() { return mt::H264Stream(8, 4, 200, 120); }
std::string HevcManyRefs() {
  return mt::Cached("x265_refs6_200x120.265",
                    mt::RawVideo(200, 120) +
                        " -frames:v 8 - | x265 --log-level error --input - --input-res 200x120 --fps 25 "
                        "--bframes 0 --ref 6 --keyint 8 --output {}");
}

class DecodeAgainstFfmpeg : public ::testing::TestWithParam<StreamCase> {};

// Every picture drawn equals ffmpeg's picture of the same index, cropped to the display size, and reaches
// the pane's renderer.
TEST_P(DecodeAgainstFfmpeg, PicturesMatchInOrder) {
  const StreamCase& c = GetParam();
  std::string file = c.make();
  Bytes stream = ReadFile(file);
  ASSERT_FALSE(stream.empty());
  std::vector<Bytes> ref = Reference(file, c.w, c.h);
  ASSERT_GE(ref.size(), 8u);
  Sink s;
  std::vector<Bytes> got;
  uint32_t ts = 0;
  for (const Bytes& au : AccessUnits(stream, c.codec == kVideoCodecHevc)) {
    s.Frame(c.codec, ts += 40, au, 1);
    VideoPicture p;
    CVideoDecDDraw* d = s.sink->ChannelDecoder(0);
    ASSERT_NE(d, nullptr);
    if (d->GetLastPicture(&p)) {
      ASSERT_EQ(p.width, c.w);
      ASSERT_EQ(p.height, c.h);
      got.push_back(Packed(p));
    }
  }
  ASSERT_GE(got.size(), ref.size() - 2);
  for (size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(got[i] == ref[i]) << "picture " << i;
  CVideoRenderBase* r = s.sink->ChannelDecoder(0)->RendererOf(s.pane.widgets[0].get());
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->PictureWidth(), c.w);
  EXPECT_EQ(r->PictureHeight(), c.h);
}

INSTANTIATE_TEST_SUITE_P(Streams, DecodeAgainstFfmpeg,
                         ::testing::Values(StreamCase{"h264_cropped", kVideoCodecH264, 200, 120, H264Cropped},
                                           StreamCase{"hevc_six_refs", kVideoCodecHevc, 200, 120,
                                                      HevcManyRefs}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeFront, MjpegAgainstFfmpegAndCorruptFrames) {
  std::string file = mt::MjpegStream(3, 96, 64);
  std::vector<Bytes> frames = mt::SplitJpeg(ReadFile(file));
  ASSERT_EQ(frames.size(), 3u);
  std::string out =
      mt::Shell("ffmpeg -v error -i '" + file +
                "' -f rawvideo -pix_fmt rgb24 -sws_flags accurate_rnd+full_chroma_int+full_chroma_inp -");
  ASSERT_EQ(out.size(), 3u * 96 * 64 * 3);
  CVideoDecoder dec;
  dec.SetCodec(kVideoCodecMjpeg);
  VideoPicture p;
  for (int f = 0; f < 3; ++f) {
    ASSERT_TRUE(dec.Decode(frames[f].data(), uint32_t(frames[f].size()), &p));
    ASSERT_TRUE(p.valid);
    ASSERT_EQ(p.format, kPictureRgb24);
    ASSERT_EQ(p.width, 96);
    ASSERT_EQ(p.height, 64);
    // Chroma upsampling differs between libjpeg and swscale at sharp colour edges: compared by PSNR.
    double se = 0;
    for (size_t i = 0; i < size_t(96) * 64 * 3; ++i) {
      double d = int(p.y[i]) - int(uint8_t(out[size_t(f) * 96 * 64 * 3 + i]));
      se += d * d;
    }
    double psnr = 10 * std::log10(255.0 * 255.0 / std::max(se / (96 * 64 * 3), 1e-9));
    EXPECT_GT(psnr, 25.0) << "frame " << f;
  }
  // Hostile frames: no end marker, a cut body, garbage between the markers, a huge SOF. Each is refused and
  // the process goes on.
  Bytes noEnd(frames[0].begin(), frames[0].end() - 2);
  Bytes cut(frames[0].begin(), frames[0].begin() + 300);
  cut.insert(cut.end(), {0xFF, 0xD9});
  Bytes garbage = {0xFF, 0xD8, 0x12, 0x34, 0xFF, 0xD9};
  Bytes huge = frames[0];
  for (size_t i = 2; i + 8 < huge.size(); ++i)
    if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
      huge[i + 5] = huge[i + 6] = huge[i + 7] = huge[i + 8] = 0xFF;
      break;
    }
  for (const Bytes* b : {&noEnd, &garbage, &huge}) {
    VideoPicture q;
    EXPECT_FALSE(dec.Decode(b->data(), uint32_t(b->size()), &q));
  }
  VideoPicture q;
  dec.Decode(cut.data(), uint32_t(cut.size()), &q);  // libjpeg may pad a cut body; it must not exit
  ASSERT_TRUE(dec.Decode(frames[1].data(), uint32_t(frames[1].size()), &p));
  EXPECT_TRUE(p.valid);
}

TEST(DecodeFront, SizeParsers) {
  // Field-coded H.264: the frame height is twice the map units, and the crop applies.
  std::string file =
      mt::Cached("x264_interlaced_176x120.264",
                 mt::RawVideo(176, 120) +
                     " -frames:v 2 - | x264 --quiet --demuxer raw --input-res 176x120 --fps 25 "
                     "--interlaced --bframes 0 -o {} -");
  std::vector<Bytes> units = AccessUnits(ReadFile(file), false);
  ASSERT_FALSE(units.empty());
  int32_t w = 0, h = 0;
  ASSERT_TRUE(H264SpsPictureSize(units[0].data(), uint32_t(units[0].size()), &w, &h));
  EXPECT_EQ(w, 176);
  EXPECT_EQ(h, 128);
  ASSERT_TRUE(H264SpsPictureSize(units[0].data(), uint32_t(units[0].size()), &w, &h, true));
  EXPECT_EQ(h, 120);
  // HEVC: the size and the picture buffer the SPS asks for.
  std::vector<Bytes> hevc = AccessUnits(ReadFile(HevcManyRefs()), true);
  const uint8_t* sps =
      FindBytePattern(uint32_t(hevc[0].size()), hevc[0].data(), (const uint8_t*)"\0\0\0\1\x42", 5);
  ASSERT_NE(sps, nullptr);
  int32_t refs = 0;
  ASSERT_TRUE(HevcSpsPictureSize(uint32_t(hevc[0].data() + hevc[0].size() - sps), sps, &w, &h, &refs));
  EXPECT_EQ(w, 200);
  EXPECT_EQ(h, 120);
  EXPECT_GT(refs, 4);
  // Every prefix of a parameter set is read within its length.
  for (uint32_t n = 0; n < units[0].size(); ++n) {
    Bytes prefix(units[0].begin(), units[0].begin() + n);
    H264SpsPictureSize(prefix.data(), n, &w, &h, true);
    HevcSpsPictureSize(n, prefix.data(), &w, &h, &refs);
    JpegGetSofSize(prefix.data(), n, &w, &h);
  }
  // A scaling-list delta far outside -128..127 is refused, not summed into an overflow.
  const Bytes hostile = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x0a, 0xff, 0x08, 0, 0, 0, 0, 0xff, 0xff, 0xff};
  EXPECT_FALSE(H264SpsPictureSize(hostile.data(), uint32_t(hostile.size()), &w, &h, true));
  Bytes jpeg = mt::SplitJpeg(ReadFile(mt::MjpegStream(3, 96, 64)))[0];
  JpegGetSofSize(jpeg.data(), uint32_t(jpeg.size()), &w, &h);
  EXPECT_EQ(w, 96);
  EXPECT_EQ(h, 64);
  for (uint32_t n = 0; n < 200; ++n) {
    Bytes prefix(jpeg.begin(), jpeg.begin() + n);
    JpegGetSofSize(prefix.data(), n, &w, &h);
  }
}

// A size change in a new SPS re-creates the engine; the same size keeps it.
TEST(DecodeFront, EngineRecreatedOnSizeChange) {
  Sink s;
  uint32_t ts = 0;
  for (const Bytes& au : AccessUnits(ReadFile(mt::H264Stream(4, 2, 176, 144)), false))
    s.Frame(1, ts += 40, au);
  CVideoDecDDraw* d = s.sink->ChannelDecoder(0);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Decoder().EnginesMade(), 1);
  // Less than a macroblock smaller: the same engine, pictures of the new size.
  for (const Bytes& au : AccessUnits(ReadFile(mt::H264Stream(4, 2, 170, 140)), false))
    s.Frame(1, ts += 40, au);
  VideoPicture cropped;
  ASSERT_TRUE(d->GetLastPicture(&cropped));
  EXPECT_EQ(cropped.width, 170);
  EXPECT_EQ(cropped.height, 140);
  EXPECT_EQ(d->Decoder().EnginesMade(), 1);
  std::vector<Bytes> bigger = AccessUnits(ReadFile(mt::H264Stream(4, 4, 320, 240)), false);
  std::vector<Bytes> ref = Reference(mt::H264Stream(4, 4, 320, 240), 320, 240);
  size_t shown = 0;
  for (size_t i = 0; i < bigger.size(); ++i) {
    s.Frame(1, ts += 40, bigger[i]);
    VideoPicture p;
    if (!d->GetLastPicture(&p)) continue;
    ASSERT_EQ(p.width, 320);
    EXPECT_TRUE(Packed(p) == ref[shown]) << shown;
    ++shown;
  }
  EXPECT_GE(shown, 2u);
  EXPECT_EQ(d->Decoder().EnginesMade(), 2);
  // The codec changes on the same channel: the engine is switched.
  for (const Bytes& au : AccessUnits(ReadFile(HevcManyRefs()), true)) s.Frame(13, ts += 40, au);
  EXPECT_EQ(d->Decoder().Codec(), kVideoCodecHevc);
}

// Replacing the engine on a size change waits while another thread holds the media lock.
TEST(DecodeFront, EngineReplacedUnderMediaLock) {
  std::vector<Bytes> small = AccessUnits(ReadFile(mt::H264Stream(2, 2, 176, 144)), false);
  std::vector<Bytes> big = AccessUnits(ReadFile(mt::H264Stream(2, 2, 320, 240)), false);
  CVideoDecoder dec;
  dec.SetCodec(kVideoCodecH264);
  VideoPicture p;
  ASSERT_TRUE(dec.Decode(small[0].data(), uint32_t(small[0].size()), &p));
  std::atomic<bool> done{false};
  std::unique_lock<std::recursive_mutex> held(MediaLock());
  std::thread media([&] {
    dec.Decode(big[0].data(), uint32_t(big[0].size()), &p);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(done.load());
  held.unlock();
  media.join();
  EXPECT_TRUE(done.load());
  EXPECT_EQ(dec.EnginesMade(), 2);
}

// A greyscale JPEG (one component), which the front does not turn into a picture.
Bytes GreyJpeg(int w, int h) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = JDIMENSION(w);
  c.image_height = JDIMENSION(h);
  c.input_components = 1;
  c.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&c);
  jpeg_start_compress(&c, TRUE);
  Bytes row(size_t(w), 0x80);
  for (int y = 0; y < h; ++y) {
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  Bytes jpeg(out, out + size);
  jpeg_destroy_compress(&c);
  std::free(out);
  return jpeg;
}

// The first NAL unit of a packet, with its start code.
Bytes FirstNal(const Bytes& au) {
  const uint8_t* next = FindBytePattern(uint32_t(au.size() - 4), au.data() + 4, au.data(), 4);
  return Bytes(au.begin(), next ? au.begin() + (next - au.data()) : au.end());
}

struct StaleCase {
  const char* name;
  uint32_t firstCodec;
  std::vector<Bytes> (*first)();
  uint32_t nextCodec;
  Bytes (*next)();
  bool accepted;  // what Decode says of the next frame
  bool kept;      // whether the channel still has its last picture
};

std::vector<Bytes> H264Frames() { return AccessUnits(ReadFile(mt::H264Stream(3, 3, 176, 144)), false); }
std::vector<Bytes> MjpegFrames() { return mt::SplitJpeg(ReadFile(mt::MjpegStream(1, 96, 64))); }
Bytes HevcPFrame() { return AccessUnits(ReadFile(mt::HevcStream(3, 3, 176, 144)), true).back(); }
Bytes HevcVpsOnly() { return FirstNal(AccessUnits(ReadFile(mt::HevcStream(3, 3, 176, 144)), true)[0]); }
Bytes Grey() { return GreyJpeg(64, 48); }
// An SPS of another size, which re-creates the engine, then a slice that gives no picture.
Bytes NewSpsThenBadSlice() {
  Bytes au = AccessUnits(ReadFile(mt::HevcStream(2, 2, 320, 240)), true)[0];
  const uint8_t sps[5] = {0, 0, 0, 1, 0x42};
  const uint8_t* at = FindBytePattern(uint32_t(au.size()), au.data(), sps, 5);
  Bytes b = FirstNal(Bytes(au.begin() + (at - au.data()), au.end()));
  b.insert(b.end(), {0, 0, 0, 1, 0x02, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  return b;
}
std::vector<Bytes> HevcFrames() { return AccessUnits(ReadFile(mt::HevcStream(3, 3, 176, 144)), true); }
Bytes NoStartCode() { return {0x65, 1, 2, 3, 4, 5}; }

class StalePicture : public ::testing::TestWithParam<StaleCase> {};

// A channel's last picture lives only as long as the engine and buffer that hold its planes: after the next
// frame the channel has it still (a refused frame) or has none, and a snapshot never reads freed planes.
TEST_P(StalePicture, LastPictureOnlyWhileItsPlanesLive) {
  const StaleCase& c = GetParam();
  mt::TempDir dir;
  Sink s;
  uint32_t ts = 0;
  for (const Bytes& f : c.first()) s.Frame(c.firstCodec, ts += 40, f);
  CVideoDecDDraw* d = s.sink->ChannelDecoder(0);
  ASSERT_NE(d, nullptr);
  VideoPicture p;
  ASSERT_TRUE(d->GetLastPicture(&p));
  Bytes next = c.next();
  s.Frame(c.nextCodec, ts += 40, next);
  EXPECT_EQ(d->GetLastPicture(&p), c.kept);
  std::string shot = dir / "shot.jpg";
  EXPECT_EQ(AvRenderOpsTable().Snapshot(shot.c_str(), s.sink), c.kept && c.firstCodec != kVideoCodecMjpeg);
  // The decoder alone: a picture record left from the earlier frame is not handed back as valid.
  CVideoDecoder dec;
  dec.SetCodec(int32_t(c.firstCodec));
  VideoPicture q;
  for (const Bytes& f : c.first()) dec.Decode(f.data(), uint32_t(f.size()), &q);
  ASSERT_TRUE(q.valid);
  if (c.nextCodec != c.firstCodec) {
    dec.Close();
    dec.SetCodec(int32_t(c.nextCodec));
  }
  EXPECT_EQ(dec.Decode(next.data(), uint32_t(next.size()), &q), c.accepted);
  EXPECT_FALSE(q.valid);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, StalePicture,
    ::testing::Values(StaleCase{"h264_then_hevc_p_frame", 1, H264Frames, 13, HevcPFrame, false, false},
                      StaleCase{"h264_then_hevc_vps_only", 1, H264Frames, 13, HevcVpsOnly, true, false},
                      StaleCase{"mjpeg_then_hevc_vps_only", 12, MjpegFrames, 13, HevcVpsOnly, true, false},
                      StaleCase{"mjpeg_then_greyscale_jpeg", 12, MjpegFrames, 12, Grey, true, false},
                      StaleCase{"hevc_new_size_then_bad_slice", 13, HevcFrames, 13, NewSpsThenBadSlice, true, false},
                      StaleCase{"h264_refused_frame_keeps_picture", 1, H264Frames, 1, NoStartCode, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Sink, SnapshotKeepsEveryRowAndFailsWithoutPicture) {
  mt::TempDir dir;
  Sink s;
  EXPECT_FALSE(AvRenderOpsTable().Snapshot((dir / "none.jpg").c_str(), s.sink));
  EXPECT_FALSE(std::filesystem::exists(dir / "none.jpg"));
  std::string file = mt::H264Stream(3, 3, 1920, 1080);
  uint32_t ts = 0;
  for (const Bytes& au : AccessUnits(ReadFile(file), false)) s.Frame(1, ts += 40, au);
  VideoPicture shown;
  ASSERT_TRUE(s.sink->ChannelDecoder(0)->GetLastPicture(&shown));
  std::vector<Bytes> ref = Reference(file, 1920, 1080);
  size_t index = 0;
  while (index < ref.size() && !(Packed(shown) == ref[index])) ++index;
  ASSERT_LT(index, ref.size());
  std::string shot = dir / "shot.jpg";
  ASSERT_TRUE(AvRenderOpsTable().Snapshot(shot.c_str(), s.sink));
  EXPECT_EQ(Probe(shot, "stream=codec_name,width,height"), "mjpeg,1920,1080\n");
  // The bottom band of the JPEG matches the picture.
  std::string jpegY = mt::Shell("ffmpeg -v error -i '" + shot + "' -f rawvideo -pix_fmt gray -");
  ASSERT_EQ(jpegY.size(), size_t(1920) * 1080);
  long diff = 0;
  for (size_t i = size_t(1920) * 1064; i < size_t(1920) * 1080; ++i)
    diff += std::abs(int(uint8_t(jpegY[i])) - ref[index][i]);
  EXPECT_LT(double(diff) / (1920 * 16), 4.0);
  // An unwritable path writes nothing and says so.
  EXPECT_FALSE(AvRenderOpsTable().Snapshot((dir / "no/such/dir.jpg").c_str(), s.sink));
  // MJPEG pictures are packed RGB: no snapshot.
  for (const Bytes& f : mt::SplitJpeg(ReadFile(mt::MjpegStream(3, 96, 64)))) s.Frame(12, 80, f);
  EXPECT_FALSE(AvRenderOpsTable().Snapshot((dir / "mjpeg.jpg").c_str(), s.sink));
}

TEST(Sink, RecordingAcceptedByFfmpegAndSoundReachesPlayer) {
  mt::TempDir dir;
  Sink s;
  std::string mp4 = dir / "rec.mp4";
  ASSERT_EQ(AvRenderOpsTable().StartRecord(mp4.c_str(), s.sink), 0);
  EXPECT_TRUE(AvRenderOpsTable().IsRecording(s.sink));
  std::vector<Bytes> units = AccessUnits(ReadFile(mt::H264Stream(25, 25, 176, 144)), false);
  Bytes pcm(640);
  for (size_t i = 0; i < pcm.size() / 2; ++i) {
    int16_t v = int16_t(8000 * std::sin(i * 0.3));
    std::memcpy(&pcm[i * 2], &v, 2);
  }
  Bytes alaw(320);
  for (size_t i = 0; i < alaw.size(); ++i) {
    int16_t v;
    std::memcpy(&v, &pcm[i * 2], 2);
    alaw[i] = G711LinearToAlaw(v);
  }
  // Audio before the first video only makes the player.
  s.Frame(2, 0, alaw, 0);
  ASSERT_NE(s.sink->AudioPlayer(), nullptr);
  uint32_t ts = 1000;
  for (const Bytes& au : units) {
    s.Frame(1, ts, au, (au[4] & 0x1F) == 7 ? 1 : 0);
    s.Frame(2, ts, alaw, 0);
    ts += 40;
  }
  ASSERT_TRUE(s.sink->AudioPlayer()->IsOpen());
  EXPECT_GT(s.sink->AudioPlayer()->QueuedBytes(), 0u);  // a second of sound waits in the pacer
  AvRenderOpsTable().Mute(s.sink);
  EXPECT_TRUE(AvRenderOpsTable().IsMuted(s.sink));
  AvRenderOpsTable().Unmute(s.sink);
  AvRenderOpsTable().StopRecord(s.sink);
  EXPECT_FALSE(AvRenderOpsTable().IsRecording(s.sink));
  std::string streams = Probe(mp4, "stream=codec_name,width,height");
  EXPECT_NE(streams.find("h264,176,144"), std::string::npos) << streams;
  int status = 0;
  std::string errors = mt::Shell("ffmpeg -v error -i '" + mp4 + "' -f null - 2>&1", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(errors, "");
  std::string frames = mt::Shell(
      "ffprobe -v error -count_frames -select_streams v -show_entries "
      "stream=nb_read_frames -of csv=p=0 '" +
      mp4 + "'");
  EXPECT_EQ(frames, "25\n");
  // A failed open is returned as it is.
  EXPECT_NE(AvRenderOpsTable().StartRecord((dir / "no/such/rec.mp4").c_str(), s.sink), 0);
  AvRenderOpsTable().OnStreamStop(2, s.sink);
  EXPECT_EQ(s.sink->AudioPlayer(), nullptr);
}

// Frames with B-frames come in decode order carrying their presentation times: the recording shows them in
// presentation order at an even pace.
TEST(Sink, RecordingOfReorderedFramesKeepsPresentationTimes) {
  std::string mkv =
      mt::Cached("x264_bframes2_176x144.mkv",
                 "ffmpeg -v error -f lavfi -i testsrc=size=176x144:rate=25 -frames:v 20 -c:v libx264 "
                 "-bf 2 -x264-params b-adapt=0 -g 20 -f matroska {}");
  std::string es = mt::Cached("x264_bframes3_176x144.264",
                              "ffmpeg -v error -i '" + mkv +
                                  "' -c copy -bsf:v h264_mp4toannexb,filter_units=remove_types=6 -f h264 {}");
  std::string ptsList =
      mt::Shell("ffprobe -v error -select_streams v -show_entries packet=pts -of csv=p=0 '" + mkv + "'");
  std::vector<uint32_t> pts;
  for (size_t at = 0; at < ptsList.size();) {
    size_t nl = ptsList.find('\n', at);
    if (nl == std::string::npos) nl = ptsList.size();
    if (nl > at) pts.push_back(uint32_t(std::stoul(ptsList.substr(at, nl - at))));
    at = nl + 1;
  }
  std::vector<Bytes> units = AccessUnits(ReadFile(es), false);
  ASSERT_EQ(units.size(), pts.size());
  ASSERT_FALSE(std::is_sorted(pts.begin(), pts.end()));  // the stream is reordered
  mt::TempDir dir;
  Sink s;
  std::string mp4 = dir / "b.mp4";
  ASSERT_EQ(AvRenderOpsTable().StartRecord(mp4.c_str(), s.sink), 0);
  for (size_t i = 0; i < units.size(); ++i) s.Frame(1, 1000 + pts[i], units[i], i == 0 ? 1 : 0);
  AvRenderOpsTable().StopRecord(s.sink);
  int status = 0;
  EXPECT_EQ(mt::Shell("ffmpeg -v error -i '" + mp4 + "' -f null - 2>&1", &status), "");
  EXPECT_EQ(status, 0);
  std::string times =
      mt::Shell("ffprobe -v error -select_streams v -show_entries frame=pts -of csv=p=0 '" + mp4 + "'");
  std::vector<long> shown;
  for (size_t at = 0; at < times.size();) {
    size_t nl = times.find('\n', at);
    if (nl == std::string::npos) nl = times.size();
    if (nl > at) shown.push_back(std::stol(times.substr(at, nl - at)));
    at = nl + 1;
  }
  ASSERT_EQ(shown.size(), 20u) << times;
  std::string timescale = Probe(mp4, "stream=time_base");
  for (size_t i = 1; i < shown.size(); ++i) EXPECT_GT(shown[i], shown[i - 1]) << i << " " << timescale;
  // Every frame 40 ms after the one before (in the track's time base).
  long step = shown[1] - shown[0];
  for (size_t i = 1; i < shown.size(); ++i) EXPECT_EQ(shown[i] - shown[i - 1], step) << i;
}

TEST(Sink, EventsRoutedInOrder) {
  AvSetEventPoster(Record);
  TakePosted();
  {
    Sink live;  // no second window
    for (int e : {2, 9, 12, -10005, 10, 25}) AvRenderOpsTable().OnEvent(e, 7, live.sink);
    EXPECT_EQ(TakePosted(), (std::vector<Posted>{{0x100, kAvEventMessage, 2, 7},
                                                 {0x100, kAvEventMessage, 12, 7},
                                                 {0x100, kAvEventMessage, -10005, 7},
                                                 {0x100, kAvEventMessage, 25, 7}}));
    Sink noMessage(1, 0x200, 0);
    AvRenderOpsTable().OnEvent(9, 1, noMessage.sink);
    EXPECT_TRUE(TakePosted().empty());
    Sink playback(1, 0x200, 0x401);
    for (int e : {9, 1, 10, 7}) AvRenderOpsTable().OnEvent(e, 3, playback.sink);
    EXPECT_EQ(TakePosted(), (std::vector<Posted>{{0x200, 0x401, 9, 3},
                                                 {0x100, kAvEventMessage, 1, 3},
                                                 {0x200, 0x401, 10, 3},
                                                 {0x200, 0x401, 7, 3}}));
    // Codec 10 cannot be decoded here: one error event for the channel.
    Bytes jif = {0xFF, 1, 2, 3};
    live.Frame(10, 0, jif);
    live.Frame(10, 40, jif);
    EXPECT_EQ(TakePosted(), (std::vector<Posted>{{0x100, kAvEventMessage, kAvEventNotDecodable, 10}}));
    // Frames of a channel beyond the targets are ignored.
    live.Frame(3u << 16 | 1, 0, jif);
    EXPECT_EQ(live.sink->ChannelDecoder(3), nullptr);
  }
  AvSetEventPoster(nullptr);
}

// Every codec the device link's wire mapping gives is video or audio, never both, and the sink takes each
// audio one as sound: its first frame makes the audio player and its stream stop ends it.
TEST(Sink, EveryWireCodecIsVideoOrAudio) {
  Sink s;
  int audio = 0;
  for (int wire = 0; wire < 256; ++wire) {
    int codec = WireCodecToMediaCodec(wire);
    if (codec == 0) continue;
    EXPECT_NE(IsVideoCodec(codec), IsAudioCodec(codec)) << codec;
    if (!IsAudioCodec(codec)) continue;
    ++audio;
    s.Frame(uint32_t(codec), 0, Bytes(160, 0xD5));
    EXPECT_NE(s.sink->AudioPlayer(), nullptr) << codec;
    AvRenderOpsTable().OnStreamStop(uint32_t(codec), s.sink);
    EXPECT_EQ(s.sink->AudioPlayer(), nullptr) << codec;
  }
  EXPECT_EQ(audio, 7);  // 2, 51, 52, 53, 55, 59, 60
}

TEST(Sink, ChannelSwapMovesPictures) {
  Sink s(2);
  std::vector<Bytes> small = AccessUnits(ReadFile(mt::H264Stream(2, 2, 176, 144)), false);
  std::vector<Bytes> big = AccessUnits(ReadFile(mt::H264Stream(2, 2, 320, 240)), false);
  AvRenderOpsTable().SwapChannels(0, 1, s.sink);  // no decoders yet: nothing
  for (size_t i = 0; i < 2; ++i) {
    s.Frame(0u << 16 | 1, uint32_t(i * 40), small[i]);
    s.Frame(1u << 16 | 1, uint32_t(i * 40), big[i]);
  }
  QWidget* w0 = s.pane.widgets[0].get();
  QWidget* w1 = s.pane.widgets[1].get();
  CVideoDecDDraw* d0 = s.sink->ChannelDecoder(0);
  CVideoDecDDraw* d1 = s.sink->ChannelDecoder(1);
  ASSERT_NE(d0->RendererOf(w0), nullptr);
  AvRenderOpsTable().SwapChannels(1, 1, s.sink);
  EXPECT_NE(d0->RendererOf(w0), nullptr);
  AvRenderOpsTable().SwapChannels(0, 1, s.sink);
  EXPECT_EQ(d0->RendererOf(w0), nullptr);
  ASSERT_NE(d0->RendererOf(w1), nullptr);
  ASSERT_NE(d1->RendererOf(w0), nullptr);
  // The next pictures go to the swapped windows.
  std::vector<Bytes> small2 = AccessUnits(ReadFile(mt::H264Stream(2, 2, 176, 144)), false);
  s.Frame(0u << 16 | 1, 80, small2[0]);
  s.Frame(1u << 16 | 1, 80, big[0]);
  EXPECT_EQ(d0->RendererOf(w1)->PictureWidth(), 176);
  EXPECT_EQ(d1->RendererOf(w0)->PictureWidth(), 320);
  // A stream stop removes the channel's windows and decoder.
  AvRenderOpsTable().OnStreamStop(1u << 16 | 1, s.sink);
  EXPECT_EQ(s.sink->ChannelDecoder(1), nullptr);
}

// The sink as sessions drive it: two video slots and the audio slot deliver frames on their own threads while
// the window's thread snapshots, swaps the channels, mutes, sets the volume and display mode and records.
TEST(Sink, FramesFromSlotThreadsWhileTheWindowActs) {
  mt::TempDir dir;
  Sink s(2);
  std::vector<Bytes> small = AccessUnits(ReadFile(mt::H264Stream(25, 25, 176, 144)), false);
  std::vector<Bytes> big = AccessUnits(ReadFile(mt::H264Stream(25, 25, 320, 240)), false);
  std::atomic<bool> run{true};
  auto video = [&](uint32_t channel, const std::vector<Bytes>& units) {
    uint32_t ts = 0;
    for (int round = 0; run; ++round)
      for (size_t i = 0; i < units.size() && run; ++i) s.Frame(channel << 16 | 1, ts += 40, units[i], i == 0);
  };
  std::thread v0(video, 0, std::cref(small));
  std::thread v1(video, 1, std::cref(big));
  std::thread audio([&] {
    for (uint32_t ts = 0; run; ts += 40) {
      s.Frame(2, ts, Bytes(320, 0xD5), 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  int shots = 0;
  for (int i = 0; i < 40; ++i) {
    std::string shot = dir / ("shot" + std::to_string(i) + ".jpg");
    shots += AvRenderOpsTable().Snapshot(shot.c_str(), s.sink);
    if (i % 8 == 3) AvRenderOpsTable().SwapChannels(0, 1, s.sink);
    if (i % 2) {
      AvRenderOpsTable().Mute(s.sink);
    } else {
      AvRenderOpsTable().Unmute(s.sink);
    }
    float volume = 0.5f + float(i % 2) / 2;
    int32_t mode = i % 2 ? kDisplayStretch : kDisplayAspect;
    s.sink->SetParam(kAvParamVolume, &volume);
    s.sink->SetParam(kAvParamDisplayMode, &mode);
    if (i % 10 == 0) AvRenderOpsTable().StartRecord((dir / ("rec" + std::to_string(i) + ".mp4")).c_str(), s.sink);
    if (i % 10 == 5) AvRenderOpsTable().StopRecord(s.sink);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  run = false;
  v0.join();
  v1.join();
  audio.join();
  EXPECT_GT(shots, 0);
  EXPECT_NE(s.sink->AudioPlayer(), nullptr);
}

TEST(DecodeDraw, WindowLimits) {
  Pane pane(1);
  std::vector<std::unique_ptr<QWidget>> more;
  CVideoDraw draw(pane.widgets[0].get());
  EXPECT_FALSE(draw.AddWindow(pane.widgets[0].get()));
  for (int i = 0; i < 4; ++i) {
    more.push_back(std::make_unique<QWidget>());
    EXPECT_TRUE(draw.AddWindow(more.back().get()));
  }
  more.push_back(std::make_unique<QWidget>());
  EXPECT_FALSE(draw.AddWindow(more.back().get()));
  EXPECT_FALSE(draw.AddWindow(nullptr));
  EXPECT_EQ(draw.RendererCount(), 5);
  draw.RemoveAll();
  EXPECT_EQ(draw.RendererCount(), 0);
}

}  // namespace

int main(int argc, char** argv) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  ::testing::InitGoogleTest(&argc, argv);
  rt::App();
  return RUN_ALL_TESTS();
}
