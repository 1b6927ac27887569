#include "admin/admin_channel.h"

#include <cstring>

#include "admin/replies.h"
#include "config/settings.h"
#include "lobby/lobby_events.h"
#include "net/local_stream.h"

namespace admin {
namespace {

// A queue that grew for one large reply gives its memory back once sent.
constexpr size_t kKeptQueueBytes = 64 * 1024;

// What the image carries of the channel holds whatever a connection holds.
static_assert(kMaxConnections <= lobby::kImageAdminConnections);
static_assert(kMaxLineBytes + 1 <= static_cast<int>(lobby::kImageAdminLineBytes));
static_assert(kReplyQueueLimit <= lobby::kImageAdminReplyBytes);

}  // namespace

AdminChannel::AdminChannel(lobby::Server& server, AdminHooks hooks)
    : server_(server), hooks_(std::move(hooks)), path_(server.lobby().settings.L_ADMIN) {}

AdminChannel::~AdminChannel() { stop(); }

int AdminChannel::open() {
  lobby::LobbyEvents* events = server_.lobby().events;
  if (path_ == config::kAdminOff) return -1;
  const std::string note = charset_note(server_.lobby().settings.L_CHARSET);
  if (!note.empty()) lobby::report_event(events, "%s", note.c_str());
  const std::string address = net::local_address(path_.c_str());
  int error = 0;
  const int fd = net::local_listen(path_.c_str(), kListenBacklog, identity_, &error);
  switch (fd) {
    case net::kLocalNameTooLong:
      lobby::report_event(events, "admin channel off: the path %s is too long", path_.c_str());
      return -1;
    case net::kLocalInUse:
      lobby::report_event(events, "admin channel off: another server answers on %s",
                          address.c_str());
      return -1;
    case net::kLocalNotSocket:
      lobby::report_event(events, "admin channel off: %s is there and is not a socket",
                          address.c_str());
      return -1;
    case net::kLocalFailed:
      lobby::report_event(events, "admin channel off: cannot listen on %s: %s", address.c_str(),
                          net::error_text(error));
      return -1;
    default:
      break;
  }
  wake_fd_ = net::local_make_wake();
  if (wake_fd_ < 0) {
    net::local_unlisten(fd, path_.c_str(), identity_);
    lobby::report_event(events, "admin channel off: no wake-up descriptor");
    return -1;
  }
  listen_fd_ = fd;
  const char* group = server_.lobby().settings.L_ADMIN_GROUP;
  std::string shared;
  if (group[0] != '\0') {
    // A group that cannot be given the socket leaves it to the owner
    // alone: narrower than asked, never wider.
    const int rc = net::local_share_with_group(path_.c_str(), group, &error);
    if (rc == 0) {
      shared = std::string(", group ") + group;
    } else if (rc == net::kLocalNoGroup) {
      lobby::report_event(events, "admin socket %s stays owner-only: there is no group %s",
                          address.c_str(), group);
    } else {
      lobby::report_event(events,
                          "admin socket %s stays owner-only: cannot give it to group %s: %s",
                          address.c_str(), group, net::error_text(error));
    }
  }
  // Made here, on the main thread, so that what it holds comes from the
  // main thread's heap: the channel's thread, which sleeps until an
  // operator asks, then has no heap of its own until it is used.
  commands_ = std::make_unique<AdminCommands>(server_, hooks_);
  lobby::report_event(events, "admin channel on %s%s", address.c_str(), shared.c_str());
  return 0;
}

int AdminChannel::adopt(const lobby::ProcessImage& image) {
  if (image.admin_listen_fd < 0) return -1;
  wake_fd_ = net::local_make_wake();
  if (wake_fd_ < 0) {
    lobby::report_event(server_.lobby().events, "admin channel off: no wake-up descriptor");
    net::local_close(image.admin_listen_fd);
    for (const lobby::AdminConnectionImage& a : image.admin) net::local_close(a.fd);
    return -1;
  }
  listen_fd_ = image.admin_listen_fd;
  identity_[0] = image.admin_identity[0];
  identity_[1] = image.admin_identity[1];
  size_t next = 0;
  for (const lobby::AdminConnectionImage& a : image.admin) {
    if (next == kMaxConnections) {
      net::local_close(a.fd);
      continue;
    }
    Client& client = clients_[next++];
    client.fd = a.fd;
    client.in_length = static_cast<int>(a.in.size());
    std::memcpy(client.in, a.in.data(), a.in.size());
    client.input_ended = a.input_ended;
    client.out = a.out;
    client.out_sent = 0;
    client.last_command_ms = a.last_command_ms;
    client.awaits_upgrade = a.awaits_upgrade;
    client.user = net::local_peer_user(client.fd);
  }
  commands_ = std::make_unique<AdminCommands>(server_, hooks_);
  return 0;
}

void AdminChannel::start() {
  running_.store(true, std::memory_order_release);
  thread_ = std::thread([this] { run(); });
}

bool AdminChannel::request_upgrade() {
  if (!running_.load(std::memory_order_acquire)) return false;
  upgrade_asked_.store(true, std::memory_order_release);
  net::local_wake(wake_fd_);
  return true;
}

std::string AdminChannel::upgrade(Client* requester, const std::string& program) {
  if (!hooks_.upgrade) return "upgrade is not offered here";
  // The channel goes with the lobby: its socket, and every connection with
  // what it has not yet read or been sent.
  lobby::ProcessImage admin;
  admin.admin_listen_fd = listen_fd_;
  admin.admin_identity[0] = identity_[0];
  admin.admin_identity[1] = identity_[1];
  for (Client& client : clients_) {
    if (client.fd < 0) continue;
    lobby::AdminConnectionImage a;
    a.fd = client.fd;
    a.in.assign(client.in, static_cast<size_t>(client.in_length));
    a.out = client.out.substr(client.out_sent);
    a.input_ended = client.input_ended;
    a.last_command_ms = client.last_command_ms;
    a.awaits_upgrade = &client == requester || client.awaits_upgrade;
    admin.admin.push_back(std::move(a));
  }
  return hooks_.upgrade(program, admin);
}

int AdminChannel::send_upgrade_reply() {
  bool owed = false;
  for (const Client& client : clients_) owed = owed || (client.fd >= 0 && client.awaits_upgrade);
  if (!owed) return -1;
  const int64_t first_pass_ns = server_.first_passes_done_ns();
  // The pause ends with the new program's first pass; until then the thread
  // looks again each millisecond.
  if (first_pass_ns == 0) return 1;
  const std::string reply = commands_->upgraded_reply(first_pass_ns);
  for (Client& client : clients_) {
    if (client.fd < 0 || !client.awaits_upgrade) continue;
    client.awaits_upgrade = false;
    client.out += reply;
    client.out += '\n';
    write_replies(client);
  }
  return -1;
}

void AdminChannel::stop() {
  running_.store(false, std::memory_order_release);
  net::local_wake(wake_fd_);
  if (thread_.joinable()) thread_.join();
  for (Client& client : clients_) close_client(client);
  if (listen_fd_ >= 0) {
    net::local_unlisten(listen_fd_, path_.c_str(), identity_);
    listen_fd_ = -1;
  }
  net::local_close(wake_fd_);
  wake_fd_ = -1;
}

void AdminChannel::run() {
  while (running_.load(std::memory_order_acquire)) {
    // A failed upgrade has logged why.
    if (upgrade_asked_.exchange(false, std::memory_order_acq_rel)) upgrade(nullptr, "");
    // Only a connection, a command, a reader that takes more, an idle
    // connection's time, an upgrade's reply or the stop wakes this thread.
    int timeout_ms = close_idle_clients();
    const int reply_wait_ms = send_upgrade_reply();
    if (reply_wait_ms >= 0 && (timeout_ms < 0 || reply_wait_ms < timeout_ms)) {
      timeout_ms = reply_wait_ms;
    }
    net::PollEntry entries[3 + kMaxConnections];
    int owner[3 + kMaxConnections];
    int n = 0;
    entries[n++] = {wake_fd_, net::kPollIn, 0};
    entries[n++] = {listen_fd_, net::kPollIn, 0};
    const int reload_wake = commands_->reload_wake();
    const int reload_index = reload_wake >= 0 ? n : -1;
    if (reload_wake >= 0) entries[n++] = {reload_wake, net::kPollIn, 0};
    const int first_client = n;
    for (int i = 0; i < kMaxConnections; ++i) {
      const Client& client = clients_[i];
      if (client.fd < 0) continue;
      int events = client.input_ended || client.awaiting_reload ? 0 : net::kPollIn;
      if (client.out_sent < client.out.size()) events |= net::kPollOut;
      owner[n] = i;
      entries[n++] = {client.fd, events, 0};
    }
    if (net::local_poll(entries, n, timeout_ms) < 0) break;
    if (entries[0].ready & net::kPollIn) net::local_drain_wake(wake_fd_);
    if (!running_.load(std::memory_order_acquire)) break;
    if (entries[1].ready & net::kPollIn) accept_waiting();
    if (reload_index >= 0 && (entries[reload_index].ready & net::kPollIn)) finish_reload();
    for (int e = first_client; e < n; ++e) {
      Client& client = clients_[owner[e]];
      if (client.fd < 0) continue;
      if (entries[e].ready & net::kPollIn) read_commands(client);
      if (client.fd >= 0 && client.out_sent < client.out.size()) write_replies(client);
    }
  }
}

int AdminChannel::close_idle_clients() {
  lobby::Clock& clock = server_.clock();
  int wait_ms = -1;
  for (Client& client : clients_) {
    if (client.fd < 0) continue;
    const int left = clock.ms_until(client.last_command_ms + kIdleTimeoutMs);
    if (left == 0) {
      close_client(client);
    } else if (left > 0 && (wait_ms < 0 || left < wait_ms)) {
      wait_ms = left;
    }
  }
  return wait_ms;
}

void AdminChannel::accept_waiting() {
  for (;;) {
    const int fd = net::local_accept(listen_fd_);
    if (fd < 0) return;
    Client* free_client = find_free_client();
    if (free_client == nullptr) {
      // Clients that left, or whose time ran out, since this pass's wait
      // began free their place first: the limit counts connections still
      // open and in use.
      close_idle_clients();
      for (Client& client : clients_) {
        net::PollEntry entry = {client.fd, net::kPollIn, 0};
        if (client.fd >= 0 && net::local_poll(&entry, 1, 0) > 0) read_commands(client);
      }
      free_client = find_free_client();
    }
    if (free_client == nullptr) {
      // Told why, at once; a fresh stream always takes the line.
      const std::string reply = error_reply("too many admin connections") + "\n";
      net::local_send(fd, reinterpret_cast<const uint8_t*>(reply.data()),
                      static_cast<int>(reply.size()));
      net::local_close(fd);
      continue;
    }
    free_client->fd = fd;
    free_client->in_length = 0;
    free_client->input_ended = false;
    free_client->out.clear();
    free_client->out_sent = 0;
    free_client->last_command_ms = server_.clock().now_ms();
    free_client->user = net::local_peer_user(fd);
    free_client->awaiting_reload = false;
  }
}

void AdminChannel::finish_reload() {
  const std::string reply = commands_->finish_reload();
  if (reply.empty()) return;  // still reading
  for (Client& client : clients_) {
    if (client.fd < 0 || !client.awaiting_reload) continue;
    client.awaiting_reload = false;
    client.out += reply;
    client.out += '\n';
    run_lines(client);
    if (client.fd >= 0 && client.input_ended && client.in_length == 0 &&
        client.out_sent == client.out.size()) {
      close_client(client);
    }
  }
}

AdminChannel::Client* AdminChannel::find_free_client() {
  for (Client& client : clients_) {
    if (client.fd < 0) return &client;
  }
  return nullptr;
}

void AdminChannel::read_commands(Client& client) {
  // Lines after a reload wait in the stream until its reply is written.
  if (client.awaiting_reload) return;
  const int space = static_cast<int>(sizeof client.in) - client.in_length;
  const int n =
      net::local_recv(client.fd, reinterpret_cast<uint8_t*>(client.in + client.in_length), space);
  if (n == net::kIoWouldBlock) return;
  if (n < 0) {
    close_client(client);
    return;
  }
  if (n == 0) {
    // Replies still owed go out before the connection is closed.
    client.input_ended = true;
    if (client.in_length == 0) {
      if (client.out_sent == client.out.size()) close_client(client);
      return;
    }
    // A last command without its line feed ("printf status | nc -U") is
    // still answered; the buffer always has room for the feed.
    client.in[client.in_length++] = '\n';
  } else {
    client.in_length += n;
  }
  run_lines(client);
  if (client.fd < 0 || client.awaiting_reload) return;
  if (client.input_ended) {
    // Its replies, if any, are sent by the caller, which then closes it.
    if (client.out_sent == client.out.size()) close_client(client);
    return;
  }
  if (client.in_length == static_cast<int>(sizeof client.in)) {
    client.out += error_reply("line longer than " + std::to_string(kMaxLineBytes) + " bytes");
    client.out += '\n';
    write_replies(client);
    // The rest of the line is read away first: closing with unread input
    // resets the connection, which could destroy the error before the
    // client reads it.
    for (int i = 0; i < 4 && client.fd >= 0; ++i) {
      if (net::local_recv(client.fd, reinterpret_cast<uint8_t*>(client.in), sizeof client.in) <=
          0) {
        break;
      }
    }
    close_client(client);
  }
}

std::string AdminChannel::upgrade_command(Client& client, const std::string* words, int count) {
  if (count > 2) return error_reply("usage: upgrade [PROGRAM]");
  // Another program runs as the lobby's user: only that user may name one.
  // The operators' group upgrades to the lobby's own file.
  if (count == 2 && !net::local_peer_is_owner(client.fd)) {
    return error_reply(
        "only the lobby's own user may name a program; upgrade alone starts the program file the "
        "lobby was started from");
  }
  return error_reply(upgrade(&client, count == 2 ? words[1] : ""));
}

void AdminChannel::run_lines(Client& client) {
  int start = 0;
  for (int i = 0; i < client.in_length && !client.awaiting_reload; ++i) {
    if (client.in[i] != '\n') continue;
    int end = i;
    if (end > start && client.in[end - 1] == '\r') --end;
    const std::string line(client.in + start, static_cast<size_t>(end - start));
    start = i + 1;
    // A blank line is no command and gets no reply.
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    client.last_command_ms = server_.clock().now_ms();
    std::string words[3];
    const int count = split_words(line, words, 3);
    std::string reply;
    if (count >= 1 && words[0] == "upgrade") {
      // What follows the command goes with the connection, unread.
      std::memmove(client.in, client.in + start, static_cast<size_t>(client.in_length - start));
      client.in_length -= start;
      i = -1;
      start = 0;
      reply = upgrade_command(client, words, count);
    } else {
      reply = commands_->run(line, client.user);
    }
    if (reply == kPendingReply) {
      client.awaiting_reload = true;
      continue;
    }
    client.out += reply;
    client.out += '\n';
    if (client.out.size() - client.out_sent > kReplyQueueLimit) {
      // It does not read what it asked for: it is given up, not waited for.
      close_client(client);
      return;
    }
  }
  std::memmove(client.in, client.in + start, static_cast<size_t>(client.in_length - start));
  client.in_length -= start;
}

void AdminChannel::write_replies(Client& client) {
  while (client.out_sent < client.out.size()) {
    const int n = net::local_send(
        client.fd, reinterpret_cast<const uint8_t*>(client.out.data() + client.out_sent),
        static_cast<int>(client.out.size() - client.out_sent));
    if (n == net::kIoWouldBlock) return;
    if (n < 0) {
      close_client(client);
      return;
    }
    client.out_sent += static_cast<size_t>(n);
  }
  client.out.clear();
  client.out_sent = 0;
  if (client.out.capacity() > kKeptQueueBytes) client.out.shrink_to_fit();
  if (client.input_ended) close_client(client);
}

void AdminChannel::close_client(Client& client) {
  if (client.fd < 0) return;
  net::local_close(client.fd);
  client.fd = -1;
  client.in_length = 0;
  client.input_ended = false;
  client.awaiting_reload = false;
  std::string().swap(client.out);
  client.out_sent = 0;
}

}  // namespace admin
