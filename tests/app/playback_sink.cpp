#include "tests/app/playback_sink.h"

#include "media/av_render.h"

namespace {

bool PostToWindow(AvWindow window, uint32_t message, int32_t event, int32_t value) {
  return PostMessage(static_cast<HWND>(window), message, static_cast<WPARAM>(event),
                     static_cast<LPARAM>(value));
}

RenderTarget g_targets[4];

}  // namespace

// Leaks of system libraries: fontconfig keeps its caches to the end, SDL its audio driver tables.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libSDL2\n"; }

void InstallTestMediaPoster(bool on) {
  AvRenderOpsInit();
  AvSetEventPoster(on ? PostToWindow : nullptr);
}

IAvRender* MakeTestPlaybackSink(QWidget* pane, HWND pane_hwnd, HWND timeline_hwnd) {
  for (auto& t : g_targets) t.window = pane;
  return new CAvRender(g_targets, 1, pane_hwnd, timeline_hwnd, WM_TIMELINE_EVENT);
}

IAvRender* MakeTestLiveSink(QWidget* pane, HWND pane_hwnd) {
  for (auto& t : g_targets) t.window = pane;
  return new CAvRender(g_targets, 1, pane_hwnd, 0, 0);
}
