// The "rvs" transport: the device link over a session of our P2P library.
#pragma once

#include "sdk/device/kivo_p2p.h"

extern const TransportOps kRvsTransport;

// The library's exported functions the transport reaches, in their fixed order.
struct RvsApiTable {
  unsigned int (*GetAPIVersion)();
  const char* (*GetAPIInformation)();
  int (*QueryDID)();
  int (*Initialize)(const char*);
  int (*DeInitialize)();
  void* NetworkDetect;
  void* NetworkDetectByServer;
  int (*Share_Bandwidth)(char);
  int (*Listen)(const char*, unsigned int, unsigned short, char);
  int (*Listen_Break)();
  int (*LoginStatus_Check)(char*);
  int (*Connect)(const char*, char, unsigned short);
  int (*ConnectByServer)(const char*, char, unsigned short, const char*);
  int (*Connect_Break)();
  void* Check;  // int (*)(int, RVS_SessionInfo*)
  int (*Close)(int);
  int (*ForceClose)(int);
  int (*Write)(int, char, const char*, int);
  int (*Read)(int, char, char*, int*, unsigned int);
  int (*Check_Buffer)(int, char, int*, int*);
  int (*PktSend)(int, char, const char*, int);
  int (*PktRecv)(int, char, char*, int*, unsigned int);
};

int _rvsInit();
int rvsConnect(const char* server, const char* peer_id, int mode, TransportHandle* out);
void rvsClose(TransportHandle h);
int rvsIsAlive(TransportHandle h);
int rvsSend(TransportHandle h, int channel, const void* bytes, int length);
int rvsRecv(TransportHandle h, int channel, void* buffer, int length, int timeout_ms);
int rvsCheckSendBuf(TransportHandle h, int reserved, int bytes, int* load);
int rvsSessionInfo(TransportHandle h, TransportSessionInfo* out);
void rvsDeinit();
const char* rvsErrorText(int result);
int rvsMapError(int result);
// The init parameter _rvsInit passes (for tests): the init string and the alive time from the environment.
void rvsFormatInitParam(char* out, int size);
// The init string the transport passes to the library; tests and tools point it at their simulator.
void rvsSetInitString(const char* init);
