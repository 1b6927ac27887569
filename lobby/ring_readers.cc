#include "lobby/ring_readers.h"

#include "lobby/dispatcher.h"

namespace lobby {
namespace {

// One ring as its writers judge its readers.
struct RingView {
  int32_t ClientSlot::*read;      // the reader's index
  int64_t ClientSlot::*stall_ms;  // since when a writer has waited for it
  int32_t mask;
  // A reader with more entries than this left to look at keeps a writer
  // waiting.
  int32_t most_behind;
};

// One entry less than the ring: a reader whose index equals the head has
// nothing to read, so one a whole ring behind would see nothing at all.
constexpr RingView kChatView{&ClientSlot::chat_read, &ClientSlot::chat_stall_ms, kChatRingMask,
                             kChatRingSize - 2};
constexpr RingView kNoticeView{&ClientSlot::notice_read, &ClientSlot::notice_stall_ms,
                               kNoticeRingMask,
                               kNoticeRingSize - 1 - kRoomOpNotices - kNoticeReserve};

// REQUIRES: the ring's lock held.
bool keeps_writers_waiting(const ClientSlot& reader, const RingView& view, int32_t head) {
  if (!reader.is_open()) return false;
  if (reader.ring_released.load(std::memory_order_acquire)) return false;
  return ((head - reader.*view.read) & view.mask) > view.most_behind;
}

// REQUIRES: the ring's lock held.
bool has_room(const Lobby& lobby, const RingView& view, int32_t head) {
  for (const ClientSlot& reader : lobby.slots) {
    if (keeps_writers_waiting(reader, view, head)) return false;
  }
  return true;
}

// REQUIRES: the ring's lock held.
int64_t wait_for_readers(Lobby& lobby, const RingView& view, int32_t head, int own_worker,
                         int64_t now_ms) {
  int64_t until = -1;
  for (int i = 0; i < kSlots; ++i) {
    ClientSlot& reader = lobby.slots[i];
    // The serial first: a request made with it never hits a later client.
    const uint32_t serial = reader.drop_request.serial();
    if (!keeps_writers_waiting(reader, view, head)) continue;
    int64_t& since = reader.*view.stall_ms;
    if (since < 0) since = now_ms;
    // One that cannot take the next line for it (its kernel refuses and its
    // queue is full), or has not moved for long, no longer reads.
    const bool full = reader.send_blocked() && reader.send_free() <= kSendReserve;
    if (full || now_ms - since >= kReaderStallMs) {
      reader.ring_released.store(true, std::memory_order_release);
      request_drop(lobby, i, serial, kDropNotReading);
      continue;
    }
    lobby.wake_worker_of(i, kNone);
    const int64_t due = since + kReaderStallMs;
    if (until < 0 || due < until) until = due;
  }
  if (until < 0) return now_ms;
  if (own_worker >= 0) lobby.ring_waiters.fetch_or(1u << own_worker, std::memory_order_acq_rel);
  return until;
}

}  // namespace

bool chat_ring_has_room(const Lobby& lobby) {
  return has_room(lobby, kChatView, lobby.chat.chat_head.load(std::memory_order_relaxed));
}

bool notice_ring_has_room(const Lobby& lobby) {
  return has_room(lobby, kNoticeView, lobby.notices.notice_head.load(std::memory_order_relaxed));
}

int64_t wait_for_chat_readers(Lobby& lobby, int own_worker, int64_t now_ms) {
  platform::MutexLock guard(lobby.lock_chat);
  return wait_for_readers(lobby, kChatView, lobby.chat.chat_head.load(std::memory_order_relaxed),
                          own_worker, now_ms);
}

int64_t wait_for_notice_readers(Lobby& lobby, int own_worker, int64_t now_ms) {
  platform::MutexLock guard(lobby.lock_rooms);
  return wait_for_readers(lobby, kNoticeView,
                          lobby.notices.notice_head.load(std::memory_order_relaxed), own_worker,
                          now_ms);
}

void reader_moved(const Lobby& lobby) {
  const uint32_t waiters = lobby.ring_waiters.load(std::memory_order_acquire);
  if (waiters == 0) return;
  for (int k = 0; k < lobby.room_limit(); ++k) {
    if ((waiters & (1u << k)) != 0) lobby.wake_worker(k);
  }
}

void forget_ring_waiter(Lobby& lobby, int k) {
  lobby.ring_waiters.fetch_and(~(1u << k), std::memory_order_acq_rel);
}

}  // namespace lobby
