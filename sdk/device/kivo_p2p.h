// The device link: a session to a camera over one transport, its commands with
// replies and events, media frames per AV slot, talkback and the device's
// features. Every integer on the wire is little-endian. Every operation returns
// 0 or a positive count for success and a negative KivoP2pError for failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// Results of the device link.
enum KivoP2pError : int {
  KIVO_OK = 0,
  KIVO_ERR_FAILED = -10001,
  KIVO_ERR_AUTH = -10002,
  KIVO_ERR_UNSUPPORTED = -10003,
  KIVO_ERR_CLOSED = -10004,
  KIVO_ERR_TIMEOUT = -10005,
  KIVO_ERR_INVALID_ID = -10006,
  KIVO_ERR_INVALID_PARAM = -10007,
  KIVO_ERR_OFFLINE = -10008,
  KIVO_ERR_RESOLVE = -10009,
  KIVO_ERR_SERVER = -10010,
  KIVO_ERR_SESSION_TIMEOUT = -10011,
  KIVO_ERR_FORMAT = -10012,
  KIVO_ERR_COMMUNICATION = -10013,
  KIVO_ERR_MAX_CONNECTIONS = -10014,
  KIVO_ERR_RESOURCE = -10016,
  KIVO_ERR_FAILED2 = -10017,
  KIVO_ERR_NO_SESSION = -10018,
  KIVO_ERR_SEND_BUFFER_FULL = -10019,
  KIVO_ERR_NO_CONN_TOKEN = -10020,
  KIVO_ERR_DEV_PROCESSING = -10100,
  KIVO_ERR_DEV_HEADER = -10101,
  KIVO_ERR_DEV_UNSUPPORTED = -10102,
  KIVO_ERR_DEV_PARAM = -10103,
  KIVO_ERR_DEV_RESOURCE = -10104,
  KIVO_ERR_DEV_INTERNAL = -10105,
  KIVO_ERR_DEV_NOT_ALLOWED = -10106,
};

// Commands (KivoCmdHeader.command). A reply carries the request's command with bit 0 flipped.
enum : uint32_t {
  CMD_ERROR_REPLY = 1,
  CMD_EVENT = 2,
  CMD_START_VIDEO = 0x1FF,
  CMD_STOP_VIDEO = 0x2FF,
  CMD_START_AUDIO = 0x300,
  CMD_STOP_AUDIO = 0x301,
  CMD_PLAYBACK_CONTROL = 0x31A,
  CMD_STREAM_QUALITY = 0x320,
  CMD_TALK_START = 0x332,
  CMD_LIVE_NOTICE = 0x336,
  CMD_SD_PLAYBACK_NOTICE = 0x338,
  CMD_TALK_START_OLD = 0x350,
  CMD_TALK_STOP = 0x351,
  CMD_CLOSE_NOTICE = 0x386,
  CMD_SET_LENS = 0x408,
  CMD_GET_LENS = 0x40A,
  CMD_SET_MAIN_CHANNEL = 0x43E,
  CMD_POST_CONNECT = 0x446,
  CMD_DOORBELL_START = 0x450,
  CMD_PTZ = 0x1001,
  CMD_RECORD_LIST = 0x8000,
  CMD_PASSWORD = 0x8002,
  CMD_FEATURES = 0x8024,
};

// Sub-commands of CMD_PLAYBACK_CONTROL.
enum : uint32_t { PLAYBACK_STOP = 1, PLAYBACK_SPEED = 4, PLAYBACK_START_AT = 16 };

// A transport's connection handle (the P2P library's session handle for "rvs").
using TransportHandle = intptr_t;

struct TransportSessionInfo {
  int relay;            // non-zero when the connection runs through a relay
  uint32_t remote_ip;   // IPv4, network byte order
  uint16_t remote_port; // host byte order
};

// One constant table per transport.
struct TransportOps {
  const char* name;  // the address prefix without its colon
  int (*connect)(const char* rest, const char* peer_id, int flags, TransportHandle* out);
  void (*close)(TransportHandle h);
  int (*alive)(TransportHandle h);
  int (*send)(TransportHandle h, int channel, const void* bytes, int length);
  // Some bytes (possibly fewer than asked); -10005 when nothing arrived within the time-out.
  int (*recv)(TransportHandle h, int channel, void* buffer, int length, int timeout_ms);
  // Non-zero when the send buffer cannot take `bytes` more; load in percent when asked.
  int (*check_send_buf)(TransportHandle h, int reserved, int bytes, int* load);
  int (*session_info)(TransportHandle h, TransportSessionInfo* out);  // optional
  int (*init)();                                                      // optional
  void (*deinit)();                                                   // optional
};

// Connection types recorded in a session.
enum : int { KIVO_CONN_UNKNOWN = 0, KIVO_CONN_LAN = 1, KIVO_CONN_P2P = 2, KIVO_CONN_RELAY = 3 };

// Device-link date: local time of the client's time zone (8 bytes on the wire).
struct DeviceTime {
  uint16_t year;
  uint8_t month;    // 1-12
  uint8_t day;      // 1-31
  uint8_t weekday;  // 0-6, Sunday 0
  uint8_t hour, minute, second;
};

// One SD-card recording.
struct RecordEntry {
  DeviceTime start;
  uint32_t duration;  // seconds
  uint8_t kind;
};

// The 16-byte header before every media payload.
struct MediaFrameHeader {
  uint8_t codec;    // wire code on the link; the MediaCodecId once received
  uint8_t channel;  // lens
  uint8_t flags;    // video: bit 0 key frame; audio: a parameter byte
  uint8_t reserved;
  uint32_t reserved2;
  uint32_t length;     // payload bytes
  uint32_t timestamp;  // ms, device clock
};

// System-wide media codec ids the device link maps to.
enum : int {
  MEDIA_CODEC_H264 = 1,
  MEDIA_CODEC_G711A = 2,
  MEDIA_CODEC_JIF = 10,
  MEDIA_CODEC_MJPEG = 12,
  MEDIA_CODEC_HEVC = 13,
  MEDIA_CODEC_G711U = 51,
  MEDIA_CODEC_PCM = 52,
  MEDIA_CODEC_ADPCM = 53,
  MEDIA_CODEC_AAC = 59,
};

struct ZoomLens {
  uint32_t kind;  // 0 'L', 1 'E', 2 'S'
  float zoom;
  float focal;
  uint32_t steps;
};

struct ZoomDesc {
  uint32_t lens_count;
  uint32_t step_total;
  float zoom_product;
  float focal_product;
  uint32_t step_mode;  // 3 when the lenses carry their own steps
  uint32_t lens_used;
  ZoomLens lens[4];
};
static_assert(sizeof(ZoomDesc) == 88);

// Extra-instruction bits of DeviceFeatures.
enum : uint32_t {
  EXT_CLOSE_DEVICE = 0x1,
  EXT_PBRATE = 0x2,
  EXT_ALARM_BELL = 0x4,
  EXT_ALARMTONE = 0x8,
  EXT_STATUS_LED = 0x10,
  EXT_CLOSE_PLAN = 0x20,
  EXT_AI_SWITCH = 0x40,
  EXT_IPCONFIG = 0x80,
};

struct DeviceFeatures {
  uint32_t auto_tracking;  // bit i: channel i
  uint32_t ptz;            // two bits per channel: 0 none, 1 relative, 2 absolute, 3 hybrid
  uint32_t double_light;   // three bits per channel: supported, dimming, timer
  uint32_t microphone;     // bit i: channel i
  uint32_t sd_card;
  uint32_t ext_instructions;
  uint32_t one;   // always 1
  uint32_t zero;  // always 0
  ZoomDesc zoom;
  uint32_t channel_count;  // at least 1
  uint32_t combined_streams;
  uint32_t cellular;
  uint32_t battery_kind;  // 1 "Dormant", 2 "Yes"
  uint32_t device_kind;   // 1 "DriveRec", 2 "DoorBell"
  uint32_t audio_rate;
  uint16_t audio_bits;
  uint16_t audio_channels;
  uint32_t audio_codec;  // MediaCodecId
  uint32_t screen_codec;
  uint32_t screen_width;
  uint32_t screen_height;
  uint32_t screen_rotation;  // 1 90°, 2 180°, 3 270° clockwise
  char device_type[16];
};

struct KivoSession;

// A reply packet for a request that expects several: non-zero while more are expected.
using ReplyHandler = int (*)(const uint8_t* payload, int length, void* value);
// Unsolicited device event (command 2).
using KivoEventCallback = void (*)(const uint8_t* payload, int length, KivoSession* s, void* user);
// Every packet of channel 0 (the whole packet and its length), or (null, error) when reading failed.
using KivoPacketHook = void (*)(const uint8_t* packet, int length_or_error, KivoSession* s, void* user);
// A media frame, or (null, error) once on a fatal receive error.
using AvFrameCallback = void (*)(const MediaFrameHeader* header, const uint8_t* payload, int length_or_error,
                                 void* user);

// --- Module ---
int KivoP2pInit();
void KivoP2pDeinit();
const char* KivoP2pErrorName(int code);
const char* KivoP2pGetErrorText(int code);

// --- Session ---
// address: "PREFIX:rest" naming a transport, or a bare server text for "rvs".
int KivoP2pConnect2(const char* address, const char* peer_id, int flags, KivoSession** out);
int KivoP2pClose(KivoSession* s);
int KivoP2pIsAlive(KivoSession* s);
int KivoP2pSetEventCallback(KivoSession* s, KivoEventCallback event, KivoPacketHook hook, void* user);
// The connection type (KIVO_CONN_*) and the transport in use.
int KivoP2pConnType(KivoSession* s);
const char* KivoP2pConnTypeName(int type);
const TransportOps* KivoP2pTransport(KivoSession* s);
TransportHandle KivoP2pTransportHandle(KivoSession* s);

// --- Packets and commands ---
int KivoRawSendCmdPkt(KivoSession* s, uint32_t command, const void* payload, int length);
int KivoP2pSendCmdNoWait(KivoSession* s, uint32_t command, const void* payload, int length);
int KivoP2pSendCommand(KivoSession* s, uint32_t command, const void* payload, int length, void* reply,
                       int capacity, ReplyHandler handler, void* handler_value, int timeout_ms);
int KivoP2pCommand(KivoSession* s, uint32_t command, const void* payload, int length, void* reply,
                   int capacity, int timeout_ms);

int KivoP2pSetVideoQuality(KivoSession* s, int channel, int sub);
int KivoP2pStartTalk(KivoSession* s);
int KivoP2pStopTalk(KivoSession* s);
int KivoP2pNotifyLiveView(KivoSession* s);
int KivoP2pNotifySdPlayback(KivoSession* s);
int KivoP2pPlaybackSeek(KivoSession* s, time_t time);
int KivoP2pSetPlaybackSpeed(KivoSession* s, int step);
int KivoP2pStopPlayback(KivoSession* s);
int KivoP2pSetMainChannel(KivoSession* s, int first, int second);
int KivoP2pGetLensParam(KivoSession* s, uint8_t out[12]);
int KivoP2pSetLensParam(KivoSession* s, const uint8_t lens[12]);
int KivoP2pPtzCtrl(KivoSession* s, int direction);
int KivoP2pSendPassword(KivoSession* s, const char* password, int* result);
int KivoP2pVerifyPassword(KivoSession* s, const char* password);
// entries: malloc'ed, freed by the caller with free().
int KivoP2pGetRecordList(KivoSession* s, time_t start, int span_sec, RecordEntry** entries, int* count);

DeviceTime TimeToDeviceTime(time_t t);
time_t DeviceTimeToTime(const DeviceTime& t);

// --- Media frames, AV slots, talkback ---
int WireCodecToMediaCodec(int wire);
// The wire code for sending, or -1 for a codec the sender does not know.
int MediaCodecToWireCodec(int codec);
int KivoRawSendMedia(KivoSession* s, int codec, uint32_t timestamp, int flags, const void* payload, int length);
int KivoP2pSendMedia(KivoSession* s, const void* g711a, int length);
int KivoP2pStartVideo(KivoSession* s, int channel, AvFrameCallback cb, void* user);
int KivoP2pStopVideo(KivoSession* s, int channel);
int KivoP2pStartAudio(KivoSession* s, AvFrameCallback cb, void* user);
int KivoP2pStopAudio(KivoSession* s);
int KivoP2pStartPlaybackRecv(KivoSession* s, AvFrameCallback video, void* video_user, AvFrameCallback audio,
                             void* audio_user);
int KivoP2pResubscribe(KivoSession* s);

// --- Features ---
int KivoP2pGetFeatures(KivoSession* s, DeviceFeatures* out);
void DeviceFeaturesDefaults(DeviceFeatures* f);
// Fills f (defaults first) from the reply text; false when it is not JSON.
bool ParseDeviceFeatures(const char* text, int length, DeviceFeatures* f);
int PtzCapFromText(const char* text);
int ParseZoomDesc(const char* text, ZoomDesc* z, int distribute);
