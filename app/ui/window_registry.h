// Window handles and posted window messages over Qt widgets. A widget that takes messages registers itself
// and gets a handle; any thread may post to a handle. A post to a handle whose widget is gone is dropped,
// never delivered to freed memory: posting and unregistering take the same lock, and Qt discards events
// still queued for an object when it is destroyed.
#pragma once

#include <QEvent>
#include <QObject>
#include <cstdint>
#include <map>

class QTimer;

using HWND = uintptr_t;  // 0 is no window
using WPARAM = uintptr_t;
using LPARAM = intptr_t;

constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t WM_UI_INVOKE = WM_USER + 1;  // to the main window: wParam a function, lParam its argument
constexpr uint32_t WM_PANE_SELECTED = WM_USER + 2;  // from the grid to the main window: wParam the pane
constexpr uint32_t WM_AV_EVENT = WM_USER + 11;      // from the media sink to a pane: an AvEvent and its value
constexpr uint32_t WM_TIMELINE_EVENT = WM_USER + 1;  // from the media sink to the timeline, events 7 to 10

// The function of a WM_UI_INVOKE; it owns and frees its argument.
using UiInvokeFn = void (*)(void* arg);

// A posted window message.
class UiMessageEvent : public QEvent {
 public:
  static QEvent::Type EventType();
  UiMessageEvent(uint32_t message, WPARAM wparam, LPARAM lparam);
  // A WM_UI_INVOKE that never runs (its window went away) hands its argument to drop, when given.
  ~UiMessageEvent() override;

  uint32_t message() const { return message_; }
  WPARAM wparam() const { return wparam_; }
  LPARAM lparam() const { return lparam_; }
  // Runs a WM_UI_INVOKE's function with its argument (once).
  void Invoke();
  // Marks the event as a WM_UI_INVOKE made by PostUiInvoke (the same number also names the timeline's
  // event, whose wParam is no function).
  void SetInvoke(UiInvokeFn drop) {
    invoke_ = true;
    drop_ = drop;
  }
  bool is_invoke() const { return invoke_; }

 private:
  uint32_t message_;
  WPARAM wparam_;
  LPARAM lparam_;
  UiInvokeFn drop_ = nullptr;
  bool invoke_ = false;
  bool ran_ = false;
};

// Registers target for posted messages (delivered to its event() as UiMessageEvent); returns its handle.
// Call from the GUI thread; unregister before target is destroyed (UiWindow does both).
HWND UiRegisterWindow(QObject* target);
void UiUnregisterWindow(HWND hwnd);
// True while hwnd names a registered object.
bool UiIsWindow(HWND hwnd);

// Queues a message for the window (WM_UI_INVOKE goes through PostUiInvoke); false (and nothing queued) when
// hwnd names no live window.
bool PostMessage(HWND hwnd, uint32_t message, WPARAM wparam, LPARAM lparam);
// WM_UI_INVOKE: fn(arg) runs on the GUI thread. When the window is gone, or goes before the message is
// delivered, drop(arg) runs instead (on the posting thread, or wherever the queue is discarded); with a null
// drop the argument is lost. False when nothing was queued.
bool PostUiInvoke(HWND hwnd, UiInvokeFn fn, void* arg, UiInvokeFn drop);

// A mixin for widgets that take window messages: registers at construction, unregisters at destruction
// (before the widget's own destructor ends), and routes the messages to OnMessage.
class UiWindow {
 public:
  explicit UiWindow(QObject* self) : self_(self), hwnd_(UiRegisterWindow(self)) {}
  virtual ~UiWindow();
  UiWindow(const UiWindow&) = delete;
  UiWindow& operator=(const UiWindow&) = delete;
  HWND hwnd() const { return hwnd_; }

  // Numbered timers of the window (GUI thread): OnTimer(id) every interval_ms until killed; setting an id
  // again restarts it with the new interval.
  void SetTimer(int id, int interval_ms);
  void KillTimer(int id);
  bool HasTimer(int id) const { return timers_.count(id) != 0; }

 protected:
  // Call from the widget's event(): true when it was a window message (handled by OnMessage).
  bool DispatchUiMessage(QEvent* event);
  // A window message; by default runs a WM_UI_INVOKE and ignores the rest.
  virtual void OnMessage(UiMessageEvent* event);
  virtual void OnTimer(int id) {}

 private:
  QObject* self_;
  HWND hwnd_;
  std::map<int, QTimer*> timers_;
};
