// Connects the service client to the device link, the device nodes and WebRTC signalling.
#pragma once

// Sets every cloud hook: device-link init and de-init, device-online pushes, and the WebRTC signalling
// context and events of the push channel.
void InstallCloudSdkHooks();
