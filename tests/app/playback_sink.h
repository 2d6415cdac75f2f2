// The media sink of the playback tests, made where the media pipeline's event names do not meet the
// session facade's: a real CAvRender drawing into a pane, its events to the pane and positions to the
// timeline, and the poster that carries them to the GUI thread.
#pragma once

#include "app/ui/window_registry.h"

class IAvRender;
class QWidget;

// Installs the media pipeline's table and a poster that posts to our windows (nullptr-safe to call twice).
void InstallTestMediaPoster(bool on);
// A sink drawing into pane (all four targets), events to pane_hwnd, positions to timeline_hwnd.
IAvRender* MakeTestPlaybackSink(QWidget* pane, HWND pane_hwnd, HWND timeline_hwnd);
// A live sink drawing into pane, events to pane_hwnd.
IAvRender* MakeTestLiveSink(QWidget* pane, HWND pane_hwnd);
