#include "app/ui/window_registry.h"

#include <QCoreApplication>
#include <QTimer>
#include <mutex>
#include <unordered_map>

#include "platform/tsan_sync.h"

namespace {

std::mutex g_mu;
std::unordered_map<HWND, QObject*> g_windows;
HWND g_next = 0x10;  // handles are never reused

}  // namespace

QEvent::Type UiMessageEvent::EventType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

UiMessageEvent::UiMessageEvent(uint32_t message, WPARAM wparam, LPARAM lparam)
    : QEvent(EventType()), message_(message), wparam_(wparam), lparam_(lparam) {}

UiMessageEvent::~UiMessageEvent() {
  TsanAcquire(this);
  if (invoke_ && !ran_ && drop_) drop_(reinterpret_cast<void*>(lparam_));
}

void UiMessageEvent::Invoke() {
  if (!invoke_ || ran_) return;
  ran_ = true;
  if (auto fn = reinterpret_cast<UiInvokeFn>(wparam_)) fn(reinterpret_cast<void*>(lparam_));
}

HWND UiRegisterWindow(QObject* target) {
  std::lock_guard<std::mutex> lock(g_mu);
  HWND h = g_next++;
  g_windows[h] = target;
  return h;
}

void UiUnregisterWindow(HWND hwnd) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_windows.erase(hwnd);
}

bool UiIsWindow(HWND hwnd) {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_windows.count(hwnd) != 0;
}

namespace {

bool Post(HWND hwnd, UiMessageEvent* event) {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_windows.find(hwnd);
    if (it != g_windows.end()) {
      // Under the lock: the object cannot be destroyed before the event is queued, and once queued Qt
      // deletes the event with the object if it never gets there. The event and what it carries pass to
      // the window's thread through Qt's queue.
      TsanRelease(event);
      QCoreApplication::postEvent(it->second, event);
      return true;
    }
  }
  delete event;
  return false;
}

}  // namespace

bool PostMessage(HWND hwnd, uint32_t message, WPARAM wparam, LPARAM lparam) {
  return Post(hwnd, new UiMessageEvent(message, wparam, lparam));
}

bool PostUiInvoke(HWND hwnd, UiInvokeFn fn, void* arg, UiInvokeFn drop) {
  auto* event = new UiMessageEvent(WM_UI_INVOKE, reinterpret_cast<WPARAM>(fn), reinterpret_cast<LPARAM>(arg));
  event->SetInvoke(drop);
  return Post(hwnd, event);
}

bool UiWindow::DispatchUiMessage(QEvent* event) {
  TsanAcquire(event);
  if (event->type() != UiMessageEvent::EventType()) return false;
  OnMessage(static_cast<UiMessageEvent*>(event));
  return true;
}

void UiWindow::OnMessage(UiMessageEvent* event) { event->Invoke(); }

UiWindow::~UiWindow() {
  UiUnregisterWindow(hwnd_);
  // The timers are children of the window and go with it; stopped now so none fires into a half-destroyed
  // window.
  for (auto& [id, timer] : timers_) timer->stop();
}

void UiWindow::SetTimer(int id, int interval_ms) {
  QTimer*& timer = timers_[id];
  if (!timer) {
    timer = new QTimer(self_);
    QObject::connect(timer, &QTimer::timeout, self_, [this, id] { OnTimer(id); });
  }
  timer->start(interval_ms);
}

void UiWindow::KillTimer(int id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second->stop();
  delete it->second;
  timers_.erase(it);
}
