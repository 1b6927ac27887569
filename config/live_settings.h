// The settings that a reload may change while the lobby runs, and how every
// thread reads them. Any thread.
//
// The rule: one thread at a time (the admin channel's) publishes a whole
// Settings read from the file. Each number that takes effect at once is an
// atomic of its own, stored with release and read with acquire, so a
// reader sees the old or the new value of a key, never a torn one; two
// keys read one after the other may come from two reloads, and every
// reader is sound with any mix (a flood rate with the burst of the reload
// before). Everything else is copied in and out whole under lock_, a leaf
// lock held only for the copy. generation() grows by one per publish,
// stored last: a thread that keeps values derived from the settings (a
// client's flood bucket, the upstream link's address) compares it with the
// generation it took them at.
//
// Keys that need a restart (Takes::kRestart in the key table) keep their
// values from the start; publish() leaves them alone.
#ifndef CONFIG_LIVE_SETTINGS_H_
#define CONFIG_LIVE_SETTINGS_H_

#include <atomic>
#include <cstdint>

#include "config/setting_keys.h"
#include "config/settings.h"
#include "platform/annotated_mutex.h"

namespace config {

class LiveSettings {
 public:
  explicit LiveSettings(const Settings& start);
  LiveSettings(const LiveSettings&) = delete;
  LiveSettings& operator=(const LiveSettings&) = delete;

  // The value in force of the number field `Field`, a key that a reload
  // changes at once: number<&Settings::L_PER_IP>().
  template <int32_t Settings::*Field>
  int32_t number() const {
    constexpr int kIndex = setting_index(Field);
    static_assert(kIndex >= 0, "a key of the table");
    static_assert(kSettingKeys[kIndex].takes == Takes::kAtOnce,
                  "a key that needs a restart is read from the start's settings");
    return numbers_[kIndex].load(std::memory_order_acquire);
  }
  // The number of trusted proxies (L_PROXY's entries); the list itself
  // comes whole with current().
  int32_t proxy_count() const { return proxy_count_.load(std::memory_order_acquire); }
  // The whole settings in force: the keys that change at once as last
  // published, the others as at the start.
  Settings current() const;
  // Takes the keys of `next` that change at once. One caller at a time.
  void publish(const Settings& next);
  uint32_t generation() const { return generation_.load(std::memory_order_acquire); }

 private:
  // Indexed by the key table's rows; only the rows of numbers that change
  // at once are used.
  std::atomic<int32_t> numbers_[kSettingKeyCount];
  std::atomic<int32_t> proxy_count_{0};
  mutable platform::Mutex lock_;
  Settings current_ GUARDED_BY(lock_);
  std::atomic<uint32_t> generation_{0};
};

}  // namespace config

#endif  // CONFIG_LIVE_SETTINGS_H_
