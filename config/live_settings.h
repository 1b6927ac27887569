// The settings that a reload may change while the lobby runs, and how every
// thread reads them. Any thread.
//
// The rule: one thread at a time (the admin channel's) publishes a whole
// Settings read from the file. Each live number is an atomic of its own,
// stored with release and read with acquire, so a reader sees the old or
// the new value of a key, never a torn one; two keys read one after the
// other may come from two reloads, and every reader is sound with any mix
// (a flood rate with the burst of the reload before). Everything else is
// copied in and out whole under lock_, a leaf lock held only for the copy.
// generation() grows by one per publish, stored last: a thread that keeps
// values derived from the settings (a client's flood bucket, the upstream
// link's address) compares it with the generation it took them at.
//
// Keys that need a restart (L_PORT, ROOM, L_IP, L_ADMIN, L_ADMIN_GROUP)
// keep their values from the start; publish() leaves them alone.
#ifndef CONFIG_LIVE_SETTINGS_H_
#define CONFIG_LIVE_SETTINGS_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/annotated_mutex.h"

namespace config {

// The numbers that take effect at once, each read through its atomic.
enum LiveNumber : int {
  kLiveVer = 0,
  kLiveLoginWait,   // L_LOGIN_WAIT
  kLivePerIp,       // L_PER_IP
  kLiveFloodRate,   // L_FLOOD_RATE
  kLiveFloodBurst,  // L_FLOOD_BURST
  kLivePerNet,      // L_PER_NET
  kLiveConnRate,    // L_CONN_RATE
  kLiveLurk,        // L_LURK
  kLiveRoomsPerIp,  // L_ROOMS_PER_IP
  kLiveChatRate,    // L_CHAT_RATE
  kLiveChatBurst,   // L_CHAT_BURST
  kLiveAutoBan,     // L_AUTOBAN
  kLiveAutoBanS,    // L_AUTOBAN_S
  kLiveSendBuffer,  // L_SEND_BUFFER
  kLiveNumbers,
};

class LiveSettings {
 public:
  explicit LiveSettings(const Settings& start);
  LiveSettings(const LiveSettings&) = delete;
  LiveSettings& operator=(const LiveSettings&) = delete;

  int32_t number(LiveNumber key) const { return numbers_[key].load(std::memory_order_acquire); }
  // The whole settings in force: the live keys as last published, the
  // others as at the start.
  Settings current() const;
  // Takes the live keys of `next`. One caller at a time.
  void publish(const Settings& next);
  uint32_t generation() const { return generation_.load(std::memory_order_acquire); }

 private:
  std::atomic<int32_t> numbers_[kLiveNumbers];
  mutable platform::Mutex lock_;
  Settings current_ GUARDED_BY(lock_);
  std::atomic<uint32_t> generation_{0};
};

// The keys whose values differ between `a` and `b`, in the file's usual
// order, split into those that take effect at once and those that need a
// restart.
void differing_keys(const Settings& a, const Settings& b, std::vector<std::string>* live,
                    std::vector<std::string>* restart);

}  // namespace config

#endif  // CONFIG_LIVE_SETTINGS_H_
