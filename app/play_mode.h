// The main window's play modes, shared by the device opener and the play controls.
#pragma once

enum PlayMode { kPlayLive = 0, kPlayCloud = 1, kPlaySd = 2 };
