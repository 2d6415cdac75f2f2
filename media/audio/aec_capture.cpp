#include "media/audio/aec_capture.h"

#include <SDL2/SDL.h>
#include <sys/socket.h>
#include <unistd.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>

#include "media/audio/alsa_errors.h"
#include "media/audio/sdl_audio_player.h"
#include "media/mp4/mp4_recorder.h"

// ---- far-end reference ----

namespace {

struct FarEnd {
  std::mutex lock;
  int rate = 0;  // capture rate; 0 while no capture runs
  double phase = 0;
  std::deque<int16_t> samples;
};

FarEnd& Far() {
  static FarEnd far;
  return far;
}

void FarEndStart(int rate) {
  FarEnd& f = Far();
  std::lock_guard<std::mutex> g(f.lock);
  f.rate = rate;
  f.phase = 0;
  f.samples.clear();
  SdlAudioPlayer::SetFarEndTap(AecFarEndPush);
}

void FarEndStop() {
  FarEnd& f = Far();
  SdlAudioPlayer::SetFarEndTap(nullptr);
  std::lock_guard<std::mutex> g(f.lock);
  f.rate = 0;
  f.samples.clear();
}

// Takes n samples of the reference; missing ones are silence.
void FarEndPop(int16_t* out, size_t n) {
  FarEnd& f = Far();
  std::lock_guard<std::mutex> g(f.lock);
  size_t have = std::min(n, f.samples.size());
  std::copy(f.samples.begin(), f.samples.begin() + static_cast<long>(have), out);
  f.samples.erase(f.samples.begin(), f.samples.begin() + static_cast<long>(have));
  std::fill(out + have, out + n, int16_t{0});
}

int SdlAudioUp() {
  static int state = (QuietAlsaErrors(), SDL_InitSubSystem(SDL_INIT_AUDIO) == 0 ? 1 : -1);
  return state;
}

}  // namespace

void AecFarEndPush(const int16_t* samples, uint32_t frames, int rate, int channels) {
  FarEnd& f = Far();
  std::lock_guard<std::mutex> g(f.lock);
  if (f.rate == 0 || rate <= 0 || channels <= 0 || !samples) return;
  // Mono, resampled to the capture rate by nearest sample.
  double step = static_cast<double>(rate) / f.rate;
  for (; f.phase < frames; f.phase += step) {
    size_t i = static_cast<size_t>(f.phase);
    int32_t sum = 0;
    for (int c = 0; c < channels; ++c) sum += samples[i * channels + c];
    f.samples.push_back(static_cast<int16_t>(sum / channels));
  }
  f.phase -= frames;
  size_t most = static_cast<size_t>(f.rate);  // one second
  if (f.samples.size() > most) f.samples.erase(f.samples.begin(), f.samples.end() - static_cast<long>(most));
}

// ---- the capture device ----

struct CAecMicArrayCapture::Engine {
  SDL_AudioDeviceID device = 0;
  std::unique_ptr<webrtc::AudioProcessing> apm;
  std::vector<int16_t> nearCarry;
};

CAecMicArrayCapture::CAecMicArrayCapture() : readBuffer_(32000) {}

CAecMicArrayCapture::~CAecMicArrayCapture() { Close(); }

int32_t CAecMicArrayCapture::AddRef() { return ++refs_; }

int32_t CAecMicArrayCapture::Release() {
  int32_t n = --refs_;
  if (n == 0) delete this;
  return n;
}

void CAecMicArrayCapture::Close() {
  Stop();
  if (engine_) {
    if (engine_->device) SDL_CloseAudioDevice(engine_->device);
    engine_.reset();
    FarEndStop();
  }
  openedCapture_ = openedRender_ = -2;
}

int CAecMicArrayCapture::EnumDevices() {
  captureNames_.clear();
  renderNames_.clear();
  if (SdlAudioUp() < 0) return 0;
  for (int capture = 0; capture < 2; ++capture) {
    int n = SDL_GetNumAudioDevices(capture);
    for (int i = 0; i < n; ++i) {
      const char* name = SDL_GetAudioDeviceName(i, capture);
      (capture ? captureNames_ : renderNames_).push_back(name ? name : "");
    }
  }
  return 0;
}

int CAecMicArrayCapture::GetCaptureDeviceCount() { return static_cast<int>(captureNames_.size()); }
int CAecMicArrayCapture::GetRenderDeviceCount() { return static_cast<int>(renderNames_.size()); }

int CAecMicArrayCapture::GetCaptureDeviceName(int index, std::string* name) {
  if (index < 0 || index >= GetCaptureDeviceCount() || !name) return -1;
  *name = captureNames_[index];
  return 0;
}

int CAecMicArrayCapture::GetRenderDeviceName(int index, std::string* name) {
  if (index < 0 || index >= GetRenderDeviceCount() || !name) return -1;
  *name = renderNames_[index];
  return 0;
}

int CAecMicArrayCapture::SelectCaptureDeviceByName(const std::string& name) {
  for (size_t i = 0; i < captureNames_.size(); ++i)
    if (captureNames_[i] == name) {
      selectedCapture_ = static_cast<int>(i);
      return 0;
    }
  return -1;
}

int CAecMicArrayCapture::SelectRenderDeviceByName(const std::string& name) {
  for (size_t i = 0; i < renderNames_.size(); ++i)
    if (renderNames_[i] == name) {
      selectedRender_ = static_cast<int>(i);
      return 0;
    }
  return -1;
}

int CAecMicArrayCapture::SelectCaptureDevice(int index) {
  if (index < 0 || index >= GetCaptureDeviceCount()) return -1;
  selectedCapture_ = index;
  return 0;
}

int CAecMicArrayCapture::SelectRenderDevice(int index) {
  if (index < 0 || index >= GetRenderDeviceCount()) return -1;
  selectedRender_ = index;
  return 0;
}

void CAecMicArrayCapture::SetMode(int systemMode, int sampleRate) {
  if (systemMode == 0 || systemMode == 3 || systemMode == 4) systemMode_ = systemMode;
  if (sampleRate == 8000 || sampleRate == 11025 || sampleRate == 16000 || sampleRate == 22050)
    sampleRate_ = sampleRate;
}

bool CAecMicArrayCapture::DevicesChanged() {
  return selectedCapture_ != openedCapture_ || selectedRender_ != openedRender_;
}

int CAecMicArrayCapture::Open() {
  if (!DevicesChanged() && engine_) return 1;
  Stop();
  if (engine_) {
    if (engine_->device) SDL_CloseAudioDevice(engine_->device);
    engine_.reset();
  }
  openedCapture_ = openedRender_ = -2;
  // The echo canceller works at 8000 and 16000 Hz.
  if (sampleRate_ != 8000 && sampleRate_ != 16000) return -2;
  if (SdlAudioUp() < 0) return -3;
  auto engine = std::make_unique<Engine>();
  webrtc::Config config;
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
  engine->apm.reset(webrtc::AudioProcessing::Create(config));
  if (!engine->apm) return -4;
  if (engine->apm->echo_cancellation()->Enable(true) != 0 ||
      engine->apm->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kHighSuppression) !=
          0 ||
      engine->apm->noise_suppression()->set_level(webrtc::NoiseSuppression::kModerate) != 0 ||
      engine->apm->noise_suppression()->Enable(true) != 0)
    return -5;
  const char* name = nullptr;
  if (selectedCapture_ >= 0 && selectedCapture_ < GetCaptureDeviceCount())
    name = captureNames_[selectedCapture_].c_str();
  SDL_AudioSpec wanted{}, obtained{};
  wanted.freq = sampleRate_;
  wanted.format = AUDIO_S16SYS;
  wanted.channels = 1;
  wanted.samples = static_cast<Uint16>(sampleRate_ / 100);
  engine->device = SDL_OpenAudioDevice(name, 1, &wanted, &obtained, 0);
  if (engine->device == 0) return -6;
  engine_ = std::move(engine);
  FarEndStart(sampleRate_);
  openedCapture_ = selectedCapture_;
  openedRender_ = selectedRender_;
  return 0;
}

uint32_t CAecMicArrayCapture::Pull(uint8_t* out, uint32_t capacity) {
  if (!engine_) return 0;
  Engine& e = *engine_;
  uint32_t queued = SDL_GetQueuedAudioSize(e.device) & ~1u;
  std::vector<int16_t> in(queued / 2);
  if (queued) queued = SDL_DequeueAudio(e.device, in.data(), queued) & ~1u;
  in.resize(queued / 2);
  e.nearCarry.insert(e.nearCarry.end(), in.begin(), in.end());
  size_t frame = static_cast<size_t>(sampleRate_ / 100);
  uint32_t written = 0;
  size_t at = 0;
  std::vector<int16_t> far(frame);
  for (; at + frame <= e.nearCarry.size() && written + frame * 2 <= capacity; at += frame) {
    webrtc::AudioFrame f;
    f.sample_rate_hz_ = sampleRate_;
    f.num_channels_ = 1;
    f.samples_per_channel_ = frame;
    FarEndPop(far.data(), frame);
    std::memcpy(f.data_, far.data(), frame * 2);
    e.apm->AnalyzeReverseStream(&f);
    std::memcpy(f.data_, e.nearCarry.data() + at, frame * 2);
    e.apm->set_stream_delay_ms(0);
    e.apm->ProcessStream(&f);
    std::memcpy(out + written, f.data_, frame * 2);
    written += static_cast<uint32_t>(frame * 2);
  }
  e.nearCarry.erase(e.nearCarry.begin(), e.nearCarry.begin() + static_cast<long>(at));
  return written;
}

void CAecMicArrayCapture::ReadTick() {
  uint32_t total = Pull(readBuffer_.data(), static_cast<uint32_t>(readBuffer_.size()));
  if (total == 0) return;
  for (IAecCaptureEvent* sink : sinks_) sink->OnCapture(readBuffer_.data(), total, sampleRate_, 1);
}

int CAecMicArrayCapture::Read(uint8_t* buffer, uint32_t* length) {
  if (!buffer || !length) return -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  *length = Pull(buffer, *length);
  return 0;
}

int CAecMicArrayCapture::Start() {
  if (!engine_) return -1;
  if (running_) return 0;
  SDL_PauseAudioDevice(engine_->device, 0);
  running_ = true;
  timer_ = std::thread([this] {
    auto next = std::chrono::steady_clock::now();
    while (running_) {
      next += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next);
      ReadTick();
    }
  });
  return 0;
}

void CAecMicArrayCapture::Stop() {
  if (!running_) return;
  running_ = false;
  if (timer_.joinable()) timer_.join();
  if (engine_) SDL_PauseAudioDevice(engine_->device, 1);
}

int CAecMicArrayCapture::AddSink(IAecCaptureEvent* sink) {
  if (!sink) return -1;
  sinks_.insert(sink);
  return 0;
}

void CAecMicArrayCapture::RemoveSink(IAecCaptureEvent* sink) {
  if (sink)
    sinks_.erase(sink);
  else
    sinks_.clear();
}

// ---- fan-out ----

CaptureFanout::CaptureFanout() = default;
CaptureFanout::~CaptureFanout() { Close(); }

bool CaptureFanout::Open() {
  std::lock_guard<std::mutex> g(lock_);
  socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
  encode_.assign(1024, 0);
  carryCount_ = 0;
  return true;
}

void CaptureFanout::Close() {
  std::lock_guard<std::mutex> g(lock_);
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
  encode_.clear();
  groups_.clear();
  carryCount_ = 0;
}

bool CaptureFanout::AddTarget(IAudioTarget* target) {
  if (!target) return false;
  std::lock_guard<std::mutex> g(lock_);
  for (auto& group : groups_) {
    if (group.front()->Format() != target->Format()) continue;
    for (IAudioTarget* t : group)
      if (t->Matches(target)) return false;
    group.push_back(target);
    return true;
  }
  groups_.push_back({target});
  return true;
}

int CaptureFanout::RemoveTarget(IAudioTarget* target) {
  if (!target) return 0;
  std::lock_guard<std::mutex> g(lock_);
  for (auto it = groups_.begin(); it != groups_.end(); ++it) {
    if (it->front()->Format() != target->Format()) continue;
    for (auto t = it->begin(); t != it->end(); ++t) {
      if ((*t)->Matches(target)) {
        it->erase(t);
        if (it->empty()) groups_.erase(it);
        return 1;
      }
    }
  }
  return 0;
}

void CaptureFanout::Dispatch(const uint8_t* data, uint32_t bytes, uint32_t timestamp) {
  std::lock_guard<std::mutex> g(lock_);
  if (groups_.empty() || encode_.empty() || (!data && bytes)) return;
  // The stream is the carried bytes followed by the new data; blocks straddle the two without copying the
  // data as a whole.
  uint8_t block[kBlockBytes];
  auto forEachBlock = [&](auto&& fn) {
    uint32_t total = carryCount_ + bytes;
    for (uint32_t at = 0; at + kBlockBytes <= total; at += kBlockBytes) {
      for (uint32_t i = 0; i < kBlockBytes; ++i) {
        uint32_t p = at + i;
        block[i] = p < carryCount_ ? carry_[p] : data[p - carryCount_];
      }
      fn(block);
    }
  };
  for (auto& group : groups_) {
    forEachBlock([&](const uint8_t* b) {
      uint32_t ts = timestamp;
      int n = group.front()->Encode(b, kBlockBytes, encode_.data(), &ts);
      if (n <= 0 || static_cast<size_t>(n) > encode_.size()) return;
      for (IAudioTarget* t : group) t->OnAudio(socket_, encode_.data(), static_cast<uint32_t>(n), ts);
    });
  }
  uint32_t total = carryCount_ + bytes;
  uint32_t rest = total % kBlockBytes;
  uint8_t next[kBlockBytes];
  for (uint32_t i = 0; i < rest; ++i) {
    uint32_t p = total - rest + i;
    next[i] = p < carryCount_ ? carry_[p] : data[p - carryCount_];
  }
  std::memcpy(carry_, next, rest);
  carryCount_ = rest;
}

size_t CaptureFanout::GroupCount() {
  std::lock_guard<std::mutex> g(lock_);
  return groups_.size();
}

uint32_t CaptureFanout::CarryCount() {
  std::lock_guard<std::mutex> g(lock_);
  return carryCount_;
}

// ---- CAecAudioCapture ----

CAecAudioCapture::~CAecAudioCapture() {
  if (device_) {
    device_->Stop();
    device_->RemoveSink(nullptr);
    device_->Release();
  }
  fanout_.reset();
}

int CAecAudioCapture::Start() {
  if (!fanout_) {
    auto fanout = std::make_unique<CaptureFanout>();
    auto* device = new CAecMicArrayCapture;
    device->EnumDevices();
    device->SetMode(0, 8000);
    device->AddSink(this);
    if (device->Open() < 0) {
      device->Release();
      return 0;
    }
    fanout->Open();
    fanout_ = std::move(fanout);
    device_ = device;
  }
  device_->Start();
  return 1;
}

void CAecAudioCapture::Stop() {
  if (fanout_ && device_) device_->Stop();
}

int CAecAudioCapture::OnCapture(const uint8_t* data, uint32_t bytes, int, int) {
  if (fanout_) fanout_->Dispatch(data, bytes, 0);
  return 0;
}

// ---- targets ----

int32_t MyAudioTarget::OnAudio(int, const uint8_t* data, uint32_t length, uint32_t timestamp) {
  return guard_.Write(kAudioCodecPcm, timestamp, data, static_cast<int32_t>(length), 0);
}

int MyAudioTarget::Encode(const uint8_t* pcm, uint32_t bytes, uint8_t* out, uint32_t*) {
  std::memcpy(out, pcm, bytes);
  return static_cast<int>(bytes);
}

CP2pAudioTarget::CP2pAudioTarget(TalkSession* session, int32_t codec) : session_(session), codec_(codec) {
  encoder_.SetCodec(codec);
}

bool CP2pAudioTarget::Matches(IAudioTarget* other) {
  auto* o = dynamic_cast<CP2pAudioTarget*>(other);
  return o && o->session_ == session_;
}

int CP2pAudioTarget::Encode(const uint8_t* pcm, uint32_t bytes, uint8_t* out, uint32_t*) {
  return encoder_.Encode(pcm, bytes, out);
}

int32_t CP2pAudioTarget::OnAudio(int, const uint8_t* data, uint32_t length, uint32_t) {
  if (length >= 320) return session_->SendTalkData(codec_, data, length);
  // Never past the collect buffer: a block that would not fit sends what is held first.
  if (fill_ + length > sizeof(collect_)) {
    session_->SendTalkData(codec_, collect_, fill_);
    fill_ = 0;
  }
  std::memcpy(collect_ + fill_, data, length);
  fill_ += length;
  if (fill_ < 320) return 0;
  int32_t rc = session_->SendTalkData(codec_, collect_, fill_);
  fill_ = 0;
  return rc;
}

// ---- talk glue ----

namespace {
std::mutex g_talkLock;
MyAudioTarget* g_myTarget = nullptr;
}  // namespace

CAecAudioCapture* TalkCaptureCreate() {
  auto* capture = new CAecAudioCapture;
  if (!capture->Start()) {
    delete capture;
    return nullptr;
  }
  std::lock_guard<std::mutex> g(g_talkLock);
  if (!g_myTarget) g_myTarget = new MyAudioTarget;
  capture->Fanout()->AddTarget(g_myTarget);
  return capture;
}

bool TalkCaptureAttachSession(CAecAudioCapture* capture, TalkSession* session) {
  if (!capture || !session || !capture->Fanout() || session->talkTarget) return false;
  if (session->StartTalk() < 0) return false;
  auto* target = new CP2pAudioTarget(session, kAudioCodecAlaw);
  if (!capture->Fanout()->AddTarget(target)) {
    delete target;
    session->StopTalk();
    return false;
  }
  session->talkTarget = target;
  return true;
}

bool TalkCaptureDetachSession(CAecAudioCapture* capture, TalkSession* session) {
  if (!session || !session->talkTarget) return false;
  if (capture && capture->Fanout()) capture->Fanout()->RemoveTarget(session->talkTarget);
  delete session->talkTarget;
  session->talkTarget = nullptr;
  session->StopTalk();
  return true;
}

bool TalkCaptureFree(CAecAudioCapture* capture) {
  if (capture) capture->Stop();
  {
    std::lock_guard<std::mutex> g(g_talkLock);
    if (g_myTarget) {
      if (capture && capture->Fanout()) capture->Fanout()->RemoveTarget(g_myTarget);
      g_myTarget->Guard().Close();
      delete g_myTarget;
      g_myTarget = nullptr;
    }
  }
  delete capture;
  return true;
}
