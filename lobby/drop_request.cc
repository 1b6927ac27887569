#include "lobby/drop_request.h"

namespace lobby {
namespace {

// The login deadline and displacement are only for connections that never
// logged in.
bool voided_by_login(int reason) { return reason == kDropNoLogin || reason == kDropDisplaced; }

}  // namespace

const char* drop_reason_text(int reason) {
  switch (reason) {
    case kDropPeerClosed:
      return "peer closed";
    case kDropBadFraming:
      return "bad framing";
    case kDropIdle:
      return "idle";
    case kDropNotReading:
      return "not reading";
    case kDropNoLogin:
      return "no login";
    case kDropDisplaced:
      return "displaced";
    case kDropFlooding:
      return "flooding";
    case kDropKicked:
      return "kicked";
    case kDropBanned:
      return "banned";
    default:
      return "unknown";
  }
}

void DropRequest::begin_connection() {
  platform::MutexLock guard(lock_);
  serial_.store(serial_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  reason_ = kNoDrop;
  voidable_ = false;
  pending_.store(false, std::memory_order_release);
}

void DropRequest::ask(uint32_t serial, int reason, bool logged_in) {
  platform::MutexLock guard(lock_);
  if (serial != serial_.load(std::memory_order_relaxed)) return;
  const bool voidable = voided_by_login(reason) && !logged_in;
  if (reason_ != kNoDrop && !(voidable_ && !voidable)) return;
  reason_ = reason;
  voidable_ = voidable;
  pending_.store(true, std::memory_order_release);
}

bool DropRequest::waiting_for(uint32_t serial) const {
  platform::MutexLock guard(lock_);
  return reason_ != kNoDrop && serial_.load(std::memory_order_relaxed) == serial;
}

int DropRequest::take(bool logged_in) {
  if (!pending()) return kNoDrop;
  platform::MutexLock guard(lock_);
  const int reason = reason_;
  const bool voidable = voidable_;
  reason_ = kNoDrop;
  voidable_ = false;
  pending_.store(false, std::memory_order_release);
  // A login accepted after the request was made outranks it.
  if (voidable && logged_in) return kNoDrop;
  return reason;
}

}  // namespace lobby
