// lobbyctl and lobby_exporter, the real executables, against lobbies
// running in process with their admin channels, and against a socket that
// nobody answers on. The metrics are read line by line by a strict reader
// of the Prometheus text format.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "admin/admin_channel.h"
#include "ops/admin_tables.h"
#include "tests/support/child_process.h"
#include "tests/support/lobby_server_fixture.h"

namespace {

namespace w = test_wire;
using testing_support::ChildProcess;
using testing_support::ChildStdio;
using testing_support::ManualClock;
using testing_support::TcpClient;
using testing_support::TempDir;

constexpr int kWaitMs = 10000;

// A lobby with its admin channel on `socket`, on an ephemeral port.
struct AdminLobby {
  AdminLobby(const std::string& name, const std::string& socket) {
    config::Settings settings;
    settings.L_PORT = 0;
    std::snprintf(settings.L_NAME, sizeof settings.L_NAME, "%s", name.c_str());
    std::snprintf(settings.L_ADMIN, sizeof settings.L_ADMIN, "%s", socket.c_str());
    // The deny file beside the socket.
    std::snprintf(settings.L_DENY, sizeof settings.L_DENY, "%s",
                  (socket.substr(0, socket.rfind('/') + 1) + "deny.txt").c_str());
    server = std::make_unique<lobby::Server>(settings, &clock);
    channel = std::make_unique<admin::AdminChannel>(*server, admin::AdminHooks{});
    EXPECT_EQ(0, channel->open());
    server->start();
    channel->start();
    port = server->wait_listening(kWaitMs);
    EXPECT_GT(port, 0);
  }
  ~AdminLobby() {
    channel->stop();
    server->stop();
  }
  ManualClock clock;
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

  // Runs lobbyctl with `args`; its standard output and error together.
  std::string lobbyctl(const std::vector<std::string>& args, int* exit_status) {
    std::string command = "exec " LOBBYCTL_PATH;
    for (const std::string& arg : args) command += " '" + arg + "'";
    command += " 2>&1";
    ChildProcess child;
    EXPECT_TRUE(child.start({"/bin/sh", "-c", command}, dir.path(), ChildStdio::kNullInput));
    int status = 0;
    EXPECT_TRUE(child.wait_exit(kWaitMs, &status));
    *exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::string line;
    while (child.next_line(&line, 0)) {
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
      exporter.start({LOBBY_EXPORTER_PATH, "--listen", "127.0.0.1:0", dir.file("*/lobby.sock"),
                      dir.file("east/lobby.sock")},
                     dir.path(), ChildStdio::kNullInput));
  std::string listening;
  ASSERT_TRUE(exporter.next_line(&listening, kWaitMs));
  const std::string prefix = "listening on 127.0.0.1:";
  ASSERT_EQ(0u, listening.rfind(prefix, 0)) << listening;
  const int port = std::stoi(listening.substr(prefix.size()));
  // A second exporter cannot take the same port.
  ChildProcess second;
  ASSERT_TRUE(second.start({LOBBY_EXPORTER_PATH, "--listen", "127.0.0.1:" + std::to_string(port),
                            dir.file("*/lobby.sock")},
                           dir.path(), ChildStdio::kNullInput));
  int second_status = -1;
  ASSERT_TRUE(second.wait_exit(kWaitMs, &second_status));
  EXPECT_TRUE(WIFEXITED(second_status) && WEXITSTATUS(second_status) == 1) << second_status;

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
      {"lobby_upstream_up" + e + "}", 0},
      {"lobby_upstream_reconnects_total" + e + "}", 0},
  };
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
  const auto& first = lobbies["lobbies"][0];
  EXPECT_EQ("east", first["name"]);
  EXPECT_EQ(east->port, first["port"]);
  EXPECT_EQ(1, first["users"]);
  EXPECT_EQ(false, first["draining"]);
  EXPECT_EQ(nlohmann::json::parse(R"([{"name":"alice","room":0}])"), first["players"]);
  EXPECT_EQ(nlohmann::json::parse(R"([{"room":0,"group":5,"title":"alice","members":1,
      "start_size":8,"started":false,"seats":[{"seat":0,"slot":0,"name":"alice"}]}])"),
            first["room_list"]);
  EXPECT_EQ(nlohmann::json::parse(R"({"name":"","up":false})"), lobbies["lobbies"][1]);
  EXPECT_EQ("west", lobbies["lobbies"][2]["name"]);

  EXPECT_EQ(404, http_get(port, "/").status);
  EXPECT_EQ(404, http_get(port, "/metrics/more").status);

  // The glob is read again at each request: with the dead socket gone
  // every lobby answers; a draining one is not ready.
  ASSERT_EQ(0, unlink(dead_socket().c_str()));
  EXPECT_EQ(200, http_get(port, "/healthz").status);
  west->server->start_drain(600);
  const HttpReply draining = http_get(port, "/healthz");
  EXPECT_EQ(503, draining.status);
  EXPECT_NE(std::string::npos, draining.body.find("west (")) << draining.body;
  EXPECT_NE(std::string::npos, draining.body.find("): draining\n")) << draining.body;
  EXPECT_EQ(1, read_metrics(http_get(port, "/metrics").body).at("lobby_draining" + wl + "}"));

  ASSERT_TRUE(exporter.send_signal(SIGTERM));
  int exit_status = 0;
  EXPECT_TRUE(exporter.wait_exit(kWaitMs, &exit_status));
}

TEST_F(OperatorToolsTest, LobbyctlPrintsTablesRawRepliesAndFailsOnErrors) {
  TcpClient alice;
  ASSERT_TRUE(alice.connect_to(east->port));
  alice.send(w::enter(7, "alice", 5));
  ASSERT_EQ(w::hex(w::list_end() + w::group_count(1)), w::hex(alice.read_exact(2 + 6)));
  const std::string socket = dir.file("east/lobby.sock");

  int status = -1;
  EXPECT_EQ(
      "name      east\n"
      "version   0\n"
      "port      " +
          std::to_string(east->port) +
          "\n"
          "users     1 / 32\n"
          "rooms     0 / 4\n"
          "uptime    0s\n"
          "draining  no\n"
          "drops     peer closed 0, bad framing 0, idle 0, not reading 0, no login 0, displaced 0, "
          "flooding 0, kicked 0, banned 0\n"
          "refused   full 0, per-address limit 0, denied 0, draining 0\n"
          "upstream  off, 0 reconnects\n",
      lobbyctl({"-s", socket, "status"}, &status));
  EXPECT_EQ(0, status);

  const std::string users = lobbyctl({"-s", socket, "users"}, &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ(0u, users.find("SLOT  ADDRESS          USER  NAME   GROUP  ROOM  SEAT  LOGIN  "
                           "CONNECTED  IDLE\n0     127.0.0.1:"))
      << users;
  EXPECT_NE(std::string::npos,
            users.find("  7     alice  5      -     -     yes    0s         0s\n"))
      << users;
  EXPECT_EQ("no rooms in use\n", lobbyctl({"-s", socket, "rooms"}, &status));

  EXPECT_EQ("no bans\n", lobbyctl({"-s", socket, "bans"}, &status));
  EXPECT_EQ("banned 203.0.113.0/24 for good; 0 connections closed\n",
            lobbyctl({"-s", socket, "ban", "203.0.113.9/24"}, &status));
  const std::string timed = lobbyctl({"-s", socket, "ban", "198.51.100.7", "3600"}, &status);
  EXPECT_EQ(0u, timed.find("banned 198.51.100.7 until 20")) << timed;
  const std::string bans = lobbyctl({"-s", socket, "bans"}, &status);
  EXPECT_EQ(0u, bans.find("ADDRESS         EXPIRES\n203.0.113.0/24  never\n198.51.100.7    20"))
      << bans;
  EXPECT_EQ("unbanned 203.0.113.0/24\n",
            lobbyctl({"-s", socket, "unban", "203.0.113.0/24"}, &status));
  EXPECT_EQ("kicked slot 0 (user 7, " + users.substr(users.find("127.0.0.1:"), 15) + ")\n",
            lobbyctl({"-s", socket, "kick", "0"}, &status));
  EXPECT_TRUE(alice.wait_closed(kWaitMs));
  const std::string raw = lobbyctl({"-s", socket, "--json", "rooms"}, &status);
  EXPECT_EQ("{\"rooms\":[]}\n", raw);
  EXPECT_EQ("lobbyctl: unknown command: fly (try help)\n",
            lobbyctl({"-s", socket, "fly", "away"}, &status));
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

}  // namespace
