#include "platform/thread.h"

#include <pthread.h>

#include <system_error>

#include "platform/event.h"

namespace platform {

Thread::Thread() : done_(std::make_unique<Event>(true, true)) {}

Thread::~Thread() { Join(); }

bool Thread::Start(const std::string& name, Func fn) {
  if (thread_.joinable() || !fn) return false;
  done_->Reset();
  result_ = 0;
  try {
    thread_ = std::thread([this, name, fn = std::move(fn)] {
      SetCurrentThreadName(name);
      result_ = fn();
      done_->Set();
    });
  } catch (const std::system_error&) {
    done_->Set();
    return false;
  }
  return true;
}

bool Thread::Wait(uint32_t timeout_ms) { return done_->Wait(timeout_ms); }

uint32_t Thread::Join() {
  if (!thread_.joinable()) return 0;
  thread_.join();
  return result_;
}

void SetCurrentThreadName(const std::string& name) {
  std::string cut = name.substr(0, kMaxThreadName);
  pthread_setname_np(pthread_self(), cut.c_str());
}

std::string CurrentThreadName() {
  char buf[64] = {};
  if (pthread_getname_np(pthread_self(), buf, sizeof(buf)) != 0) return {};
  return buf;
}

}  // namespace platform
