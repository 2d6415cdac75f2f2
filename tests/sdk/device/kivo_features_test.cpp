// The features reply and the zoom descriptor.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "sdk/device/kivo_p2p.h"
#include "util/log.h"

namespace {

DeviceFeatures Parse(const std::string& feature, const std::string& setting = "{}") {
  const std::string text = "{\"feature\":" + feature + ",\"setting\":" + setting + "}";
  DeviceFeatures f;
  EXPECT_TRUE(ParseDeviceFeatures(text.c_str(), static_cast<int>(text.size()), &f)) << text;
  return f;
}

TEST(KivoFeatures, DefaultsAndNonJson) {
  DeviceFeatures f;
  EXPECT_FALSE(ParseDeviceFeatures("not json", 8, &f));
  EXPECT_EQ(f.one, 1u);
  EXPECT_EQ(f.channel_count, 1u);
  EXPECT_EQ(f.combined_streams, 1u);
  EXPECT_EQ(f.audio_rate, 8000u);
  EXPECT_EQ(f.audio_bits, 16);
  EXPECT_EQ(f.audio_channels, 1);
  EXPECT_EQ(f.audio_codec, 2u);
  EXPECT_EQ(f.zoom.lens_count, 0u);  // the defaults zero the descriptor
  f = Parse("{}");
  EXPECT_STREQ(f.device_type, "wifi");
}

TEST(KivoFeatures, Keys) {
  DeviceFeatures f = Parse(R"({"MultiChannels":"2,independ","SupportPTZ":["yes","absolute"]})");
  EXPECT_EQ(f.channel_count, 2u);
  EXPECT_EQ(f.combined_streams, 0u);
  EXPECT_EQ(f.ptz, 1u | 2u << 2);
  EXPECT_EQ(Parse(R"({"MultiChannels":"0"})").channel_count, 1u);
  EXPECT_EQ(Parse(R"({"SupportPTZ":"Hybrid"})").ptz, 3u);
  // A channel count past the 32 channel bits never shifts past bit 31.
  f = Parse(R"({"MultiChannels":"99","AutoTracking":"yes","DoubleLight":"Yes,Dim","SupportPTZ":"yes"})");
  EXPECT_EQ(f.channel_count, 32u);
  EXPECT_EQ(f.auto_tracking, 0xFFFFFFFFu);
  EXPECT_EQ(f.ptz, 0x55555555u);
  EXPECT_EQ(f.double_light, 03333333333u);

  f = Parse(R"({"AudioFmt":"g711a:16000:16:1"})");
  EXPECT_EQ(f.audio_codec, 2u);
  EXPECT_EQ(f.audio_rate, 16000u);
  EXPECT_EQ(f.audio_bits, 16);
  EXPECT_EQ(f.audio_channels, 1);
  EXPECT_EQ(Parse(R"({"AudioFmt":"aac:44100"})").audio_codec, 2u);

  f = Parse(R"({"MultiChannels":"2","Microphone":["no","YES"],"AutoTracking":"Yes","DoubleLight":["Timer","Yes,Dim"]})");
  EXPECT_EQ(f.microphone, 2u);
  EXPECT_EQ(f.auto_tracking, 3u);
  EXPECT_EQ(f.double_light, 5u | 3u << 3);

  f = Parse(R"({"ExtInstructions":["pbrate,status-led","ipconfig"]})");
  EXPECT_EQ(f.ext_instructions, EXT_PBRATE | EXT_STATUS_LED | EXT_IPCONFIG);
  EXPECT_EQ(Parse(R"({"ExtInstructions":"close-device alarmtone"})").ext_instructions, EXT_CLOSE_DEVICE | EXT_ALARMTONE);

  f = Parse(R"({"Screen":"h264:1920x0"})");
  EXPECT_EQ(f.screen_codec, 0u);
  f = Parse(R"({"Screen":"mjpg:320x240:x:cw90"})");
  EXPECT_EQ(f.screen_codec, 12u);
  EXPECT_EQ(f.screen_width, 320u);
  EXPECT_EQ(f.screen_height, 240u);
  EXPECT_EQ(f.screen_rotation, 1u);

  const struct {
    const char* feature;
    const char* type;
  } types[] = {
      {R"({"4G":"yes","DeviceType":"driverec"})", "drsim"}, {R"({"4G":{},"BatteryCam":"Dormant"})", "lpsim"},
      {R"({"4G":"1"})", "sim"},                             {R"({"DeviceType":"DriveRec"})", "drwifi"},
      {R"({"BatteryCam":"yes"})", "lpwifi"},                {R"({"4G":""})", "wifi"},
      {R"({"D":"a-very-long-device-type-text"})", "a-very-long-dev"},
  };
  for (const auto& t : types) EXPECT_STREQ(Parse(t.feature).device_type, t.type) << t.feature;
  EXPECT_EQ(Parse(R"({"DeviceType":"doorbell"})").device_kind, 2u);
  EXPECT_EQ(Parse("{}", R"({"SDTotal":"12.5"})").sd_card, 1u);
  EXPECT_EQ(Parse("{}", R"({"SDTotal":0})").sd_card, 0u);
  EXPECT_EQ(Parse("{}", R"({"SDTotal":3})").sd_card, 1u);
}

TEST(KivoFeatures, ZoomDescriptor) {
  ZoomDesc z;
  ASSERT_EQ(ParseZoomDesc("2lenses;times:W1.0F2.8,T3.0F8.0", &z, 0), 1);
  EXPECT_EQ(z.lens_count, 2u);
  EXPECT_EQ(z.lens_used, 2u);
  EXPECT_EQ(z.lens[0].kind, 0u);
  EXPECT_EQ(z.lens[1].kind, 1u);
  EXPECT_FLOAT_EQ(z.lens[0].zoom, 1.0f);
  EXPECT_FLOAT_EQ(z.lens[1].zoom, 3.0f);
  EXPECT_FLOAT_EQ(z.lens[0].focal, 2.8f);
  EXPECT_FLOAT_EQ(z.lens[1].focal, 8.0f);
  EXPECT_FLOAT_EQ(z.zoom_product, 3.0f);
  EXPECT_NEAR(z.focal_product, 22.4f, 1e-4);
  EXPECT_EQ(z.step_mode, 0u);
  EXPECT_EQ(z.step_total, 3u);

  EXPECT_EQ(ParseZoomDesc("times:L1.0/10,E2.0", &z, 0), 0);  // steps on one lens only
  ASSERT_EQ(ParseZoomDesc("times:L1.0/10@(x)F4,S2.0/20", &z, 0), 1);
  EXPECT_EQ(z.lens[1].kind, 2u);
  EXPECT_FLOAT_EQ(z.lens[0].focal, 4.0f);
  EXPECT_EQ(z.step_mode, 3u);
  EXPECT_EQ(z.step_total, 10u + 20u - 2u + 1u);
  ASSERT_EQ(ParseZoomDesc("times:W1.0, T2.0, T4.0, 12", &z, 0), 1);
  EXPECT_EQ(z.lens_used, 3u);
  EXPECT_EQ(z.step_total, 12u);
  ASSERT_EQ(ParseZoomDesc("3lenses;times:unknown", &z, 0), 1);
  EXPECT_EQ(z.lens_count, 1u);
  // Refused in the feature reply: the descriptor is zeroed.
  DeviceFeatures f = Parse(R"({"Cap-Zoom":"times:L1.0/10,E2.0"})");
  ZoomDesc zero{};
  EXPECT_EQ(std::memcmp(&f.zoom, &zero, sizeof(zero)), 0);
}

// The refusal of a descriptor whose lenses mix steps goes to the log, not to the standard output of
// whatever program uses the library.
TEST(KivoFeatures, AMixedStepsRefusalIsLoggedNotPrinted) {
  const std::string path = ::testing::TempDir() + "kivo_features_log.txt";
  LogOpen(kLogToFile, path.c_str(), 1 << 20);
  ::testing::internal::CaptureStdout();
  ZoomDesc z;
  const int r = ParseZoomDesc("times:L1.0/10,E2.0", &z, 0);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  LogOpen(kLogToConsole, nullptr, 0);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(printed, "");
  std::ifstream in(path);
  const std::string logged((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(logged.find("[ParseZoomDesc] Should set or not set nSteps for all ZOOMDESC"), std::string::npos)
      << logged;
  std::remove(path.c_str());
}

}  // namespace
