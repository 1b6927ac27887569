#include "config/live_settings.h"

#include <cstring>

namespace config {
namespace {

bool live_number(const SettingKey& key) {
  return key.number != nullptr && key.takes == Takes::kAtOnce;
}

}  // namespace

LiveSettings::LiveSettings(const Settings& start) : current_(start) {
  for (int i = 0; i < kSettingKeyCount; ++i) {
    numbers_[i].store(live_number(kSettingKeys[i]) ? start.*kSettingKeys[i].number : 0);
  }
  proxy_count_.store(start.L_PROXY.count);
}

Settings LiveSettings::current() const {
  platform::MutexLock guard(lock_);
  return current_;
}

void LiveSettings::publish(const Settings& next) {
  {
    platform::MutexLock guard(lock_);
    for (const SettingKey& key : kSettingKeys) {
      if (key.takes != Takes::kAtOnce) continue;
      std::memcpy(reinterpret_cast<char*>(&current_) + key.offset,
                  reinterpret_cast<const char*>(&next) + key.offset, key.size);
    }
  }
  for (int i = 0; i < kSettingKeyCount; ++i) {
    if (live_number(kSettingKeys[i])) {
      numbers_[i].store(next.*kSettingKeys[i].number, std::memory_order_release);
    }
  }
  proxy_count_.store(next.L_PROXY.count, std::memory_order_release);
  generation_.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace config
