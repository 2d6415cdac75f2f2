#include "sdk/node/sdk_hooks.h"

#include "sdk/cloud/orvel_server.h"
#include "sdk/node/device_node.h"
#include "sdk/device/kivo_p2p.h"
#include "sdk/webrtc/ov_transport.h"

void InstallCloudSdkHooks() {
  CloudSdkHooks hooks;
  hooks.p2p_init = KivoP2pInit;
  hooks.p2p_deinit = KivoP2pDeinit;
  hooks.device_online = NotifyDeviceOnline;
  hooks.webrtc_signaling = WebrtcOnSignaling;
  hooks.signaling_setup = WebrtcSignalingSetup;
  hooks.signaling_reset = WebrtcSignalingReset;
  CloudSetHooks(hooks);
}
