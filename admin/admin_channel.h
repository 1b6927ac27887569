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
#include "lobby/state_image.h"

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
  // Takes over the channel a program that upgraded to this one handed over:
  // its listening socket and connections, with their unread lines and
  // unsent replies. The connection that asked for the upgrade is sent its
  // reply once the lobby serves again. 0, or -1 when the image has no
  // channel. In place of open().
  int adopt(const lobby::ProcessImage& image);
  // Starts the channel's thread. REQUIRES: open() or adopt() returned 0.
  void start();
  // Asks the channel's thread to upgrade the lobby to the program it was
  // started from, as `upgrade` does, for SIGUSR2. False when the thread does
  // not run (the caller then upgrades itself). Any thread.
  bool request_upgrade();
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
    // It asked for the upgrade that started this program: its reply is due
    // once the lobby serves again.
    bool awaits_upgrade = false;
    std::string user;  // the operator's user name, from the stream's peer
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
  // The upgrade command, which the channel runs itself: it hands itself
  // over with the lobby. `words` holds the line's first `count` words.
  std::string upgrade_command(Client& client, const std::string* words, int count);
  // A reload's reading is done: its reply goes to the client that asked,
  // if it is still there, whose waiting lines then run.
  void finish_reload();
  void write_replies(Client& client);
  void close_client(Client& client);
  // Runs an upgrade for `requester` (null: SIGUSR2's): hands over the
  // channel with the lobby. Returns only when it failed, with why.
  std::string upgrade(Client* requester, const std::string& program);
  // Queues the reply owed for the upgrade, once the lobby has served a
  // pass. How long the thread may sleep before it looks again (-1: none
  // owed).
  int send_upgrade_reply();
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
  // Atomic: SIGUSR2 asked for an upgrade the thread has not run yet.
  std::atomic<bool> upgrade_asked_{false};
  std::thread thread_;
  // Made by open(); the channel's thread's alone from start() on.
  std::unique_ptr<AdminCommands> commands_;
  Client clients_[kMaxConnections];
};

}  // namespace admin

#endif  // ADMIN_ADMIN_CHANNEL_H_
