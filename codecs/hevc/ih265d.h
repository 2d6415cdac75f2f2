// HEVC decoder: create, feed Annex-B bytes, get pictures, delete.
#pragma once

#include <cstdint>

typedef void* IH265D_HANDLE;

typedef void* (*IH265D_MallocFxn)(int32_t iChannel, uint32_t uiSize);
typedef void (*IH265D_FreeFxn)(int32_t iChannel, void* pMem);
typedef void (*IH265D_MessageFxn)(int32_t iChannel, int32_t iLevel, const char* pszFormat, ...);

enum IH265D_THREAD_TYPE { IH265D_SINGLE_THREAD = 0, IH265D_MULTI_THREAD = 1 };
enum IH265D_OUTPUT_ORDER { IH265D_DECODE_ORDER = 0, IH265D_DISPLAY_ORDER = 1 };
enum IH265D_DECODE_MODE { IH265D_DECODE = 0, IH265D_DECODE_END = 1 };

enum IH265D_DECODE_STATUS {
  IH265D_GETDISPLAY = 0,    // a picture is returned
  IH265D_NEED_MORE_BITS = 1,  // all input taken, no picture due
  IH265D_NO_PICTURE = 2,    // draining found no picture left
  IH265D_ERR = 3,           // the call ended with an error
};

struct IH265D_InitParam {
  int32_t iChannel;
  int32_t iMaxWidth;
  int32_t iMaxHeight;
  int32_t iMaxRefNum;
  int32_t eThreadType;
  int32_t eOutputOrder;
  int32_t iReserved;
  IH265D_MallocFxn MallocFxn;
  IH265D_FreeFxn FreeFxn;
  IH265D_MessageFxn MessageFxn;
};

struct IH265D_InArgs {
  const uint8_t* pStream;
  uint32_t iStreamLen;
  int64_t llTimeStamp;
  int32_t DecodeMode;
};

struct IH265D_OutArgs {
  int32_t iChannel;
  uint32_t iBytesTaken;
  int64_t llTimeStamp;
  int32_t ePicType;  // 0 I, 1 P, 2 B
  int32_t DecodeStatus;
  int32_t iPicWidth;
  int32_t iPicHeight;
  int32_t iLumaStride;
  int32_t iChromaStride;
  uint8_t* pPlaneY;
  uint8_t* pPlaneU;
  uint8_t* pPlaneV;
  int32_t iPicBytes;
  int32_t iReserved14;
  int32_t iUserDataLen;
  uint8_t* pUserData;
  int32_t iReserved17;
  int32_t iAspectRatioIdc;
  int32_t iSarWidth;
  int32_t iSarHeight;
  int32_t iNumUnitsInTick;
  int32_t iTimeScale;
  int32_t aiCuCount[18];
  int32_t iErrorFlag;
};

// Results (32-bit codes).
constexpr int32_t IH265D_OK = 0;
constexpr int32_t IH265D_NEED_MORE = 1;
constexpr int32_t IH265D_FAIL = -1;
constexpr int32_t IH265D_ERR_ARG = static_cast<int32_t>(0xF0401000);
constexpr int32_t IH265D_ERR_HANDLE = static_cast<int32_t>(0xF0401001);
constexpr int32_t IH265D_ERR_MALLOC = static_cast<int32_t>(0xF0402000);
constexpr int32_t IH265D_ERR_WIDTH = static_cast<int32_t>(0xF0402001);
constexpr int32_t IH265D_ERR_HEIGHT = static_cast<int32_t>(0xF0402002);
constexpr int32_t IH265D_ERR_REFNUM = static_cast<int32_t>(0xF0402003);
constexpr int32_t IH265D_ERR_THREADTYPE = static_cast<int32_t>(0xF0402004);
constexpr int32_t IH265D_ERR_MALLOCFXN = static_cast<int32_t>(0xF0402005);
constexpr int32_t IH265D_ERR_FREEFXN = static_cast<int32_t>(0xF0402006);
constexpr int32_t IH265D_ERR_MESSAGEFXN = static_cast<int32_t>(0xF0402007);
constexpr int32_t IH265D_ERR_STREAM_NULL = static_cast<int32_t>(0xF0402008);
constexpr int32_t IH265D_ERR_THREADPOOL = static_cast<int32_t>(0xE0404008);
constexpr int32_t IH265D_ERR_NAL = static_cast<int32_t>(0xF0404001);
constexpr int32_t IH265D_ERR_VPS = static_cast<int32_t>(0xF0404002);
constexpr int32_t IH265D_ERR_SPS = static_cast<int32_t>(0xF0404003);
constexpr int32_t IH265D_ERR_PPS = static_cast<int32_t>(0xF0404004);
constexpr int32_t IH265D_ERR_SLICEHEADER = static_cast<int32_t>(0xF0404005);
constexpr int32_t IH265D_ERR_SLICEDATA = static_cast<int32_t>(0xF0404006);

int32_t IH265D_Create(IH265D_HANDLE* phDecoder, IH265D_InitParam* pstInitParam);
int32_t IH265D_Decode(IH265D_HANDLE hDecoder, const IH265D_InArgs* pstInArgs, IH265D_OutArgs* pstOutArgs);
int32_t IH265D_Delete(IH265D_HANDLE hDecoder);
