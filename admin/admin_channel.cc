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

void AdminChannel::start() {
  running_.store(true, std::memory_order_release);
  thread_ = std::thread([this] { run(); });
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
    // Only a connection, a command, a reader that takes more, an idle
    // connection's time or the stop wakes this thread.
    const int timeout_ms = close_idle_clients();
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
    const std::string reply = commands_->run(line, client.user);
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
