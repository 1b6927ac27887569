// A client of a lobby's admin channel: one connection of the local stream
// (net/local_stream.h: a Unix-domain socket, or a named pipe on Windows) on
// which each request is a line and each reply a line of JSON, every wait
// bounded.
// For lobbyctl, the exporter and the tests. One thread.
#ifndef OPS_ADMIN_CLIENT_H_
#define OPS_ADMIN_CLIENT_H_

#include <string>

namespace ops {

class AdminClient {
 public:
  AdminClient() = default;
  ~AdminClient();
  AdminClient(const AdminClient&) = delete;
  AdminClient& operator=(const AdminClient&) = delete;

  // Connects to the lobby at `path` (a socket's path; on Windows the pipe
  // named after it). False with the reason in `*error`.
  bool connect_to(const std::string& path, std::string* error);
  // Sends `line` and a line feed, waiting at most `timeout_ms` for the
  // socket to take it.
  bool send_line(const std::string& line, int timeout_ms, std::string* error);
  // The next line received, without its line feed, waiting at most
  // `timeout_ms`. False on time-out or when the connection ended first.
  bool read_line(std::string* line, int timeout_ms, std::string* error);
  // send_line, then read_line, within `timeout_ms` in all. A line the
  // lobby sent before it closed the connection is the reply even when the
  // request could no longer be sent.
  bool request(const std::string& line, std::string* reply, int timeout_ms, std::string* error);
  void close();

  // The stream's handle (on POSIX the socket's descriptor).
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::string received_;  // bytes after the last line taken
};

// One request on a connection of its own: connect, ask, read the reply.
bool ask_lobby(const std::string& path, const std::string& line, std::string* reply, int timeout_ms,
               std::string* error);

}  // namespace ops

#endif  // OPS_ADMIN_CLIENT_H_
