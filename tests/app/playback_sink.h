// The media sink of the playback tests, made where the media pipeline's event names do not meet the
// session facade's: a real CAvRender drawing into a pane, its events to the pane and positions to the
// timeline, and the poster that carries them to the GUI thread.
#pragma once

#include <QWidget>
#include <functional>
#include <vector>

#include "app/ui/window_registry.h"

class IAvRender;

// Installs the media pipeline's table and a poster that posts to our windows (nullptr-safe to call twice).
void InstallTestMediaPoster(bool on);
// A sink drawing into pane (all four targets), events to pane_hwnd, positions to timeline_hwnd.
IAvRender* MakeTestPlaybackSink(QWidget* pane, HWND pane_hwnd, HWND timeline_hwnd);
// A live sink drawing into pane, events to pane_hwnd.
IAvRender* MakeTestLiveSink(QWidget* pane, HWND pane_hwnd);

namespace playback_test {

// Pumps the GUI thread until done or ms passed.
bool Pump(const std::function<bool()>& done, int ms = 20000);

// A video pane: the sink draws into it and reports its events (WM_AV_EVENT) to it.
class Pane : public QWidget, public UiWindow {
 public:
  Pane() : UiWindow(this) { resize(320, 240); }
  std::vector<int> events;

 protected:
  bool event(QEvent* e) override { return DispatchUiMessage(e) || QWidget::event(e); }
  void OnMessage(UiMessageEvent* e) override;
};

}  // namespace playback_test
