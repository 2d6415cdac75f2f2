// MP4 reader (samples of the recorder's files in time order, seeking) and
// recovery of recordings that were never closed.
#pragma once

#include <cstdint>

#include "av/reader_ops.h"
#include "media/mp4/mp4_buffer.h"
#include "media/mp4/mp4_stream.h"

const Mp4ReaderOps* Mp4ReaderGetOps();

int Mp4ReaderProbe(const char* path, Mp4StreamInfo* info);
int Mp4ReaderOpen(const char* path, void** handle);
// Opens from a stream the reader then owns (closed with the handle, also on failure).
int Mp4ReaderOpenStream(void* stream, const Mp4StreamOps* ops, void** handle);
int Mp4ReaderSetTrackFilter(uint32_t filter, uint32_t, uint32_t, void* handle);
int Mp4ReaderGetInfo(Mp4StreamInfo* info, void* handle);
int Mp4ReaderPeekSample(uint32_t* type, uint32_t* time, uint32_t* key, uint32_t* size, void* handle);
int Mp4ReaderReadSample(uint32_t* type, uint32_t* time, uint8_t* buffer, uint32_t* size, uint32_t* key,
                        void* handle);
int Mp4ReaderNop();
int Mp4ReaderSeek(uint32_t timeMs, void* handle);
int Mp4ReaderClose(void* handle);
int Mp4ReaderGetDecoderConfig(uint32_t codec, const uint8_t** bytes, void* handle);

// Rebuilds the moov of a recording that was never closed. audioType is the
// type its A-law frames are recorded as, audioFrameSize their size in bytes.
// 0 with info->size 0: the file is whole and was not touched; 0 with the
// rebuilt file's info: recovered in place. On an error the file is as it was:
// kMp4ErrMalformed (no ftyp or mdat), kMp4ErrNoSample (not one whole sample).
int Mp4Recover(const char* path, uint32_t audioType, uint32_t audioFrameSize, Mp4Info* info);
