#include "tests/app/playback_sink.h"

#include <QApplication>
#include <chrono>
#include <thread>

#include "media/sink/av_render.h"

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

namespace playback_test {

bool Pump(const std::function<bool()>& done, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void Pane::OnMessage(UiMessageEvent* e) {
  if (e->message() == WM_AV_EVENT) events.push_back(static_cast<int>(e->wparam()));
}

}  // namespace playback_test
