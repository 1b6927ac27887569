#include "config/live_settings.h"

#include <cstring>

namespace config {
namespace {

// Each live number and the field it comes from.
struct NumberKey {
  LiveNumber key;
  int32_t Settings::*field;
};
constexpr NumberKey kNumberKeys[] = {
    {kLiveVer, &Settings::VER},
    {kLiveLoginWait, &Settings::L_LOGIN_WAIT},
    {kLivePerIp, &Settings::L_PER_IP},
    {kLiveFloodRate, &Settings::L_FLOOD_RATE},
    {kLiveFloodBurst, &Settings::L_FLOOD_BURST},
    {kLivePerNet, &Settings::L_PER_NET},
    {kLiveConnRate, &Settings::L_CONN_RATE},
    {kLiveLurk, &Settings::L_LURK},
    {kLiveRoomsPerIp, &Settings::L_ROOMS_PER_IP},
    {kLiveChatRate, &Settings::L_CHAT_RATE},
    {kLiveChatBurst, &Settings::L_CHAT_BURST},
    {kLiveAutoBan, &Settings::L_AUTOBAN},
    {kLiveAutoBanS, &Settings::L_AUTOBAN_S},
    {kLiveSendBuffer, &Settings::L_SEND_BUFFER},
};
static_assert(sizeof kNumberKeys / sizeof kNumberKeys[0] == kLiveNumbers);

bool same_address(const int32_t a[4], const int32_t b[4]) {
  return std::memcmp(a, b, 4 * sizeof(int32_t)) == 0;
}

}  // namespace

LiveSettings::LiveSettings(const Settings& start) : current_(start) {
  for (const NumberKey& k : kNumberKeys) numbers_[k.key].store(start.*k.field);
}

Settings LiveSettings::current() const {
  platform::MutexLock guard(lock_);
  return current_;
}

void LiveSettings::publish(const Settings& next) {
  {
    platform::MutexLock guard(lock_);
    for (const NumberKey& k : kNumberKeys) current_.*k.field = next.*k.field;
    std::memcpy(current_.L_NAME, next.L_NAME, sizeof current_.L_NAME);
    std::memcpy(current_.N_IP, next.N_IP, sizeof current_.N_IP);
    current_.N_PORT = next.N_PORT;
    std::memcpy(current_.L_CHARSET, next.L_CHARSET, sizeof current_.L_CHARSET);
    std::memcpy(current_.L_DENY, next.L_DENY, sizeof current_.L_DENY);
  }
  for (const NumberKey& k : kNumberKeys) {
    numbers_[k.key].store(next.*k.field, std::memory_order_release);
  }
  generation_.fetch_add(1, std::memory_order_acq_rel);
}

void differing_keys(const Settings& a, const Settings& b, std::vector<std::string>* live,
                    std::vector<std::string>* restart) {
  auto note = [](bool differs, const char* key, std::vector<std::string>* into) {
    if (differs) into->push_back(key);
  };
  note(a.VER != b.VER, "VER", live);
  note(a.ROOM != b.ROOM, "ROOM", restart);
  note(std::strcmp(a.L_NAME, b.L_NAME) != 0, "L_NAME", live);
  note(!same_address(a.L_IP, b.L_IP), "L_IP", restart);
  note(a.L_PORT != b.L_PORT, "L_PORT", restart);
  note(!same_address(a.N_IP, b.N_IP), "N_IP", live);
  note(a.N_PORT != b.N_PORT, "N_PORT", live);
  note(std::strcmp(a.L_ADMIN, b.L_ADMIN) != 0, "L_ADMIN", restart);
  note(std::strcmp(a.L_ADMIN_GROUP, b.L_ADMIN_GROUP) != 0, "L_ADMIN_GROUP", restart);
  note(std::strcmp(a.L_CHARSET, b.L_CHARSET) != 0, "L_CHARSET", live);
  note(a.L_LOGIN_WAIT != b.L_LOGIN_WAIT, "L_LOGIN_WAIT", live);
  note(a.L_PER_IP != b.L_PER_IP, "L_PER_IP", live);
  note(a.L_FLOOD_RATE != b.L_FLOOD_RATE, "L_FLOOD_RATE", live);
  note(a.L_FLOOD_BURST != b.L_FLOOD_BURST, "L_FLOOD_BURST", live);
  note(a.L_CHAT_RATE != b.L_CHAT_RATE, "L_CHAT_RATE", live);
  note(a.L_CHAT_BURST != b.L_CHAT_BURST, "L_CHAT_BURST", live);
  note(a.L_PER_NET != b.L_PER_NET, "L_PER_NET", live);
  note(a.L_CONN_RATE != b.L_CONN_RATE, "L_CONN_RATE", live);
  note(a.L_LURK != b.L_LURK, "L_LURK", live);
  note(a.L_ROOMS_PER_IP != b.L_ROOMS_PER_IP, "L_ROOMS_PER_IP", live);
  note(a.L_AUTOBAN != b.L_AUTOBAN, "L_AUTOBAN", live);
  note(a.L_AUTOBAN_S != b.L_AUTOBAN_S, "L_AUTOBAN_S", live);
  note(a.L_SEND_BUFFER != b.L_SEND_BUFFER, "L_SEND_BUFFER", live);
  note(std::strcmp(a.L_DENY, b.L_DENY) != 0, "L_DENY", live);
}

}  // namespace config
