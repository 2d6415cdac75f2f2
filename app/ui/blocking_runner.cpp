#include "app/ui/blocking_runner.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QPointer>
#include <QThread>
#include <atomic>
#include <thread>

#include "platform/tsan_sync.h"

namespace {

int g_depth = 0;  // GUI thread only

bool IsUserInput(QEvent::Type type) {
  switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::TabletMove:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::Close:  // the window's close button
      return true;
    default:
      return false;
  }
}

class InputBlocker : public QObject {
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    // It sees events posted from other threads first.
    TsanAcquire(event);
    if (IsUserInput(event->type())) {
      event->ignore();
      return true;
    }
    return QObject::eventFilter(watched, event);
  }
};

}  // namespace

bool IsBlocking() { return g_depth > 0; }

int RunBlocking(const std::function<int()>& op) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() != app->thread()) return op();
  InputBlocker blocker;
  app->installEventFilter(&blocker);
  const bool gui = qobject_cast<QApplication*>(app) != nullptr;
  if (gui) QApplication::setOverrideCursor(Qt::WaitCursor);
  ++g_depth;
  QEventLoop loop;
  std::atomic<bool> done{false};
  int result = 0;
  std::thread worker([&] {
    result = op();
    done = true;
    // Queued to the loop: delivered once exec() runs, even when op ends before it starts. By the slot's
    // name, so the call is made and freed inside Qt (a functor would be freed by whichever thread drops
    // it last, through reference counts the thread sanitizer does not see).
    QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
  });
  while (!done) loop.exec();
  worker.join();
  // The queued quit may still be pending when done was seen first; it goes with the loop.
  --g_depth;
  if (gui) QApplication::restoreOverrideCursor();
  app->removeEventFilter(&blocker);
  return result;
}
