// Serves the state of a host's lobbies over HTTP, for Prometheus and for a
// public "who is online" page, by asking each lobby on its admin channel.
// The lobbies themselves carry no HTTP code.
//
//   lobby_exporter [--listen ADDR:PORT] [--timeout-ms MS] SOCKET...
//
// Each SOCKET is an admin socket path or a quoted glob of them, expanded
// anew at every request. GET /metrics (Prometheus text format),
// GET /status.json, GET /healthz (200 or 503); anything else is 404.
// Prints "listening on ADDR:PORT" once it listens (PORT 0 picks a free
// one). Exit status 2 for bad arguments, 1 when it cannot listen.
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/socket_ops.h"
#include "ops/exporter.h"

namespace {

constexpr char kUsage[] =
    "usage: lobby_exporter [--listen ADDR:PORT] [--timeout-ms MS] SOCKET...\n"
    "  --listen ADDR:PORT  where to serve HTTP (default 127.0.0.1:9308; port 0 picks a\n"
    "                      free one)\n"
    "  --timeout-ms MS     how long to wait for each lobby in one request (default 1000)\n"
    "  -h, --help          this text\n"
    "SOCKET: a lobby's admin socket, or a quoted glob such as '/var/lib/lobby/*/lobby.sock'.\n"
    "Serves GET /metrics, /status.json and /healthz.\n";
constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr int kDefaultTimeoutMs = 1000;
constexpr int kHttpThreads = 4;

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

}  // namespace

int main(int argc, char** argv) {
  net::ignore_sigpipe();
  std::string host = "127.0.0.1";
  int port = 9308;
  int timeout_ms = kDefaultTimeoutMs;
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
  httplib::Server http;
  http.new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
  // Only the three pages are served, and only to GET (and HEAD).
  http.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    if (req.method == "GET" || req.method == "HEAD")
      return httplib::Server::HandlerResponse::Unhandled;
    res.status = 404;
    return httplib::Server::HandlerResponse::Handled;
  });
  http.Get("/metrics", [&exporter](const httplib::Request&, httplib::Response& res) {
    res.set_content(ops::metrics_text(exporter.read_all(false)), kMetricsType);
  });
  http.Get("/status.json", [&exporter](const httplib::Request&, httplib::Response& res) {
    res.set_content(ops::status_json(exporter.read_all(true)), "application/json");
  });
  http.Get("/healthz", [&exporter](const httplib::Request&, httplib::Response& res) {
    std::string text;
    res.status = ops::health(exporter.read_all(false), &text);
    res.set_content(text, "text/plain; charset=utf-8");
  });

  // The library's default sets SO_REUSEPORT, which would let a second
  // exporter share the port and answer half the scrapes; SO_REUSEADDR alone
  // still allows a quick restart.
  http.set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  const int bound =
      port == 0 ? http.bind_to_any_port(host) : (http.bind_to_port(host, port) ? port : -1);
  if (bound < 0) {
    std::fprintf(stderr, "lobby_exporter: cannot listen on %s:%d\n", host.c_str(), port);
    return 1;
  }
  std::printf("listening on %s:%d\n", host.c_str(), bound);
  std::fflush(stdout);
  return http.listen_after_bind() ? 0 : 1;
}
