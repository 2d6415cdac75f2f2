// Video decode front: CVideoDecoder turns the frames of one codec into pictures through one of its engines
// (H.264, HEVC, MJPEG through libjpeg; codec 10 is not decodable here), CVideoDraw draws each picture on up
// to five renderers, and CVideoDecDDraw ties one decoder to its renderers for a channel. Also the parsers
// that find a picture size in a parameter set or a JPEG header, and the JPEG snapshot encoder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <vector>

#include "av/media_codec.h"
#include "media/video/video_picture.h"
#include "media/video/video_render_base.h"

class QWidget;

// Serialises the creation and deletion of H.264 and HEVC decoders.
std::recursive_mutex& MediaLock();

class CVideoDraw {
 public:
  static constexpr int kMaxRenderers = 5;

  explicit CVideoDraw(QWidget* window);
  virtual ~CVideoDraw();
  CVideoDraw(const CVideoDraw&) = delete;
  CVideoDraw& operator=(const CVideoDraw&) = delete;

  bool AddWindow(QWidget* window);
  void RemoveAll();
  void SetWindowRect(QWidget* window, const RenderRect* rect, uint32_t anchors);
  bool DrawPicture(const VideoPicture& picture, int32_t mode);
  int RendererCount();
  // The renderer of a window, or null (tests and the benchmark read its surface).
  CVideoRenderBase* RendererOf(QWidget* window);

 private:
  std::mutex windowLock_;
  std::mutex drawLock_;
  CVideoRenderBase* renders_[kMaxRenderers] = {};
  int32_t count_ = 0;
  int32_t mode_ = kDisplayAspect;
};

struct CVideoDecoderState;

class CVideoDecoder {
 public:
  CVideoDecoder();
  virtual ~CVideoDecoder();
  CVideoDecoder(const CVideoDecoder&) = delete;
  CVideoDecoder& operator=(const CVideoDecoder&) = delete;

  bool SetCodec(int32_t codec);
  bool Open(int32_t codec, int32_t width, int32_t height);
  void Close();
  // False for a refused frame or an engine error. picture->valid is cleared first and set only with a picture
  // of this frame, whose planes stay valid until the next call on this decoder.
  bool Decode(const uint8_t* data, uint32_t length, VideoPicture* picture);
  int32_t Codec() const { return codec_; }
  // Number of engine instances made so far (tests: re-creation on a size change).
  int32_t EnginesMade() const { return enginesMade_; }
  // Counts the releases of plane memory an earlier picture may point into (an engine deleted, the decode
  // buffer freed or moved); a picture kept across calls is stale once this changes.
  uint32_t Releases() const { return releases_; }

 private:
  bool DecodeH264(const uint8_t* data, uint32_t length, VideoPicture* picture);
  bool DecodeHevc(const uint8_t* data, uint32_t length, VideoPicture* picture);
  bool DecodeHevcNal(const uint8_t* data, uint32_t length, VideoPicture* picture);
  bool DecodeMjpeg(const uint8_t* data, uint32_t length, VideoPicture* picture);
  void DeleteEngine();

  int32_t codec_ = 0;
  CVideoDecoderState* state_;
  std::vector<uint8_t> decodeBuffer_;
  int32_t enginesMade_ = 0;
  uint32_t releases_ = 0;
};

class CVideoDecDDraw : public CVideoDraw {
 public:
  explicit CVideoDecDDraw(QWidget* window);
  ~CVideoDecDDraw() override;

  bool DecodeAndDraw(int32_t codec, const uint8_t* data, uint32_t length, int32_t mode);
  bool GetLastPicture(VideoPicture* out);
  CVideoDecoder& Decoder() { return decoder_; }

 private:
  CVideoDecoder decoder_;
  VideoPicture last_;
};

// Picture size of an H.264 SPS NAL unit (with its 4-byte start code). Field-coded sequences give the frame
// height; the cropping is applied when withCrop is set. Never reads past length.
bool H264SpsPictureSize(const uint8_t* nal, uint32_t length, int32_t* width, int32_t* height,
                        bool withCrop = false);
// Picture size of an HEVC SPS NAL unit (with its start code), and the decoded picture buffer size it asks for
// (maxDecPics may be null).
bool HevcSpsPictureSize(uint32_t length, const uint8_t* nal, int32_t* width, int32_t* height,
                        int32_t* maxDecPics = nullptr);
const uint8_t* FindBytePattern(uint32_t length, const uint8_t* data, const uint8_t* pattern,
                               uint32_t patternLength);
// Size in the first SOF marker (baseline, extended or progressive); both 0 when none is found.
void JpegGetSofSize(const uint8_t* data, uint32_t length, int32_t* width, int32_t* height);
void PackI420(uint8_t* out, int32_t width, int32_t height, const uint8_t* y, int32_t lumaStride,
              const uint8_t* u, const uint8_t* v, int32_t chromaStride);
// Writes a JPEG of the whole picture (width rounded down to even, every row kept); false on failure.
bool JpegSaveI420(FILE* file, const uint8_t* y, const uint8_t* u, const uint8_t* v, int32_t width,
                  int32_t height, int32_t quality);
