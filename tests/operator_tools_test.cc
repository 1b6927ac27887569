// lobbyctl and lobby_exporter, the real executables, against lobbies
// running in process with their admin channels, and against a socket that
// nobody answers on. The metrics are read line by line by a strict reader
// of the Prometheus text format. And the admin socket's owner and group.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "admin/admin_channel.h"
#include "admin/json_line.h"
#include "bench/admin_relay.h"
#include "config/build_info.h"
#include "ops/admin_tables.h"
#include "tests/support/child_process.h"
#include "tests/support/lobby_server_fixture.h"
#include "tests/support/notify_socket.h"

namespace {

namespace w = test_wire;
using testing_support::ChildProcess;
using testing_support::ChildStdio;
using testing_support::ManualClock;
using testing_support::RecordedEvents;
using testing_support::ScopedEnv;
using testing_support::TcpClient;
using testing_support::TempDir;

constexpr int kWaitMs = 10000;
// An upstream port where nothing listens on loopback.
constexpr int kNoUpstreamPort = 1;

// What a lobby of a test has besides its name and socket.
struct LobbyOptions {
  int port = 0;           // L_PORT; 0 for an ephemeral one
  int upstream_port = 0;  // N_PORT
  std::string admin_group;
};

// A lobby with its admin channel on `socket`, on an ephemeral port unless
// told otherwise.
struct AdminLobby {
  // With `upstream_port`, the lobby keeps trying to reach an upstream
  // server on that loopback port.
  AdminLobby(const std::string& name, const std::string& socket, int upstream_port)
      : AdminLobby(name, socket,
                   LobbyOptions{.port = 0, .upstream_port = upstream_port, .admin_group = ""}) {}
  AdminLobby(const std::string& name, const std::string& socket,
             const LobbyOptions& options = LobbyOptions()) {
    config::Settings settings;
    settings.L_PORT = options.port;
    settings.N_PORT = options.upstream_port;
    std::snprintf(settings.L_NAME, sizeof settings.L_NAME, "%s", name.c_str());
    std::snprintf(settings.L_ADMIN, sizeof settings.L_ADMIN, "%s", socket.c_str());
    std::snprintf(settings.L_ADMIN_GROUP, sizeof settings.L_ADMIN_GROUP, "%s",
                  options.admin_group.c_str());
    // The deny file beside the socket.
    std::snprintf(settings.L_DENY, sizeof settings.L_DENY, "%s",
                  (socket.substr(0, socket.rfind('/') + 1) + "deny.txt").c_str());
    server = std::make_unique<lobby::Server>(settings, &clock, &events);
    channel = std::make_unique<admin::AdminChannel>(*server, admin::AdminHooks{});
    EXPECT_EQ(0, channel->open());
    server->start();
    channel->start();
    port = server->wait_listening(kWaitMs);
    // A lobby asked for a port that is taken runs without listening.
    if (options.port == 0) {
      EXPECT_GT(port, 0);
    }
  }
  ~AdminLobby() {
    channel->stop();
    server->stop();
  }
  ManualClock clock;
  RecordedEvents events;
  std::unique_ptr<lobby::Server> server;
  std::unique_ptr<admin::AdminChannel> channel;
  int port = 0;
};

struct HttpReply {
  int status = 0;
  std::string headers;
  std::string body;
};

// One HTTP/1.0 GET; the reply is read to the end of the connection.
HttpReply http_get(int port, const std::string& path) {
  HttpReply reply;
  TcpClient client;
  EXPECT_TRUE(client.connect_to(port));
  client.send("GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  std::string raw;
  EXPECT_TRUE(client.wait_closed(kWaitMs, &raw));
  const size_t end = raw.find("\r\n\r\n");
  EXPECT_NE(std::string::npos, end) << raw;
  if (end == std::string::npos) return reply;
  reply.headers = raw.substr(0, end);
  reply.body = raw.substr(end + 4);
  if (raw.rfind("HTTP/1.", 0) == 0) reply.status = std::atoi(raw.c_str() + 9);
  return reply;
}

// GETs `path` until it answers with `status`, within a few seconds (the
// exporter reads the lobbies at most once a second); the last reply.
HttpReply wait_http(int port, const std::string& path, int status) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  HttpReply reply = http_get(port, path);
  while (reply.status != status && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    reply = http_get(port, path);
  }
  return reply;
}

// The value of header `name` in `headers`, or "" without it.
std::string header(const std::string& headers, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const size_t at = headers.find(key);
  if (at == std::string::npos) return "";
  const size_t start = at + key.size();
  return headers.substr(start, headers.find("\r\n", start) - start);
}

// "2026-01-15T08:00:00Z", within a minute of now.
bool iso_utc_time(const nlohmann::json& value) {
  if (!value.is_string()) return false;
  const std::string text = value.get<std::string>();
  tm parts{};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts);
  if (end == nullptr || *end != '\0' || text.size() != 20) return false;
  const time_t when = timegm(&parts);
  return std::abs(std::difftime(when, std::time(nullptr))) < 60;
}

bool metric_name_char(char c, bool first) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == ':' ||
         (!first && std::isdigit(static_cast<unsigned char>(c)));
}

// Reads a metric name at `*at`; empty when there is none.
std::string read_name(const std::string& line, size_t* at, bool colons) {
  const size_t start = *at;
  while (*at < line.size() && metric_name_char(line[*at], *at == start) &&
         (colons || line[*at] != ':')) {
    ++*at;
  }
  return line.substr(start, *at - start);
}

// One sample line: name{label="value",...} number. False when the line is
// not one, in any detail.
bool read_sample(const std::string& line, std::string* name, std::string* labels, double* value) {
  size_t at = 0;
  *name = read_name(line, &at, true);
  if (name->empty() || at == line.size() || line[at] != '{') return false;
  const size_t labels_start = ++at;
  std::set<std::string> seen;
  while (at < line.size() && line[at] != '}') {
    const std::string label = read_name(line, &at, false);
    if (label.empty() || !seen.insert(label).second) return false;
    if (line.compare(at, 2, "=\"") != 0) return false;
    for (at += 2; at < line.size() && line[at] != '"'; ++at) {
      if (line[at] == '\\') {
        ++at;
        if (at == line.size() || (line[at] != '\\' && line[at] != '"' && line[at] != 'n')) {
          return false;
        }
      }
    }
    if (at == line.size()) return false;
    ++at;
    if (at < line.size() && line[at] == ',' && at + 1 < line.size() && line[at + 1] != '}') ++at;
  }
  if (at == line.size()) return false;
  *labels = line.substr(labels_start, at - labels_start);
  if (line.compare(at, 2, "} ") != 0) return false;
  at += 2;
  const std::string number = line.substr(at);
  size_t digits = number[0] == '-' ? 1 : 0;
  const size_t first_digit = digits;
  while (digits < number.size() && std::isdigit(static_cast<unsigned char>(number[digits]))) {
    ++digits;
  }
  if (digits == first_digit) return false;
  if (digits < number.size()) {
    if (number[digits] != '.') return false;
    const size_t fraction = ++digits;
    while (digits < number.size() && std::isdigit(static_cast<unsigned char>(number[digits]))) {
      ++digits;
    }
    if (digits == fraction || digits != number.size()) return false;
  }
  *value = std::stod(number);
  return true;
}

// The text exposition format, strictly: every line is a HELP, a TYPE or a
// sample; a family is announced by HELP then TYPE (gauge or counter, a
// counter's name ending in _total) before its samples, which follow it
// without another family in between; label names are identifiers, each
// once, values quoted with only \\, \" and \n escaped; no series appears
// twice; every value is a number; the text ends with a line feed. Returns
// the samples by their full series text, failing the test at each fault.
std::map<std::string, double> read_metrics(const std::string& text) {
  std::map<std::string, double> samples;
  EXPECT_FALSE(text.empty());
  if (text.empty()) return samples;
  EXPECT_EQ('\n', text.back());
  std::set<std::string> helped;
  std::set<std::string> typed;
  std::string current;
  size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    std::string name;
    std::string labels;
    double value = 0;
    if (line.rfind("# HELP ", 0) == 0) {
      size_t at = 7;
      name = read_name(line, &at, true);
      EXPECT_FALSE(name.empty()) << "line " << number;
      EXPECT_TRUE(at + 1 < line.size() && line[at] == ' ') << "HELP without text, line " << number;
      EXPECT_TRUE(helped.insert(name).second) << "family announced twice, line " << number;
      current = name;
    } else if (line.rfind("# TYPE ", 0) == 0) {
      size_t at = 7;
      name = read_name(line, &at, true);
      const std::string type = line.substr(at);
      EXPECT_TRUE(type == " gauge" || type == " counter") << "line " << number << ": " << line;
      EXPECT_EQ(current, name) << "TYPE without its HELP, line " << number;
      EXPECT_TRUE(typed.insert(name).second) << "line " << number;
      if (type == " counter") {
        EXPECT_EQ("_total", name.substr(name.size() - 6)) << "line " << number;
      }
    } else if (read_sample(line, &name, &labels, &value)) {
      EXPECT_EQ(current, name) << "sample outside its family, line " << number << ": " << line;
      EXPECT_EQ(1u, typed.count(name)) << "sample before its TYPE, line " << number;
      EXPECT_TRUE(samples.emplace(name + "{" + labels + "}", value).second)
          << "series twice, line " << number << ": " << line;
    } else {
      ADD_FAILURE() << "not the text format, line " << number << ": " << line;
    }
  }
  return samples;
}

TEST(MetricsReaderTest, RefusesWhatIsNotTheTextFormat) {
  for (const char* bad :
       {"lobby_up 1\n", "lobby_up{a=\"1\"} one\n", "lobby_up{a=1} 1\n", "lobby_up{a=\"\\x\"} 1\n",
        "lobby_up{a=\"1\",a=\"2\"} 1\n", "lobby_up{a=\"1\",} 1\n", "lobby up{} 1\n"}) {
    std::string name;
    std::string labels;
    double value;
    std::string line(bad);
    line.pop_back();
    EXPECT_FALSE(read_sample(line, &name, &labels, &value)) << bad;
  }
  std::string name;
  std::string labels;
  double value = 0;
  EXPECT_TRUE(read_sample("x_total{a=\"q\\\"\\n\",b=\"\"} -2.5", &name, &labels, &value));
  EXPECT_EQ("x_total", name);
  EXPECT_EQ("a=\"q\\\"\\n\",b=\"\"", labels);
  EXPECT_EQ(-2.5, value);
}

class OperatorToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    ASSERT_EQ(0, mkdir(dir.file("east").c_str(), 0700));
    ASSERT_EQ(0, mkdir(dir.file("west").c_str(), 0700));
    ASSERT_EQ(0, mkdir(dir.file("gone").c_str(), 0700));
    east = std::make_unique<AdminLobby>("east", dir.file("east/lobby.sock"));
    west = std::make_unique<AdminLobby>("west", dir.file("west/lobby.sock"));
    // A socket left behind by a lobby that died: nobody answers on it.
    const int dead = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", dead_socket().c_str());
    ASSERT_EQ(0, bind(dead, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    close(dead);
  }

  std::string dead_socket() const { return dir.file("gone/lobby.sock"); }

  // Starts lobby_exporter on an ephemeral port with `args`; the port, or 0.
  int start_exporter(ChildProcess* exporter, std::vector<std::string> args) {
    args.insert(args.begin(), {LOBBY_EXPORTER_PATH, "--listen", "127.0.0.1:0"});
    if (!exporter->start(args, dir.path(), ChildStdio::kNullInput)) return 0;
    std::string listening;
    const std::string prefix = "listening on 127.0.0.1:";
    if (!exporter->next_line(&listening, kWaitMs) || listening.rfind(prefix, 0) != 0) return 0;
    return std::stoi(listening.substr(prefix.size()));
  }

  // Runs lobbyctl with `args`; its standard output and error together, or
  // its standard error alone in `*errors`.
  std::string lobbyctl(const std::vector<std::string>& args, int* exit_status,
                       std::string* errors = nullptr) {
    std::string command = "exec " LOBBYCTL_PATH;
    for (const std::string& arg : args) command += " '" + arg + "'";
    command += errors == nullptr ? " 2>&1" : " 2>" + dir.file("errors.txt");
    ChildProcess child;
    EXPECT_TRUE(child.start({"/bin/sh", "-c", command}, dir.path(), ChildStdio::kNullInput));
    int status = 0;
    EXPECT_TRUE(child.wait_exit(kWaitMs, &status));
    *exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::string line;
    while (child.next_line(&line, 0)) {
    }
    if (errors != nullptr) {
      EXPECT_TRUE(dir.read_file("errors.txt", errors));
    }
    return child.output();
  }

  TempDir dir;
  std::unique_ptr<AdminLobby> east;
  std::unique_ptr<AdminLobby> west;
};

TEST_F(OperatorToolsTest, ExporterServesMetricsStatusAndHealthOfEveryLobbyItFinds) {
  TcpClient alice;
  ASSERT_TRUE(alice.connect_to(east->port));
  alice.send(w::enter(7, "alice", 5) + w::room_op(-1));
  ASSERT_EQ(w::hex(w::list_end() + w::room_made(0) + w::room_result(1)),
            w::hex(alice.read_exact(2 + 6 + 3)));

  ChildProcess exporter;
  ASSERT_TRUE(
      // East named twice: still one lobby.
      exporter.start({LOBBY_EXPORTER_PATH, "--listen", "127.0.0.1:0", "--no-page",
                      dir.file("*/lobby.sock"), dir.file("east/lobby.sock")},
                     dir.path(), ChildStdio::kNullInput));
  std::string listening;
  ASSERT_TRUE(exporter.next_line(&listening, kWaitMs));
  const std::string prefix = "listening on 127.0.0.1:";
  ASSERT_EQ(0u, listening.rfind(prefix, 0)) << listening;
  const int port = std::stoi(listening.substr(prefix.size()));
  // A second exporter cannot take the same port, and says why.
  ChildProcess second;
  ASSERT_TRUE(second.start({"/bin/sh", "-c",
                            std::string("exec ") + LOBBY_EXPORTER_PATH +
                                " --listen 127.0.0.1:" + std::to_string(port) + " x.sock 2>&1"},
                           dir.path(), ChildStdio::kNullInput));
  int second_status = -1;
  ASSERT_TRUE(second.wait_exit(kWaitMs, &second_status));
  EXPECT_TRUE(WIFEXITED(second_status) && WEXITSTATUS(second_status) == 1) << second_status;
  std::string refused;
  EXPECT_TRUE(second.next_line(&refused, kWaitMs));
  EXPECT_EQ("lobby_exporter: cannot listen on 127.0.0.1:" + std::to_string(port) +
                ": Address already in use",
            refused);

  const HttpReply metrics = http_get(port, "/metrics");
  EXPECT_EQ(200, metrics.status);
  EXPECT_NE(std::string::npos,
            metrics.headers.find("Content-Type: text/plain; version=0.0.4; charset=utf-8"))
      << metrics.headers;
  const std::map<std::string, double> samples = read_metrics(metrics.body);
  auto labels = [this](const char* name, int lobby_port, const char* folder) {
    return std::string("{lobby=\"") + name + "\",port=\"" +
           (lobby_port > 0 ? std::to_string(lobby_port) : "") + "\",socket=\"" +
           dir.file(std::string(folder) + "/lobby.sock") + "\"";
  };
  const std::string e = labels("east", east->port, "east");
  const std::string wl = labels("west", west->port, "west");
  const std::map<std::string, double> expected = {
      {"lobby_up" + e + "}", 1},
      {"lobby_up" + wl + "}", 1},
      {"lobby_up" + labels("", 0, "gone") + "}", 0},
      {"lobby_users" + e + "}", 1},
      {"lobby_users" + wl + "}", 0},
      {"lobby_slots" + e + "}", 32},
      {"lobby_rooms_in_use" + e + "}", 1},
      {"lobby_rooms" + e + "}", 4},
      {"lobby_draining" + e + "}", 0},
      {"lobby_uptime_seconds" + e + "}", 0},
      {"lobby_drops_total" + e + ",reason=\"peer closed\"}", 0},
      {"lobby_drops_total" + e + ",reason=\"not reading\"}", 0},
      {"lobby_refused_total" + e + ",reason=\"full\"}", 0},
      {"lobby_refused_total" + e + ",reason=\"draining\"}", 0},
      {"lobby_upstream_configured" + e + "}", 0},
      {"lobby_upstream_reconnects_total" + e + "}", 0},
  };
  // Without an upstream server there is no link to be down.
  EXPECT_EQ(0u, samples.count("lobby_upstream_up" + e + "}"));
  for (const auto& [series, value] : expected) {
    const auto found = samples.find(series);
    ASSERT_NE(samples.end(), found) << series << " missing from\n" << metrics.body;
    EXPECT_EQ(value, found->second) << series;
  }
  // Of the dead lobby there is only lobby_up.
  int dead_series = 0;
  for (const auto& sample : samples) {
    if (sample.first.find("gone/lobby.sock") != std::string::npos) ++dead_series;
  }
  EXPECT_EQ(1, dead_series);

  const HttpReply health = http_get(port, "/healthz");
  EXPECT_EQ(503, health.status);
  EXPECT_EQ("east (" + dir.file("east/lobby.sock") + "): ok\nlobby (" + dead_socket() +
                "): does not answer\nwest (" + dir.file("west/lobby.sock") + "): ok\n",
            health.body);

  const HttpReply status = http_get(port, "/status.json");
  EXPECT_EQ(200, status.status);
  EXPECT_EQ(std::string::npos, status.body.find("127.0.0.1")) << "addresses are not public";
  const auto lobbies = nlohmann::json::parse(status.body, nullptr, false);
  ASSERT_TRUE(lobbies.is_object()) << status.body;
  ASSERT_EQ(3u, lobbies["lobbies"].size()) << status.body;
  EXPECT_TRUE(iso_utc_time(lobbies["generated_at"])) << status.body;
  const auto& first = lobbies["lobbies"][0];
  EXPECT_EQ("east", first["name"]);
  EXPECT_EQ(east->port, first["port"]);
  EXPECT_EQ("0.0.0.0", first["ip"]);
  EXPECT_EQ(1, first["users"]);
  EXPECT_EQ(false, first["draining"]);
  EXPECT_EQ(nlohmann::json::parse(R"([{"name":"alice","room":0,"online_s":0}])"), first["players"]);
  EXPECT_EQ(nlohmann::json::parse(R"([{"room":0,"group":5,"title":"alice","members":1,
      "start_size":8,"started":false,"seats":[{"seat":0,"slot":0,"name":"alice"}]}])"),
            first["room_list"]);
  // A lobby that does not answer: since when the exporter found it so.
  const auto& dead = lobbies["lobbies"][1];
  EXPECT_EQ("", dead["name"]);
  EXPECT_EQ(false, dead["up"]);
  EXPECT_TRUE(iso_utc_time(dead["offline_since"])) << dead;
  EXPECT_EQ("west", lobbies["lobbies"][2]["name"]);

  EXPECT_EQ(404, http_get(port, "/").status) << "--no-page";
  EXPECT_EQ(404, http_get(port, "/metrics/more").status);

  // The glob is read again at each reading, once a second: with the dead
  // socket gone every lobby answers; a draining one is not ready.
  ASSERT_EQ(0, unlink(dead_socket().c_str()));
  EXPECT_EQ(200, wait_http(port, "/healthz", 200).status);
  west->server->start_drain(600);
  const HttpReply draining = wait_http(port, "/healthz", 503);
  EXPECT_EQ(503, draining.status);
  EXPECT_NE(std::string::npos, draining.body.find("west (")) << draining.body;
  EXPECT_NE(std::string::npos, draining.body.find("): draining\n")) << draining.body;
  const std::map<std::string, double> drained = read_metrics(http_get(port, "/metrics").body);
  EXPECT_EQ(1, drained.at("lobby_draining" + wl + "}"));
  EXPECT_EQ(600, drained.at("lobby_drain_left_seconds" + wl + "}"));
  EXPECT_EQ(0u, drained.count("lobby_drain_left_seconds" + e + "}")) << "only while draining";

  ASSERT_TRUE(exporter.send_signal(SIGTERM));
  int exit_status = 0;
  EXPECT_TRUE(exporter.wait_exit(kWaitMs, &exit_status));
}

// The page and status.json as a public site uses them, and the one reading
// a second that every request shares, counted where each lobby answers.
TEST_F(OperatorToolsTest, ExporterServesAPublicPageAndAsksEachLobbyAtMostOnceASecond) {
  bench::AdminRelay east_relay;
  bench::AdminRelay west_relay;
  std::string error;
  ASSERT_EQ(0, east_relay.start(dir.file("east/counted.sock"), dir.file("east/lobby.sock"), &error))
      << error;
  ASSERT_EQ(0, west_relay.start(dir.file("west/counted.sock"), dir.file("west/lobby.sock"), &error))
      << error;
  ChildProcess exporter;
  const int port = start_exporter(
      &exporter, {"--title", "<b>Fleet</b> & co", "--cors", "https://games.example.org",
                  dir.file("east/counted.sock"), dir.file("west/counted.sock")});
  ASSERT_GT(port, 0);

  // The page: the title as text; its style and script run by a nonce that
  // is new for every page, and nothing else runs or loads.
  const HttpReply page = http_get(port, "/");
  EXPECT_EQ(200, page.status);
  EXPECT_EQ("text/html; charset=utf-8", header(page.headers, "Content-Type"));
  EXPECT_EQ("nosniff", header(page.headers, "X-Content-Type-Options"));
  const std::string policy = header(page.headers, "Content-Security-Policy");
  const size_t nonce_at = policy.find("'nonce-");
  ASSERT_NE(std::string::npos, nonce_at) << page.headers;
  const std::string nonce =
      policy.substr(nonce_at + 7, policy.find('\'', nonce_at + 7) - nonce_at - 7);
  EXPECT_EQ("default-src 'none'; script-src 'nonce-" + nonce + "'; style-src 'nonce-" + nonce +
                "'; connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'",
            policy);
  EXPECT_NE(std::string::npos, page.body.find("<script nonce=\"" + nonce + "\">"));
  EXPECT_NE(std::string::npos, page.body.find("<h1>&lt;b&gt;Fleet&lt;/b&gt; &amp; co</h1>"));
  EXPECT_EQ(std::string::npos, http_get(port, "/").headers.find(nonce));

  // status.json for a page on the community's own site.
  const HttpReply status = http_get(port, "/status.json");
  EXPECT_EQ(200, status.status);
  EXPECT_EQ("application/json", header(status.headers, "Content-Type"));
  EXPECT_EQ("max-age=5", header(status.headers, "Cache-Control"));
  EXPECT_EQ("https://games.example.org", header(status.headers, "Access-Control-Allow-Origin"));
  EXPECT_EQ("", header(http_get(port, "/metrics").headers, "Access-Control-Allow-Origin"));

  // A crowd on every path at once: each lobby is asked once for each
  // second begun meanwhile, on one connection with its three commands,
  // however many requests came.
  const int64_t east_before = east_relay.connections();
  const int64_t west_before = west_relay.connections();
  const auto crowd_began = std::chrono::steady_clock::now();
  constexpr int kCrowd = 8;
  constexpr int kEach = 25;
  std::atomic<int> answered{0};
  std::vector<std::thread> crowd;
  for (int t = 0; t < kCrowd; ++t) {
    crowd.emplace_back([&, t] {
      static const char* const kPaths[] = {"/", "/status.json", "/metrics", "/healthz"};
      for (int i = 0; i < kEach; ++i) {
        if (http_get(port, kPaths[(t + i) % 4]).status == 200) ++answered;
      }
    });
  }
  for (std::thread& request : crowd) request.join();
  const int64_t seconds_begun = 1 + std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - crowd_began)
                                            .count() /
                                        1000;
  EXPECT_EQ(kCrowd * kEach, answered.load());
  EXPECT_LE(east_relay.connections() - east_before, seconds_begun);
  EXPECT_LE(west_relay.connections() - west_before, seconds_begun);
  EXPECT_EQ(3 * east_relay.connections(), east_relay.commands());

  // On the real clock: a request every 20 ms for 3 s, and a drain begun a
  // second in. A reading serves for 1 s, so the lobbies are asked once a
  // second (within one either way), and /healthz shows the drain within
  // that second, with 500 ms to spare for a slow machine.
  const int64_t west_at_start = west_relay.connections();
  const auto start = std::chrono::steady_clock::now();
  auto since = [](std::chrono::steady_clock::time_point from) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 from)
        .count();
  };
  std::chrono::steady_clock::time_point drain_began;
  bool draining = false;
  int64_t lag_ms = -1;
  while (since(start) < 3000) {
    if (!draining && since(start) >= 1000) {
      west->server->start_drain(600);
      drain_began = std::chrono::steady_clock::now();
      draining = true;
    }
    const int health = http_get(port, "/healthz").status;
    if (draining && health == 503 && lag_ms < 0) lag_ms = since(drain_began);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const int64_t elapsed_s = since(start) / 1000;
  const int64_t readings = west_relay.connections() - west_at_start;
  EXPECT_GE(readings, elapsed_s - 1);
  EXPECT_LE(readings, elapsed_s + 1);
  EXPECT_GE(lag_ms, 0) << "/healthz never showed the drain";
  EXPECT_LE(lag_ms, 1500);

  // An origin that browsers never send, or that would break the header.
  for (const char* origin : {"https://games.example.org/", "games.example.org", "https://",
                             "https://a.org\r\nSet-Cookie: x=1"}) {
    ChildProcess refused;
    ASSERT_TRUE(refused.start({LOBBY_EXPORTER_PATH, "--cors", origin, dead_socket()}, dir.path(),
                              ChildStdio::kNullInput));
    int exit_status = -1;
    ASSERT_TRUE(refused.wait_exit(kWaitMs, &exit_status));
    EXPECT_TRUE(WIFEXITED(exit_status) && WEXITSTATUS(exit_status) == 2) << origin;
  }
}

// The metric names a PromQL expression reads: names outside strings,
// label matchers, ranges and grouping clauses that are not functions,
// keywords or numbers. Grafana's $variables are left out.
std::set<std::string> promql_metric_names(const std::string& expr) {
  static const std::set<std::string> kKeywords = {
      "by",     "without", "on",  "ignoring", "and",        "or",         "unless",
      "offset", "bool",    "inf", "nan",      "group_left", "group_right"};
  static const std::set<std::string> kGrouping = {"by",       "without",    "on",
                                                  "ignoring", "group_left", "group_right"};
  std::set<std::string> names;
  // Past the `close` that ends what starts at `at`, stepping over strings
  // (and escapes in them) on the way.
  std::function<size_t(size_t, char)> skip_past = [&](size_t at, char close) {
    while (at < expr.size() && expr[at] != close) {
      const char c = expr[at];
      if (close == '"' || close == '\'' || close == '`') {
        at += c == '\\' ? 2 : 1;
      } else if (c == '"' || c == '\'' || c == '`') {
        at = skip_past(at + 1, c);
      } else {
        ++at;
      }
    }
    return at + 1;
  };
  auto next_word = [&expr](size_t at) {
    while (at < expr.size() && expr[at] == ' ') ++at;
    size_t end = at;
    while (end < expr.size() && std::isalpha(static_cast<unsigned char>(expr[end]))) ++end;
    return expr.substr(at, end - at);
  };
  auto word_char = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':';
  };
  size_t at = 0;
  while (at < expr.size()) {
    const char c = expr[at];
    if (c == '"' || c == '\'' || c == '`') {
      at = skip_past(at + 1, c);
    } else if (c == '{') {
      at = skip_past(at + 1, '}');
    } else if (c == '[') {
      at = skip_past(at + 1, ']');
    } else if (c == '$' || std::isdigit(static_cast<unsigned char>(c))) {
      for (++at; at < expr.size() && (word_char(expr[at]) || expr[at] == '.'); ++at) {
      }
    } else if (word_char(c)) {
      const size_t start = at;
      while (at < expr.size() && word_char(expr[at])) ++at;
      const std::string word = expr.substr(start, at - start);
      size_t next = at;
      while (next < expr.size() && expr[next] == ' ') ++next;
      // A function, or an aggregation with its grouping first.
      const bool call = (next < expr.size() && expr[next] == '(') || next_word(next) == "by" ||
                        next_word(next) == "without";
      if (call && kGrouping.count(word) != 0) {
        at = skip_past(next + 1, ')');
      } else if (!call && kKeywords.count(word) == 0) {
        names.insert(word);
      }
    } else {
      ++at;
    }
  }
  return names;
}

// Every query of the dashboard, with the variables' label_values queries.
void dashboard_queries(const nlohmann::json& node, std::vector<std::string>* queries) {
  if (node.is_object()) {
    for (const auto& [key, value] : node.items()) {
      if (key == "expr" && value.is_string()) queries->push_back(value.get<std::string>());
      if (key == "definition" && value.is_string()) {
        // label_values(SELECTOR, LABEL): the selector is the query.
        const std::string text = value.get<std::string>();
        const size_t open = text.find('(');
        const size_t comma = text.rfind(',');
        if (text.rfind("label_values(", 0) == 0 && comma != std::string::npos) {
          queries->push_back(text.substr(open + 1, comma - open - 1));
        } else {
          queries->push_back(text);
        }
      }
      dashboard_queries(value, queries);
    }
  } else if (node.is_array()) {
    for (const auto& item : node) dashboard_queries(item, queries);
  }
}

// Slow requests cannot blind the exporter: 8 connections each sending a
// request a byte every 1.5 s hold no thread that answers, /healthz answers
// meanwhile within 100 ms, and each slow one is closed 2 s after its first
// byte (tolerance: 10 ms earlier, for the two clocks' whole milliseconds,
// and at most 0.6 s later on a loaded machine). A connection that sends
// nothing goes 2 s after its accept.
TEST_F(OperatorToolsTest, SlowRequestsAreClosedAfterTwoSecondsAndCostTheOthersNothing) {
  ChildProcess exporter;
  const int port = start_exporter(&exporter, {"--no-page", dir.file("east/lobby.sock")});
  ASSERT_GT(port, 0);
  ASSERT_EQ(200, wait_http(port, "/healthz", 200).status);
  constexpr int kSlow = 8;
  const std::string request = "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::vector<int64_t> closed_after_ms(kSlow + 1, -1);
  std::vector<std::thread> slow;
  for (int i = 0; i <= kSlow; ++i) {
    slow.emplace_back([&, i] {
      TcpClient client;
      if (!client.connect_to(port)) return;
      const auto first = std::chrono::steady_clock::now();
      // The last one only connects and stays silent.
      for (size_t at = 0; i < kSlow && at < request.size(); ++at) {
        if (!client.send(request.substr(at, 1))) break;
        if (client.wait_closed(1500)) break;
      }
      if (i == kSlow) client.wait_closed(kWaitMs);
      closed_after_ms[i] = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - first)
                               .count();
    });
  }
  int64_t slowest_ms = 0;
  for (const auto start = std::chrono::steady_clock::now();
       std::chrono::steady_clock::now() - start < std::chrono::milliseconds(2500);) {
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(200, http_get(port, "/healthz").status);
    slowest_ms =
        std::max<int64_t>(slowest_ms, std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - asked)
                                          .count());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (std::thread& thread : slow) thread.join();
  EXPECT_LT(slowest_ms, 100);
  for (int i = 0; i <= kSlow; ++i) {
    EXPECT_GE(closed_after_ms[i], 1990) << i;
    EXPECT_LE(closed_after_ms[i], 2600) << i;
  }
}

TEST(PromqlNamesTest, OnlyMetricNamesAreTaken) {
  EXPECT_EQ(
      (std::set<std::string>{"lobby_drops_total", "lobby_slots", "x:y"}),
      promql_metric_names(
          R"(sum by (reason) (rate(lobby_drops_total{lobby=~"$lobby",a="b}"}[$__rate_interval]))
                   / on (lobby) group_left (port) lobby_slots > bool 0.5 unless x:y offset 5m)"));
}

// The shipped dashboard asks only for series the exporter really serves,
// read from its output, so that it stays true as series are added.
TEST_F(OperatorToolsTest, TheDashboardAsksOnlyForSeriesTheExporterServes) {
  // A lobby with an upstream server configured, for the series that need
  // one; nothing listens on that port.
  ASSERT_EQ(0, mkdir(dir.file("north").c_str(), 0700));
  AdminLobby north("north", dir.file("north/lobby.sock"), kNoUpstreamPort);
  ChildProcess exporter;
  const int port = start_exporter(&exporter, {"--no-page", dir.file("*/lobby.sock")});
  ASSERT_GT(port, 0);
  const std::string metrics = http_get(port, "/metrics").body;
  std::set<std::string> served;
  for (const auto& [series, value] : read_metrics(metrics)) {
    served.insert(series.substr(0, series.find('{')));
  }
  for (size_t at = metrics.find("# TYPE "); at != std::string::npos;
       at = metrics.find("# TYPE ", at + 1)) {
    served.insert(metrics.substr(at + 7, metrics.find(' ', at + 7) - at - 7));
  }

  std::ifstream file(LOBBY_SOURCE_DIR "/packaging/grafana/lobby-dashboard.json");
  const nlohmann::json dashboard = nlohmann::json::parse(file, nullptr, false);
  ASSERT_TRUE(dashboard.is_object()) << "not JSON";
  bool has_lobby_variable = false;
  for (const auto& variable : dashboard["templating"]["list"]) {
    if (variable["name"] == "lobby") has_lobby_variable = true;
  }
  EXPECT_TRUE(has_lobby_variable);
  std::vector<std::string> queries;
  dashboard_queries(dashboard, &queries);
  std::set<std::string> asked;
  for (const std::string& query : queries) {
    for (const std::string& name : promql_metric_names(query)) asked.insert(name);
  }
  EXPECT_GE(asked.size(), 8u);
  for (const std::string& name : asked) {
    EXPECT_EQ(1u, served.count(name)) << name << " is not served:\n" << metrics;
  }
}

TEST_F(OperatorToolsTest, LobbyctlPrintsTablesRawRepliesAndFailsOnErrors) {
  TcpClient alice;
  ASSERT_TRUE(alice.connect_to(east->port));
  alice.send(w::enter(7, "alice", 5));
  ASSERT_EQ(w::hex(w::list_end() + w::group_count(1)), w::hex(alice.read_exact(2 + 6)));
  const std::string socket = dir.file("east/lobby.sock");

  int status = -1;
  // The process's rows, as the lobby's own reply gives them.
  const auto facts = nlohmann::json::parse(lobbyctl({"-s", socket, "--json", "status"}, &status));
  const std::string process_rows = "serving    since " + facts["serving_since"].get<std::string>() +
                                   ", 0 upgrades\n" + "process    pid " +
                                   std::to_string(facts["pid"].get<int>()) + ", started " +
                                   facts["process_started_at"].get<std::string>() + "\n";
  EXPECT_EQ(
      "name       east\n"
      "version    0\n"
      "port       " +
          std::to_string(east->port) +
          "\n"
          "listening  yes\n"
          "users      1 / 32\n"
          "rooms      0 / 4\n"
          "uptime     0s\n" +
          process_rows +
          "draining   no\n"
          "drops      peer closed 0, bad framing 0, idle 0, not reading 0, no login 0, displaced "
          "0, flooding 0, kicked 0, banned 0\n"
          "refused    full 0, per-address limit 0, denied 0, draining 0, per-network limit 0, "
          "connecting too fast 0\n"
          "counters   connections_accepted 1, logins_accepted 1, logins_refused 0, chat_received "
          "0, chat_delivered 0, direct_messages 0, rooms_created 0, games_started 0, "
          "bytes_received 42, bytes_sent 8\n"
          "upstream   off, 0 reconnects\n"
          "build      " +
          config::kProgramVersion + ", commit " + config::kBuildCommit + "\n",
      lobbyctl({"-s", socket, "status"}, &status));
  EXPECT_EQ(0, status);

  const std::string users = lobbyctl({"-s", socket, "users"}, &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ(0u, users.find("SLOT  ID  ADDRESS          USER  NAME   GROUP  ROOM  SEAT  LOGIN  "
                           "CONNECTED  IDLE\n0     #1  127.0.0.1:"))
      << users;
  EXPECT_NE(std::string::npos,
            users.find("  7     alice  5      -     -     yes    0s         0s\n"))
      << users;
  EXPECT_EQ("no rooms in use\n", lobbyctl({"-s", socket, "rooms"}, &status));

  EXPECT_EQ("no bans\n", lobbyctl({"-s", socket, "bans"}, &status));
  EXPECT_EQ("banned 203.0.113.0/24 for good; 0 connections closed\n",
            lobbyctl({"-s", socket, "ban", "203.0.113.9/24"}, &status));
  const std::string timed =
      lobbyctl({"-s", socket, "ban", "198.51.100.7", "3600", "cheats", "at", "cards"}, &status);
  EXPECT_EQ(0u, timed.find("banned 198.51.100.7 until 20")) << timed;
  EXPECT_TRUE(timed.ends_with(" connections closed; reason: cheats at cards\n")) << timed;
  const std::string bans = lobbyctl({"-s", socket, "bans"}, &status);
  const std::string by = getpwuid(getuid())->pw_name;
  const std::string by_column = by + std::string(by.size() < 2 ? 2 - by.size() : 0, ' ');
  // Who banned and since when; "-" for a reason not given.
  EXPECT_EQ(0u, bans.find("ADDRESS         EXPIRES               REASON           BY" +
                          std::string(by_column.size() - 2, ' ') +
                          "  SINCE\n203.0.113.0/24  never                 -                " +
                          by_column + "  20"))
      << bans;
  EXPECT_NE(std::string::npos, bans.find("\n198.51.100.7    20")) << bans;
  EXPECT_NE(std::string::npos, bans.find("Z  cheats at cards  " + by_column + "  20")) << bans;
  EXPECT_EQ("unbanned 203.0.113.0/24\n",
            lobbyctl({"-s", socket, "unban", "203.0.113.0/24"}, &status));
  EXPECT_EQ(
      "kicked slot 0 (user 7, " + users.substr(users.find("127.0.0.1:"), 15) + "); reason: rude\n",
      lobbyctl({"-s", socket, "kick", "0", "rude"}, &status));
  EXPECT_TRUE(alice.wait_closed(kWaitMs));
  const std::string raw = lobbyctl({"-s", socket, "--json", "rooms"}, &status);
  EXPECT_EQ("{\"rooms\":[]}\n", raw);
  // Arguments the lobby refuses end lobbyctl with 2, as its own do; other
  // errors with 1.
  EXPECT_EQ("lobbyctl: unknown command: fly (try help)\n",
            lobbyctl({"-s", socket, "fly", "away"}, &status));
  EXPECT_EQ(2, status);
  EXPECT_EQ("lobbyctl: no slot 99 (slots are 0 to 31)\n",
            lobbyctl({"-s", socket, "kick", "99"}, &status));
  EXPECT_EQ(2, status);
  EXPECT_EQ("lobbyctl: slot 5 is free\n", lobbyctl({"-s", socket, "kick", "5"}, &status));
  EXPECT_EQ(1, status);
  EXPECT_EQ("lobbyctl: cannot connect to " + dead_socket() + ": Connection refused\n",
            lobbyctl({"-s", dead_socket(), "status"}, &status));
  EXPECT_EQ(3, status);
  lobbyctl({}, &status);
  EXPECT_EQ(2, status);
  // Without -s it asks ./lobby.sock of the directory it runs in.
  EXPECT_EQ("lobbyctl: cannot connect to ./lobby.sock: No such file or directory\n",
            lobbyctl({"status"}, &status));
  EXPECT_EQ(3, status);
}

TEST(AdminTablesTest, ColumnsAlignWithWideCharactersCountingTwo) {
  EXPECT_EQ(6, ops::display_width("テスト"));
  EXPECT_EQ(3, ops::display_width("ｱｲｳ"));
  EXPECT_EQ(1, ops::display_width("\xEF\xBF\xBD"));
  EXPECT_EQ("ID  NAME    ROOM\n1   テスト  0\n22  bob     -\n",
            ops::format_table({{"ID", "NAME", "ROOM"}, {"1", "テスト", "0"}, {"22", "bob", "-"}}));
  // A drain shows its time left, or how long it is past its time.
  EXPECT_NE(std::string::npos,
            ops::format_admin_reply(
                "status", nlohmann::ordered_json::parse(R"({"draining":true,"drain_left_s":250})"))
                .find("\ndraining   yes, 4m 10s left\n"));
  EXPECT_NE(std::string::npos,
            ops::format_admin_reply(
                "status", nlohmann::ordered_json::parse(R"({"draining":true,"drain_left_s":-61})"))
                .find("\ndraining   yes, 1m 1s past its time\n"));
  // A reply of an unexpected shape still prints, with question marks.
  EXPECT_EQ(
      "ROOM  GROUP  TITLE  MEMBERS  START  STARTED  SEATS\n?     ?      ?      ?        ?      ?\n",
      ops::format_admin_reply("rooms", nlohmann::ordered_json::parse(R"({"rooms":[7]})")));
  // A name cannot drive the operator's terminal or break a row.
  EXPECT_EQ("SLOT  NAME\n0     \\x1B[2J\\x07\\x0A\\x85ok\n",
            ops::format_table({{"SLOT", "NAME"}, {"0", ops::printable("\x1B[2J\a\n\xC2\x85ok")}}));
  EXPECT_NE(std::string::npos,
            ops::format_admin_reply("users", nlohmann::ordered_json::parse(
                                                 R"({"users":[{"name":"\u001b]0;x\u0007"}]})"))
                .find("\\x1B]0;x\\x07"));
}

// Characters are judged whole: kana, kanji and other characters whose
// UTF-8 bytes fall in 0x80..0x9F stay as they are; C0, DEL and C1 control
// characters become \xNN; bytes that are not UTF-8 become U+FFFD.
TEST(AdminTablesTest, PrintableEscapesControlCharactersNeverBytesOfACharacter) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ("テスト漢字ｱ🎮é", ops::printable("テスト漢字ｱ🎮é"));
  EXPECT_EQ("\\x00\\x1F\\x7F\\x80\\x9F\xC2\xA0~",
            ops::printable(std::string("\0\x1F\x7F\xC2\x80\xC2\x9F\xC2\xA0~", 10)));
  EXPECT_EQ("a" + r + "b", ops::printable("a\x83"
                                          "b"));
  EXPECT_EQ(r + r, ops::printable("\xC0\x80"));          // an overlong NUL
  EXPECT_EQ(r + r, ops::printable("\xE3\x83"));          // a character cut short
  EXPECT_EQ(r + r + r, ops::printable("\xED\xA0\x80"));  // a surrogate
  EXPECT_EQ("\\x5C", ops::printable("\\x5C"));           // text that looks escaped stays text
  for (const char* text : {"\x83\x65\x83\x58", "\xFF\xFE", "x\xE3\x83\x86\x83"}) {
    EXPECT_TRUE(admin::valid_utf8(ops::printable(text))) << text;
  }
}

// The cells of a line of a table (split at runs of two blanks or more),
// each with the terminal column it starts at.
std::vector<std::pair<int, std::string>> cells(const std::string& line) {
  std::vector<std::pair<int, std::string>> found;
  size_t at = 0;
  while (at < line.size()) {
    const size_t end = line.find("  ", at);
    const std::string cell = line.substr(at, end == std::string::npos ? end : end - at);
    found.emplace_back(ops::display_width(line.substr(0, at)), cell);
    if (end == std::string::npos) break;
    at = line.find_first_not_of(' ', end);
  }
  return found;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

// Every cell of every row starts at the column of its header's cell, and
// the cells of column `column` are `expected`.
void expect_column(const std::string& table, size_t column,
                   const std::vector<std::string>& expected) {
  const std::vector<std::string> lines = lines_of(table);
  ASSERT_EQ(expected.size() + 1, lines.size()) << table;
  const auto header = cells(lines[0]);
  for (size_t row = 1; row < lines.size(); ++row) {
    const auto found = cells(lines[row]);
    ASSERT_EQ(header.size(), found.size()) << lines[row];
    for (size_t c = 0; c < found.size(); ++c) {
      EXPECT_EQ(header[c].first, found[c].first) << "column " << c << " of " << lines[row];
    }
    EXPECT_EQ(expected[row - 1], found[column].second) << lines[row];
  }
}

// Waits, bounded, until room `room` of `lobby` has `members`.
void wait_members(AdminLobby& lobby, int room, int members) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  for (;;) {
    {
      platform::MutexLock guard(lobby.server->lobby().lock_rooms);
      if (lobby.server->lobby().rooms[room].member_count == members) return;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline)
        << "room " << room << " never had " << members << " members";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Names in the clients' character set (CP932) show as UTF-8 in every
// table, whole characters kept, wide ones counted two columns; control
// characters show as \xNN; a character cut in half by the 16-byte field
// shows as U+FFFD. What lobbyctl prints is UTF-8 from end to end.
TEST_F(OperatorToolsTest, LobbyctlShowsJapaneseNamesWholeAndEscapesOnlyControls) {
  const std::string tesuto = "\x83\x65\x83\x58\x83\x67";  // テスト in CP932
  const std::string controls = "\x1B[2J\x7Fok\a";
  // 16 bytes, the last the first half of a two-byte character.
  const std::string cut = "ab" + tesuto + tesuto + "x\x83";
  ASSERT_EQ(16u, cut.size());
  TcpClient host;
  ASSERT_TRUE(host.connect_to(east->port));
  host.send(w::enter(7, tesuto, 5) + w::room_op(-1));
  ASSERT_EQ(w::hex(w::list_end() + w::room_made(0) + w::room_result(1)),
            w::hex(host.read_exact(2 + 6 + 3)));
  TcpClient second;
  ASSERT_TRUE(second.connect_to(east->port));
  second.send(w::enter(8, controls, 5) + w::room_op(0));
  ASSERT_EQ(w::hex(w::room_entry(0, 1, tesuto) + w::list_end()), w::hex(second.read_exact(24)));
  wait_members(*east, 0, 2);
  TcpClient third;
  ASSERT_TRUE(third.connect_to(east->port));
  third.send(w::enter(9, cut, 5) + w::room_op(0));
  wait_members(*east, 0, 3);

  const std::string socket = dir.file("east/lobby.sock");
  const std::string shown_tesuto = "テスト";
  const std::string shown_controls = "\\x1B[2J\\x7Fok\\x07";
  const std::string shown_cut = "abテストテストx\xEF\xBF\xBD";
  int status = -1;
  const std::string users = lobbyctl({"-s", socket, "users"}, &status);
  EXPECT_EQ(0, status);
  const std::string rooms = lobbyctl({"-s", socket, "rooms"}, &status);
  EXPECT_EQ(0, status);
  for (const std::string& table : {users, rooms}) {
    EXPECT_TRUE(admin::valid_utf8(table)) << table;
    for (char c : table) {
      EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << table;
    }
  }
  expect_column(users, 4, {shown_tesuto, shown_controls, shown_cut});
  expect_column(users, 0, {"0", "1", "2"});
  expect_column(rooms, 2, {shown_tesuto});
  expect_column(rooms, 6,
                {"0 " + shown_tesuto + " (slot 0), 1 " + shown_controls + " (slot 1), 2 " +
                 shown_cut + " (slot 2)"});
  // The reply itself carries the characters as they are.
  const auto raw =
      nlohmann::json::parse(lobbyctl({"-s", socket, "--json", "users"}, &status), nullptr, false);
  ASSERT_TRUE(raw.is_object());
  EXPECT_EQ("\x1B[2J\x7Fok\a", raw["users"][1]["name"]);
  EXPECT_EQ(shown_cut, raw["users"][2]["name"]);
}

// A second lobby on a port that is taken runs without listening: lobbyctl
// status, the exporter's lobby_listening, /status.json and /healthz all
// say so. Every answering lobby exports its build; the upstream link's
// series are there only for a lobby that has an upstream server.
TEST_F(OperatorToolsTest, ALobbyThatCannotListenIsReportedEverywhere) {
  // A port nobody listens on, for an upstream server that is down.
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  socklen_t length = sizeof addr;
  ASSERT_EQ(0, getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &length));
  close(probe);
  ASSERT_EQ(0, mkdir(dir.file("clash").c_str(), 0700));
  AdminLobby clash("clash", dir.file("clash/lobby.sock"),
                   {.port = east->port, .upstream_port = ntohs(addr.sin_port), .admin_group = ""});
  EXPECT_EQ(-1, clash.port);

  int status = -1;
  const std::string table = lobbyctl({"-s", dir.file("clash/lobby.sock"), "status"}, &status);
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos,
            table.find("port       " + std::to_string(east->port) + "\nlistening  no\n"))
      << table;

  ChildProcess exporter;
  ASSERT_TRUE(
      exporter.start({LOBBY_EXPORTER_PATH, "--listen", "127.0.0.1:0", dir.file("*/lobby.sock")},
                     dir.path(), ChildStdio::kNullInput));
  std::string listening;
  ASSERT_TRUE(exporter.next_line(&listening, kWaitMs));
  const int port = std::stoi(listening.substr(listening.rfind(':') + 1));
  const HttpReply metrics = http_get(port, "/metrics");
  const std::map<std::string, double> samples = read_metrics(metrics.body);
  auto labels = [this](const char* name, int lobby_port) {
    return std::string("{lobby=\"") + name + "\",port=\"" + std::to_string(lobby_port) +
           "\",socket=\"" + dir.file(std::string(name) + "/lobby.sock") + "\"";
  };
  const std::string c = labels("clash", east->port);
  const std::string e = labels("east", east->port);
  const std::string build = ",version=\"" + std::string(config::kProgramVersion) + "\",commit=\"" +
                            config::kBuildCommit + "\"}";
  const std::map<std::string, double> expected = {
      {"lobby_up" + c + "}", 1},
      {"lobby_listening" + c + "}", 0},
      {"lobby_listening" + e + "}", 1},
      {"lobby_upstream_configured" + c + "}", 1},
      {"lobby_upstream_configured" + e + "}", 0},
      {"lobby_upstream_up" + c + "}", 0},
      {"lobby_build_info" + c + build, 1},
      {"lobby_build_info" + e + build, 1},
  };
  for (const auto& [series, value] : expected) {
    const auto found = samples.find(series);
    ASSERT_NE(samples.end(), found) << series << " missing from\n" << metrics.body;
    EXPECT_EQ(value, found->second) << series;
  }
  EXPECT_EQ(0u, samples.count("lobby_upstream_up" + e + "}")) << metrics.body;
  EXPECT_NE(std::string::npos,
            metrics.body.find("# HELP lobby_refused_total Connections turned away without a "
                              "slot, by reason: \"denied\" (the deny list) and \"connecting "
                              "too fast\" close without a byte"))
      << metrics.body;

  const HttpReply health = http_get(port, "/healthz");
  EXPECT_EQ(503, health.status);
  EXPECT_EQ("clash (" + dir.file("clash/lobby.sock") + "): not listening\neast (" +
                dir.file("east/lobby.sock") + "): ok\nlobby (" + dead_socket() +
                "): does not answer\nwest (" + dir.file("west/lobby.sock") + "): ok\n",
            health.body);
  const auto lobbies = nlohmann::json::parse(http_get(port, "/status.json").body, nullptr, false);
  ASSERT_TRUE(lobbies.is_object());
  EXPECT_EQ("clash", lobbies["lobbies"][0]["name"]);
  EXPECT_EQ(false, lobbies["lobbies"][0]["listening"]);
  EXPECT_EQ(true, lobbies["lobbies"][1]["listening"]);
  EXPECT_EQ(config::kProgramVersion, lobbies["lobbies"][1]["server_version"]);
  EXPECT_EQ(config::kBuildCommit, lobbies["lobbies"][1]["commit"]);
  ASSERT_TRUE(exporter.send_signal(SIGTERM));
  int exit_status = 0;
  EXPECT_TRUE(exporter.wait_exit(kWaitMs, &exit_status));
}

// -i NAME finds the lobby of an instance under the base directory (--base
// or LOBBY_BASE_DIR); --all asks every lobby there in turn, one table with
// a LOBBY column, naming on standard error the ones that do not answer;
// say, kick, ban and drain go to every lobby only with --yes.
TEST_F(OperatorToolsTest, LobbyctlFindsInstancesAndAsksTheWholeHost) {
  TcpClient alice;
  ASSERT_TRUE(alice.connect_to(east->port));
  alice.send(w::enter(7, "alice", 5));
  ASSERT_EQ(w::hex(w::list_end() + w::group_count(1)), w::hex(alice.read_exact(2 + 6)));
  const std::string base = dir.path();
  int status = -1;
  std::string errors;

  const std::string east_status = lobbyctl({"-s", dir.file("east/lobby.sock"), "status"}, &status);
  EXPECT_EQ(east_status, lobbyctl({"--base", base, "-i", "east", "status"}, &status));
  EXPECT_EQ(0, status);
  {
    ScopedEnv env(std::map<std::string, const char*>{{"LOBBY_BASE_DIR", base.c_str()}});
    EXPECT_EQ(0u, lobbyctl({"-i", "west", "status"}, &status).find("name       west\n"));
    EXPECT_EQ(0, status);
  }
  EXPECT_EQ("lobbyctl: not an instance name: ../east\n",
            lobbyctl({"--base", base, "-i", "../east", "status"}, &status));
  EXPECT_EQ(2, status);
  lobbyctl({"-s", dir.file("east/lobby.sock"), "-i", "east", "status"}, &status);
  EXPECT_EQ(2, status);

  const std::string gone_error =
      "lobbyctl: gone: cannot connect to " + base + "/gone/lobby.sock: Connection refused\n";
  const std::string users = lobbyctl({"--base", base, "--all", "users"}, &status, &errors);
  EXPECT_EQ(3, status);
  EXPECT_EQ(gone_error, errors);
  expect_column(users, 0, {"east"});
  expect_column(users, 5, {"alice"});
  EXPECT_EQ(0u, users.find("LOBBY  SLOT  ID  ADDRESS  ")) << users;

  const std::string all_status = lobbyctl({"--base", base, "--all", "status"}, &status, &errors);
  EXPECT_EQ(3, status);
  expect_column(all_status, 0, {"east", "west"});
  std::vector<std::string> header;
  for (const auto& cell : cells(lines_of(all_status)[0])) header.push_back(cell.second);
  EXPECT_EQ((std::vector<std::string>{"LOBBY", "NAME", "PORT", "LISTENING", "USERS", "ROOMS",
                                      "UPTIME", "DRAINING", "UPSTREAM", "BUILD"}),
            header);
  const auto east_row = cells(lines_of(all_status)[1]);
  ASSERT_EQ(10u, east_row.size()) << all_status;
  EXPECT_EQ(std::to_string(east->port), east_row[2].second);
  EXPECT_EQ("yes", east_row[3].second);
  EXPECT_EQ("1 / 32", east_row[4].second);
  EXPECT_EQ(std::string(config::kProgramVersion) + ", commit " + config::kBuildCommit,
            east_row[9].second);

  // The command table's rows that act on players.
  for (const char* command : {"say", "kick", "ban", "drain"}) {
    EXPECT_EQ("lobbyctl: --all " + std::string(command) +
                  " acts on every lobby of the host: add --yes to do so\n",
              lobbyctl({"--base", base, "--all", command, "0"}, &status));
    EXPECT_EQ(2, status);
  }
  EXPECT_NE(std::string::npos,
            lobbyctl({"--base", base, "-i", "east", "users"}, &status).find("  alice  "));
  const std::string kicked =
      lobbyctl({"--base", base, "--all", "--yes", "kick", "0"}, &status, &errors);
  EXPECT_EQ(3, status);
  EXPECT_EQ(gone_error + "lobbyctl: west: slot 0 is free\n", errors);
  EXPECT_EQ(0u, kicked.find("LOBBY  REPLY\neast   kicked slot 0 (user 7, 127.0.0.1:")) << kicked;
  EXPECT_TRUE(alice.wait_closed(kWaitMs));

  const std::vector<std::string> json =
      lines_of(lobbyctl({"--base", base, "--all", "--json", "status"}, &status, &errors));
  ASSERT_EQ(3u, json.size());
  const auto first = nlohmann::json::parse(json[0], nullptr, false);
  EXPECT_EQ("east", first["lobby"]);
  EXPECT_EQ("east", first["reply"]["name"]);
  EXPECT_EQ(nlohmann::json::parse(R"({"lobby":"gone","error":"cannot connect to )" + base +
                                  R"(/gone/lobby.sock: Connection refused"})"),
            nlohmann::json::parse(json[1], nullptr, false));
  EXPECT_EQ("west", nlohmann::json::parse(json[2], nullptr, false)["reply"]["name"]);

  EXPECT_EQ("lobbyctl: no lobby under " + dir.file("east") + " (no " + dir.file("east") +
                "/*/lobby.sock)\n",
            lobbyctl({"--base", dir.file("east"), "--all", "status"}, &status));
  EXPECT_EQ(3, status);
}

// The socket is its owner's alone, unless L_ADMIN_GROUP names a group:
// then the file is that group's, mode 0660, and a member of the group who
// is another user can use it. A group that does not exist leaves the
// socket owner-only and the event log says why.
TEST(AdminSocketGroupTest, OnlyTheOwnerOrTheNamedGroupMayUseTheSocket) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  // Root may give the socket to any group; anyone else to a group of its own.
  const group* entry = geteuid() == 0 ? getgrnam("daemon") : getgrgid(getegid());
  ASSERT_NE(nullptr, entry);
  const std::string group_name = entry->gr_name;
  const gid_t gid = entry->gr_gid;
  AdminLobby plain("plain", dir.file("plain.sock"));
  LobbyOptions given;
  given.admin_group = group_name;
  AdminLobby shared("shared", dir.file("shared.sock"), given);
  given.admin_group = "no-such-group-here";
  AdminLobby unknown("unknown", dir.file("unknown.sock"), given);
  struct stat st;
  ASSERT_EQ(0, stat(dir.file("plain.sock").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  ASSERT_EQ(0, stat(dir.file("shared.sock").c_str(), &st));
  EXPECT_EQ(0660u, st.st_mode & 07777);
  EXPECT_EQ(gid, st.st_gid);
  ASSERT_EQ(0, stat(dir.file("unknown.sock").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_EQ(std::vector<std::string>{"admin channel on " + dir.file("shared.sock") + ", group " +
                                     group_name},
            shared.events.starting("admin channel on"));
  EXPECT_EQ(std::vector<std::string>{"admin socket " + dir.file("unknown.sock") +
                                     " stays owner-only: there is no group no-such-group-here"},
            unknown.events.starting("admin socket"));
  EXPECT_EQ(std::vector<std::string>{"admin channel on " + dir.file("unknown.sock")},
            unknown.events.starting("admin channel on"));

  if (geteuid() != 0) GTEST_SKIP() << "another user can only be tried as root";
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nullptr, nobody);
  ASSERT_EQ(0, chmod(dir.path().c_str(), 0711));
  sockaddr_un plain_addr{};
  sockaddr_un shared_addr{};
  plain_addr.sun_family = shared_addr.sun_family = AF_UNIX;
  std::snprintf(plain_addr.sun_path, sizeof plain_addr.sun_path, "%s",
                dir.file("plain.sock").c_str());
  std::snprintf(shared_addr.sun_path, sizeof shared_addr.sun_path, "%s",
                dir.file("shared.sock").c_str());
  const uid_t uid = nobody->pw_uid;
  // The child becomes nobody, in the group alone, and only makes system
  // calls: its exit status says what it could reach.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(10);
    if (access(dir.path().c_str(), X_OK) != 0) _exit(11);
    int result = 0;
    const int a = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(a, reinterpret_cast<sockaddr*>(&plain_addr), sizeof plain_addr) == 0 ||
        errno != EACCES) {
      result |= 1;
    }
    const int b = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(b, reinterpret_cast<sockaddr*>(&shared_addr), sizeof shared_addr) != 0) {
      result |= 2;
    }
    _exit(result);
  }
  int wait_status = 0;
  ASSERT_EQ(child, waitpid(child, &wait_status, 0));
  ASSERT_TRUE(WIFEXITED(wait_status));
  if (WEXITSTATUS(wait_status) == 11) GTEST_SKIP() << "nobody cannot reach " << dir.path();
  EXPECT_EQ(0, WEXITSTATUS(wait_status))
      << "1: the owner-only socket let another user in; 2: the group's socket kept its member "
         "out; 10: could not become nobody";
}

}  // namespace
