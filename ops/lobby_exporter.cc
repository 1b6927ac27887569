// Serves the state of a host's lobbies over HTTP, for Prometheus and for a
// public "who is online" page, by asking each lobby on its admin channel.
// The lobbies themselves carry no HTTP code.
//
//   lobby_exporter [--listen ADDR:PORT] [--timeout-ms MS] [--title TEXT]
//                  [--no-page] [--cors ORIGIN] SOCKET...
//
// Each SOCKET is an admin socket path or a quoted glob of them, expanded
// anew at every reading. GET / (the status page, unless --no-page),
// GET /metrics (Prometheus text format), GET /status.json, GET /healthz
// (200 or 503); anything else is 404. Every request of a second is
// answered from one reading of the lobbies. A connection whose whole
// request has not arrived within 2 s of its first byte is closed, and
// waits meanwhile in a gate of its own, so that slow clients hold none of
// the threads that answer. Prints "listening on
// ADDR:PORT" once it listens (PORT 0 picks a free one). Exit status 2 for
// bad arguments, 1 when it cannot listen.
#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/socket_ops.h"
#include "ops/exporter.h"
#include "ops/request_gate.h"
#include "ops/status_page.h"

namespace {

constexpr char kUsage[] =
    "usage: lobby_exporter [--listen ADDR:PORT] [--timeout-ms MS] [--title TEXT] [--no-page]\n"
    "                      [--cors ORIGIN] SOCKET...\n"
    "  --listen ADDR:PORT  where to serve HTTP (default 127.0.0.1:9308; port 0 picks a\n"
    "                      free one)\n"
    "  --timeout-ms MS     how long to wait for each lobby in one request (default 1000)\n"
    "  --title TEXT        the status page's heading\n"
    "  --no-page           no status page at /\n"
    "  --cors ORIGIN       the origin (https://example.org) whose pages may read\n"
    "                      /status.json, or *\n"
    "  -h, --help          this text\n"
    "SOCKET: a lobby's admin socket, or a quoted glob such as '/var/lib/lobby/*/lobby.sock'.\n"
    "Serves GET / (the status page), /metrics, /status.json and /healthz.\n";
constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr int kDefaultTimeoutMs = 1000;
// Threads that serve requests, each one a whole request at a time (the
// request gate holds the connections still sending); each connection
// serves one request, so none is kept open between requests.
constexpr int kHttpThreads = 8;
// Connections waiting to be accepted, as many as a lobby's.
constexpr int kListenBacklog = 128;
// How long a public page's status may be kept by browsers and proxies.
constexpr char kStatusCacheControl[] = "max-age=5";

bool parse_listen(const std::string& text, std::string* host, int* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  char* end = nullptr;
  const long value = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || end == text.c_str() + colon + 1 || value < 0 || value > 65535) return false;
  *host = text.substr(0, colon);
  *port = static_cast<int>(value);
  return true;
}

// An origin as browsers send it: "*", or http(s)://HOST[:PORT] with no
// path. Anything else could never match, or would break the header.
bool valid_origin(const std::string& text) {
  if (text == "*") return true;
  size_t at = 0;
  if (text.rfind("https://", 0) == 0) {
    at = 8;
  } else if (text.rfind("http://", 0) == 0) {
    at = 7;
  } else {
    return false;
  }
  if (at == text.size()) return false;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    const bool allowed = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ||
                         c == ':' || c == '[' || c == ']';
    if (!allowed) return false;
  }
  return true;
}

// Why `host`:`port` cannot be listened on: the library reports only that
// it failed, so the same bind is tried once more to hear the system's
// reason.
std::string listen_failure(const std::string& host, int port) {
  uint32_t addr_be = 0;
  if (net::resolve_ipv4(host.c_str(), &addr_be) != 0) return "not an IPv4 address or host: " + host;
  const int fd = net::tcp_socket();
  if (fd < 0) return net::error_text(net::last_error());
  net::set_reuse_addr(fd);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&addr_be);
  const uint32_t ip =
      (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  std::string why = "the system gave no reason";
  if (net::bind_ipv4(fd, ip, port) != 0 || net::listen_fd(fd, 1) != 0) {
    why = net::error_text(net::last_error());
  }
  net::close_fd(fd);
  return why;
}

// A request the gate read whole, then the socket for the reply: the
// library parses the bytes as it would read them from the socket itself,
// and writes its reply with a bounded wait.
class GatedStream : public httplib::Stream {
 public:
  GatedStream(int fd, std::string request) : fd_(fd), request_(std::move(request)) {}

  bool is_readable() const override { return taken_ < request_.size(); }
  bool is_writable() const override { return net::poll_fd(fd_, net::kPollOut, 0) > 0; }
  ssize_t read(char* ptr, size_t size) override {
    // Past the request there is nothing more to read: one request a
    // connection.
    const size_t n = std::min(size, request_.size() - taken_);
    std::memcpy(ptr, request_.data() + taken_, n);
    taken_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    size_t sent = 0;
    while (sent < size) {
      const int n = net::send_nb(fd_, reinterpret_cast<const uint8_t*>(ptr + sent),
                                 static_cast<int>(std::min<size_t>(size - sent, 1 << 20)));
      if (n == net::kIoWouldBlock) {
        // A reader that takes nothing for this long is given up.
        if (net::poll_fd(fd_, net::kPollOut, kWriteWaitMs) <= 0) return -1;
        continue;
      }
      if (n < 0) return -1;
      sent += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip.clear();
    port = 0;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip.clear();
    port = net::local_port(fd_);
  }
  socket_t socket() const override { return fd_; }

  static constexpr int kWriteWaitMs = 5000;

 private:
  const int fd_;
  const std::string request_;
  size_t taken_ = 0;
};

// The library's server, with every connection let in through the request
// gate: its own acceptor hands each socket to the gate at once, and only a
// request that has arrived whole takes one of kHttpThreads threads.
class GatedServer : public httplib::Server {
 public:
  GatedServer()
      : pool_(kHttpThreads), gate_([this](int fd, std::string request) {
          pool_.enqueue([this, fd, request = std::move(request)]() mutable {
            serve(fd, std::move(request));
          });
        }) {}
  ~GatedServer() override {
    gate_.stop();
    pool_.shutdown();
  }

 private:
  // Called by the library for each accepted socket, on its task queue.
  bool process_and_close_socket(socket_t sock) override {
    gate_.admit(sock);
    return true;
  }

  void serve(int fd, std::string request) {
    GatedStream stream(fd, std::move(request));
    bool closed = false;
    process_request(stream, true, closed, [](httplib::Request&) {});
    net::shutdown_fd(fd);
    net::close_fd(fd);
  }

  httplib::ThreadPool pool_;
  ops::RequestGate gate_;
};

void set_public_headers(httplib::Response& res) {
  res.set_header("X-Content-Type-Options", "nosniff");
}

}  // namespace

int main(int argc, char** argv) {
  net::ignore_sigpipe();
  std::string host = "127.0.0.1";
  int port = 9308;
  int timeout_ms = kDefaultTimeoutMs;
  std::string title = ops::kDefaultPageTitle;
  bool page = true;
  std::string cors;
  std::vector<std::string> patterns;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--listen" && i + 1 < argc) {
      if (!parse_listen(argv[++i], &host, &port)) {
        std::fputs(kUsage, stderr);
        return 2;
      }
    } else if (arg == "--timeout-ms" && i + 1 < argc) {
      timeout_ms = std::atoi(argv[++i]);
      if (timeout_ms <= 0) {
        std::fputs(kUsage, stderr);
        return 2;
      }
    } else if (arg == "--title" && i + 1 < argc) {
      title = argv[++i];
    } else if (arg == "--no-page") {
      page = false;
    } else if (arg == "--cors" && i + 1 < argc) {
      cors = argv[++i];
      if (!valid_origin(cors)) {
        std::fprintf(stderr, "lobby_exporter: --cors %s is not an origin\n%s", cors.c_str(),
                     kUsage);
        return 2;
      }
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (!arg.empty() && arg[0] == '-') {
      std::fputs(kUsage, stderr);
      return 2;
    } else {
      patterns.push_back(arg);
    }
  }
  if (patterns.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  ops::Exporter exporter(patterns, timeout_ms);
  GatedServer http;
  // The library's own queue only hands each socket to the gate.
  http.new_task_queue = [] { return new httplib::ThreadPool(1); };
  // Only the pages below are served, and only to GET (and HEAD).
  http.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    if (req.method == "GET" || req.method == "HEAD")
      return httplib::Server::HandlerResponse::Unhandled;
    res.status = 404;
    return httplib::Server::HandlerResponse::Handled;
  });
  http.Get("/metrics", [&exporter](const httplib::Request&, httplib::Response& res) {
    res.set_content(exporter.answer()->metrics, kMetricsType);
  });
  http.Get("/status.json", [&exporter, &cors](const httplib::Request&, httplib::Response& res) {
    set_public_headers(res);
    res.set_header("Cache-Control", kStatusCacheControl);
    if (!cors.empty()) res.set_header("Access-Control-Allow-Origin", cors);
    res.set_content(exporter.answer()->status, "application/json");
  });
  http.Get("/healthz", [&exporter](const httplib::Request&, httplib::Response& res) {
    const std::shared_ptr<const ops::FleetAnswer> answer = exporter.answer();
    res.status = answer->health_status;
    res.set_content(answer->health_text, "text/plain; charset=utf-8");
  });
  if (page) {
    // The page itself holds no lobby data: its script fetches status.json.
    http.Get("/", [&title](const httplib::Request&, httplib::Response& res) {
      const std::string nonce = ops::make_nonce();
      set_public_headers(res);
      res.set_header("Content-Security-Policy", ops::status_page_policy(nonce));
      res.set_header("Cache-Control", "no-cache");
      res.set_content(ops::status_page(title, nonce), "text/html; charset=utf-8");
    });
  }

  // The library's default sets SO_REUSEPORT, which would let a second
  // exporter share the port and answer half the scrapes; SO_REUSEADDR alone
  // still allows a quick restart.
  // The listening socket is the first one made.
  int listening = -1;
  http.set_socket_options([&listening](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (listening < 0) listening = sock;
  });
  const int bound =
      port == 0 ? http.bind_to_any_port(host) : (http.bind_to_port(host, port) ? port : -1);
  if (bound < 0) {
    std::fprintf(stderr, "lobby_exporter: cannot listen on %s:%d: %s\n", host.c_str(), port,
                 listen_failure(host, port).c_str());
    return 1;
  }
  // The library listens with a queue of 5 connections, which a burst of
  // page loads overflows: the kernel then drops connections, and their
  // clients wait a second before they try again. Listening again only
  // deepens the queue.
  if (listening >= 0) net::listen_fd(listening, kListenBacklog);
  std::printf("listening on %s:%d\n", host.c_str(), bound);
  std::fflush(stdout);
  return http.listen_after_bind() ? 0 : 1;
}
