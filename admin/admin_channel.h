// The operator's admin channel: a local stream (L_ADMIN, the lobby's own
// user only, or also the group L_ADMIN_GROUP on POSIX; a Unix-domain
// socket on POSIX, a named pipe on Windows, see net/local_stream.h) on
// which each line is a command answered by one line of JSON. It has its
// own thread, which sleeps in one readiness wait over the listener, its
// connections and a wake-up handle, and never blocks a lobby thread:
// commands read the lobby through a snapshot taken with the locks held
// briefly, and replies are written with no lock held.
//
// Threading: open(), start() and stop() on the main thread; everything
// else on the channel's own thread.
#ifndef ADMIN_ADMIN_CHANNEL_H_
#define ADMIN_ADMIN_CHANNEL_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "admin/commands.h"
#include "lobby/server.h"

namespace admin {

constexpr int kMaxConnections = 8;
// A longer command line is answered with an error and its connection
// closed.
constexpr int kMaxLineBytes = 1024;
// Replies queued for a client that does not read them; beyond this the
// client is closed, so it cannot make the channel hold more.
constexpr size_t kReplyQueueLimit = 256 * 1024;
constexpr int kListenBacklog = kMaxConnections;
// A connection that sends no command for this long is closed, so that
// clients left open and forgotten cannot hold every place. A part of a
// line does not count; the time is the server's clock.
constexpr int64_t kIdleTimeoutMs = 60 * 1000;

class AdminChannel {
 public:
  // `server` must outlive the channel.
  AdminChannel(lobby::Server& server, AdminHooks hooks);
  // Stops the channel.
  ~AdminChannel();
  AdminChannel(const AdminChannel&) = delete;
  AdminChannel& operator=(const AdminChannel&) = delete;

  // Listens at L_ADMIN. 0 when it listens; -1 when the channel
  // is off ("-") or cannot be had, which the event log tells. It sets the
  // process's umask for a moment: before any other thread creates files.
  int open();
  // Starts the channel's thread. REQUIRES: open() returned 0.
  void start();
  // Ends the thread, closes every connection and removes the socket file
  // (if it is still the one this channel made). Safe to call twice.
  void stop();

  // The socket's path as configured.
  const std::string& path() const { return path_; }

 private:
  struct Client {
    int fd = -1;                 // a stream handle
    char in[kMaxLineBytes + 1];  // one line and its line feed
    int in_length = 0;
    bool input_ended = false;  // the client shut its sending side
    std::string out;           // replies not yet taken by the stream
    size_t out_sent = 0;
    int64_t last_command_ms = 0;  // the clock's time of its connect or last command
    std::string user;             // the operator's user name, from the stream's peer
    // Its reload reads the settings file: its later lines wait, unread, so
    // that its replies keep their order.
    bool awaiting_reload = false;
  };

  void run();
  void accept_waiting();
  Client* find_free_client();
  void read_commands(Client& client);
  // Runs the client's complete lines, up to one whose reply comes later.
  void run_lines(Client& client);
  // A reload's reading is done: its reply goes to the client that asked,
  // if it is still there, whose waiting lines then run.
  void finish_reload();
  void write_replies(Client& client);
  void close_client(Client& client);
  // Closes the connections idle for kIdleTimeoutMs; how long the thread
  // may sleep before the next one is due (-1: only an event can tell).
  int close_idle_clients();

  lobby::Server& server_;
  AdminHooks hooks_;
  const std::string path_;
  // Handles of net/local_stream.h.
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  uint64_t identity_[2] = {0, 0};  // of the socket file, once made
  std::atomic<bool> running_{false};
  std::thread thread_;
  // Made by open(); the channel's thread's alone from start() on.
  std::unique_ptr<AdminCommands> commands_;
  Client clients_[kMaxConnections];
};

}  // namespace admin

#endif  // ADMIN_ADMIN_CHANNEL_H_
