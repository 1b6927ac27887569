#include "tests/harness/image_lobby.h"

#include <cstdio>
#include <cstring>

#include "lobby/dispatcher.h"
#include "net/socket_ops.h"

namespace lobby {
namespace {

constexpr uint32_t kLoopback = 0x7f000001;  // 127.0.0.1

net::IpAddress v4(uint32_t host_order) { return net::IpAddress::from_v4(host_order); }
net::IpAddress v6(const char* text) {
  net::IpAddress address;
  net::parse_ip_address(text, &address);
  return address;
}
// Never logs in.
const net::IpAddress kStranger = v4(0x0a000009);  // 10.0.0.9

// Client messages, written here as a game client writes them.
std::string le32(int32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  return s;
}
std::string le16(int32_t v) { return le32(v).substr(0, 2); }
std::string enter(int32_t id, const char* name, int32_t key, int32_t seats, int32_t start) {
  std::string n(name);
  n.resize(16, '\0');
  return "2N" + le32(id) + n + "2V" + le32(1) + "2G" + le32(id) + le32(key) + le16(seats) +
         le16(start);
}
std::string room_op(int32_t op) { return "2L" + le32(op); }
std::string chat(const std::string& text) {
  return "2C" + le32(0) + std::string(1, static_cast<char>(text.size())) + text;
}
std::string direct(int32_t seat, int32_t value) { return "2D" + le16(seat) + le32(value); }

}  // namespace

ImageLobby::ImageLobby(const config::Settings& settings, int64_t now_ms)
    : clock_(now_ms), server_(new Server(settings, &clock_, nullptr, &transport_)) {
  // The same places, and so the same image, at every run.
  fix_hash_keys(*server_, 0x0123456789abcdef, 0xfedcba9876543210);
}

config::Settings ImageLobby::script_settings() {
  config::Settings settings;
  std::snprintf(settings.L_NAME, sizeof settings.L_NAME, "golden");
  settings.L_PORT = 0;
  settings.L_DENY[0] = '\0';
  settings.L_CHAT_BURST = 3;
  settings.L_LURK = 30;
  return settings;
}

ProcessImage ImageLobby::script_process() {
  ProcessImage process;
  process.pid = 4321;
  process.server_version = "0.9.4";
  process.commit = "golden";
  process.serving_since_unix_s = 1800000000;
  process.serving_since_ms = kStartMs - 60000;
  process.upgrades = 2;
  process.paused_at_ns = 123456789;
  process.admin_listen_fd = 50;
  process.admin_identity[0] = 2049;
  process.admin_identity[1] = 77;
  AdminConnectionImage asker;
  asker.fd = 51;
  asker.in = "sta";
  asker.out = "{\"users\":[]}\n";
  asker.last_command_ms = kStartMs;
  asker.awaits_upgrade = true;
  process.admin.push_back(asker);
  return process;
}

void ImageLobby::run_script(int stages) {
  for (int stage = 1; stage <= stages; ++stage) {
    switch (stage) {
      case 1:
        // alice and bob (group 5, rooms of two), carol (group 5), dave
        // (group 7) log in from addresses of their own; a stranger
        // connects and says nothing.
        feed(connect(v4(kLoopback)), enter(1, "alice", 5, 4, 2));
        feed(connect(v4(kLoopback + 1)), enter(2, "bob", 5, 4, 2));
        feed(connect(v4(kLoopback + 2)), enter(3, "carol", 5, 8, 8));
        feed(connect(v6("2001:db8::4")), enter(4, "dave", 7, 8, 8));
        connect(kStranger);
        for (int slot = 0; slot < 5; ++slot) pass(slot);
        clock_.advance(1000);
        break;
      case 2:
        // alice makes room 0 and bob joins it: its game starts.
        feed(0, room_op(-1));
        pass(0);
        feed(1, room_op(0));
        pass(1);
        pass(0);
        pass(1);
        clock_.advance(500);
        break;
      case 3:
        // alice writes to bob twice before bob's next pass; carol says
        // four lines, the last held by her address's pace of three.
        feed(0, direct(1, 77) + direct(1, 78));
        pass(0);
        feed(2, chat("one") + chat("two") + chat("three") + chat("four"));
        pass(2);
        clock_.advance(250);
        break;
      case 4: {
        // dave floods keep-alives past his burst and is held; bob takes
        // his direct messages and sends half a chat line.
        std::string alive;
        for (int i = 0; i < 60; ++i) alive += "2P";
        feed(3, alive);
        pass(3);
        feed(1, chat("half a line").substr(0, 9));
        pass(1);
        clock_.advance(100);
        break;
      }
      case 5: {
        // The lobby drains; the stranger's address has two strikes, and
        // the accept thread has asked for its drop.
        server_->start_drain(600);
        lobby().auto_bans.strike(kStranger, kDropNoLogin, 5, clock_.now_ms() - 9000);
        lobby().auto_bans.strike(kStranger, kDropDisplaced, 5, clock_.now_ms() - 4000);
        request_drop(lobby(), 4, lobby().slots[4].drop_request.serial(), kDropNoLogin);
        clock_.advance(40);
        break;
      }
      default:
        break;
    }
  }
}

int ImageLobby::connect(const net::IpAddress& addr) {
  const int slot = find_free_slot(lobby());
  if (slot == kNone) return kNone;
  PeerInfo peer;
  peer.addr = addr;
  peer.port = 40000 + slot;
  peer.placed_ms = clock_.now_ms();
  transport_.open(slot);
  place_client(lobby(), lobby().slots[static_cast<size_t>(slot)], slot, peer);
  return slot;
}

void ImageLobby::feed(int slot, const std::string& bytes) {
  transport_.send_from_client(slot, bytes);
}

bool ImageLobby::pass(int slot) {
  ClientSlot& client = lobby().slots[static_cast<size_t>(slot)];
  if (!client.is_open()) return false;
  serve_client(lobby(), client, !client.input_held(), clock_.now_ms());
  return client.is_open();
}

std::string ImageLobby::take_output(int slot) {
  ClientSlot& client = lobby().slots[static_cast<size_t>(slot)];
  std::string out;
  uint8_t message[net::kSendSlotBytes];
  for (int n = client.take_unsent(message); n > 0; n = client.take_unsent(message)) {
    out.append(reinterpret_cast<const char*>(message), static_cast<size_t>(n));
  }
  return out;
}

std::string ImageLobby::image(const ProcessImage& process) {
  std::string bytes;
  // The moment of writing on the steady clock, fixed for the golden file.
  write_state_image(*server_, process, clock_.now_ms(), kWrittenAtNs, &bytes);
  return bytes;
}

int ImageLobby::restore(const std::string& image, ProcessImage* process, std::string* error) {
  return restore_state_image(reinterpret_cast<const uint8_t*>(image.data()), image.size(),
                             server_.get(), process, clock_.now_ms(), error);
}

}  // namespace lobby
