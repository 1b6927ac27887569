// The admin channel against a real server in process: every command and its
// error paths over the Unix socket, the drain, a reader that stops, the
// socket file's rights and life, and names in replies.
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "admin/admin_channel.h"
#include "admin/json_line.h"
#include "app/status_lines.h"
#include "config/build_info.h"
#include "net/socket_ops.h"
#include "ops/admin_client.h"
#include "tests/support/child_process.h"
#include "tests/support/lobby_server_fixture.h"
#include "tests/support/upstream_peer.h"

namespace {

namespace w = test_wire;
using testing_support::TcpClient;
using testing_support::TempDir;

constexpr int kReplyMs = 5000;
// 2027-01-15T08:00:00Z
constexpr int64_t kEpochS = 1800000000;

// Keeps the event lines and notes a finished drain.
class RecordedEvents : public lobby::LobbyEvents {
 public:
  void event(const char* line) override {
    std::lock_guard<std::mutex> guard(lock_);
    lines_ += std::string(line) + "\n";
  }
  void counts_changed() override {}
  void drain_finished() override { drained.store(true); }
  std::string lines() {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
  }
  std::atomic<bool> drained{false};

 private:
  std::mutex lock_;
  std::string lines_;
};

class AdminTest : public testing_support::LobbyServerTest {
 protected:
  AdminTest() {
    std::snprintf(settings.L_ADMIN, sizeof settings.L_ADMIN, "%s", socket_path().c_str());
    std::snprintf(settings.L_NAME, sizeof settings.L_NAME, "east");
    std::snprintf(settings.L_DENY, sizeof settings.L_DENY, "%s", dir.file("deny.txt").c_str());
    settings.VER = 3;
  }
  void TearDown() override {
    if (channel) channel->stop();
    LobbyServerTest::TearDown();
  }

  std::string socket_path() const { return dir.file("lobby.sock"); }

  admin::ProcessFacts facts;

  void start_with_channel() {
    server = std::make_unique<lobby::Server>(settings, &clock, &events);
    // Bans end by the wall clock; here it is the test's clock from a fixed
    // date on.
    server->lobby().deny_list.set_clock([this] { return kEpochS + clock.now_ms() / 1000; });
    admin::AdminHooks hooks;
    hooks.config_path = dir.file("dorvik.txt");
    // A lobby that has served since the fixed date, upgraded twice since.
    facts.pid = 4242;
    facts.process_started_unix_s = kEpochS + 3600;
    facts.serving_since_unix_s = kEpochS;
    facts.upgrades = 2;
    hooks.facts = &facts;
    channel = std::make_unique<admin::AdminChannel>(*server, hooks);
    ASSERT_EQ(0, channel->open());
    server->start();
    channel->start();
    port = server->wait_listening(10000);
    ASSERT_GT(port, 0);
  }

  // The reply to one command on a connection of its own.
  std::string ask(const std::string& line) {
    std::string reply;
    std::string error;
    EXPECT_TRUE(ops::ask_lobby(socket_path(), line, &reply, kReplyMs, &error)) << error;
    return reply;
  }

  static std::string address_of(const TcpClient& client) {
    return "127.0.0.1:" + std::to_string(net::local_port(client.fd()));
  }

  TempDir dir;
  RecordedEvents events;
  std::unique_ptr<admin::AdminChannel> channel;
};

// The user the tests run as: the admin socket's peer, who bans and kicks.
std::string user() {
  const passwd* entry = getpwuid(getuid());
  return entry != nullptr ? entry->pw_name : "";
}

// The reply to a ban by the test's user.
std::string ban_reply(const std::string& banned, const std::string& expires, int closed,
                      const std::string& reason) {
  return "{\"banned\":\"" + banned + "\",\"expires\":" + expires +
         ",\"closed\":" + std::to_string(closed) + ",\"reason\":\"" + reason + "\",\"by\":\"" +
         user() + "\"}";
}

// The reply to a command whose arguments the lobby refuses.
std::string bad_arguments(const std::string& message) {
  return "{\"error\":\"" + message + "\",\"bad_arguments\":true}";
}

// テスト in code page 932, then a byte that starts no character.
const std::string kJapaneseName = "\x83\x65\x83\x58\x83\x67\xff";
const std::string kJapaneseText = "テスト\xEF\xBF\xBD";

// A lobby name written in the clients' character set is decoded; one in
// UTF-8 is shown as it is.
TEST_F(AdminTest, LobbyNameInTheClientsCharacterSetIsDecoded) {
  std::snprintf(settings.L_NAME, sizeof settings.L_NAME, "%s", "\x83\x8D\x83\x72\x81\x5B");
  start_with_channel();
  EXPECT_EQ(0u, ask("status").find("{\"name\":\"ロビー\",")) << ask("status");
  channel->stop();
  server->stop();
  std::snprintf(settings.L_NAME, sizeof settings.L_NAME, "%s", "ロビー");
  start_with_channel();
  EXPECT_EQ(0u, ask("status").find("{\"name\":\"ロビー\",")) << ask("status");
}

TEST_F(AdminTest, EveryCommandAndItsErrorsOverTheSocket) {
  const int32_t public_ip[4] = {198, 51, 100, 7};
  std::copy(public_ip, public_ip + 4, settings.L_IP);
  start_with_channel();
  EXPECT_EQ("{\"name\":\"east\",\"version\":3,\"port\":" + std::to_string(port) +
                ",\"ip\":\"198.51.100.7\",\"listening\":true,\"users\":0,\"slots\":32,"
                "\"rooms_in_use\":0,\"rooms\":4,\"uptime_s\":0,\"pid\":4242,"
                "\"process_started_at\":\"2027-01-15T09:00:00Z\","
                "\"serving_since\":\"2027-01-15T08:00:00Z\",\"upgrades\":2,\"draining\":false,"
                "\"drain_left_s\":null,\"server_version\":\"" +
                config::kProgramVersion + "\",\"commit\":\"" + config::kBuildCommit +
                "\",\"drops\":{\"peer closed\":0,\"bad framing\":0,\"idle\":0,"
                "\"not reading\":0,\"no login\":0,\"displaced\":0,\"flooding\":0,\"kicked\":0,"
                "\"banned\":0},\"refused\":{\"full\":0,\"per-address limit\":0,\"denied\":0,"
                "\"draining\":0,\"per-network limit\":0,\"connecting too fast\":0},"
                "\"counters\":{\"connections_accepted\":0,\"logins_accepted\":0,"
                "\"logins_refused\":0,\"chat_received\":0,\"chat_delivered\":0,"
                "\"direct_messages\":0,\"rooms_created\":0,\"games_started\":0,"
                "\"bytes_received\":0,\"bytes_sent\":0},"
                "\"upstream\":{\"configured\":false,\"state\":\"off\",\"reconnects\":0}}",
            ask("status"));
  EXPECT_EQ("{\"users\":[]}", ask("users"));
  EXPECT_EQ("{\"rooms\":[]}", ask("rooms"));

  // A host with a Japanese name makes a room that starts at two; a guest
  // joins and starts it; a third client only connects.
  TcpClient host = enter(7, kJapaneseName, 5, 8, 2);
  expect_bytes(host, w::list_end() + w::group_count(1));
  host.send(w::room_op(-1));
  expect_bytes(host, w::room_made(0) + w::room_result(1));
  TcpClient guest = enter(8, "bob", 5, 8, 2);
  guest.send(w::room_op(0));
  TcpClient bystander = connect_client();
  settle();
  // 59.5 s later, with the host's keep-alive 2.5 s before that: idle time
  // counts from each logged-in client's last message.
  clock.advance_ms(57000);
  host.send(w::keep_alive());
  settle();
  clock.advance_ms(2500);
  settle();

  EXPECT_EQ("{\"users\":[{\"slot\":0,\"id\":1,\"address\":\"" + address_of(host) +
                "\",\"user_id\":7,\"name\":\"" + kJapaneseText +
                "\",\"group\":5,\"room\":0,\"seat\":0,\"logged_in\":true,\"connected_s\":59,"
                "\"idle_s\":2},"
                "{\"slot\":1,\"id\":2,\"address\":\"" +
                address_of(guest) +
                "\",\"user_id\":8,\"name\":\"bob\",\"group\":5,\"room\":0,\"seat\":1,"
                "\"logged_in\":true,\"connected_s\":59,\"idle_s\":59},"
                "{\"slot\":2,\"id\":3,\"address\":\"" +
                address_of(bystander) +
                "\",\"user_id\":-1,\"name\":\"\",\"group\":-1,\"room\":-1,\"seat\":-1,"
                "\"logged_in\":false,\"connected_s\":59,\"idle_s\":0}]}",
            ask("users"));
  EXPECT_EQ("{\"rooms\":[{\"room\":0,\"group\":5,\"title\":\"" + kJapaneseText +
                "\",\"members\":2,\"start_size\":2,\"started\":true,\"seats\":["
                "{\"seat\":0,\"slot\":0,\"name\":\"" +
                kJapaneseText + "\"},{\"seat\":1,\"slot\":1,\"name\":\"bob\"}]}]}",
            ask("rooms"));
  const std::string status = ask("status");
  EXPECT_NE(std::string::npos, status.find("\"users\":3,\"slots\":32,\"rooms_in_use\":1"))
      << status;
  EXPECT_NE(std::string::npos, status.find("\"uptime_s\":59,")) << status;

  // One connection: replies in order, errors keep it usable, a blank line
  // gets no reply, a carriage return before the line feed is dropped.
  ops::AdminClient admin;
  std::string error;
  ASSERT_TRUE(admin.connect_to(socket_path(), &error)) << error;
  ASSERT_TRUE(admin.send_line(
      "fly\n\n  \nstatus now\nusers 1\nrooms x\nreopen\ndrain soon\ndrain 1 2\ndrain "
      "604801\na b c d e\nhelp\r",
      kReplyMs, &error));
  const std::string drain_usage = "usage: drain [SECONDS [--now] | cancel], SECONDS 0 to 604800";
  const std::vector<std::string> expected = {
      bad_arguments("unknown command: fly (try help)"),
      bad_arguments("usage: status"),
      bad_arguments("usage: users"),
      bad_arguments("usage: rooms"),
      "{\"error\":\"this lobby has no event log\"}",
      bad_arguments(drain_usage),
      bad_arguments(drain_usage),
      bad_arguments(drain_usage),
      bad_arguments("unknown command: a (try help)"),
  };
  for (const std::string& reply : expected) {
    std::string line;
    ASSERT_TRUE(admin.read_line(&line, kReplyMs, &error)) << error;
    EXPECT_EQ(reply, line);
  }
  std::string help;
  ASSERT_TRUE(admin.read_line(&help, kReplyMs, &error)) << error;
  for (const char* usage :
       {"status", "users", "rooms", "settings", "drain [SECONDS [--now] | cancel]",
        "say [--group KEY | --room N | --to #ID|user:N] TEXT", "reopen", "help"}) {
    EXPECT_NE(std::string::npos, help.find(std::string("{\"usage\":\"") + usage + "\"")) << help;
  }
  std::string line;
  ASSERT_TRUE(admin.request("users", &line, kReplyMs, &error)) << error;
  EXPECT_EQ(0u, line.find("{\"users\":[{\"slot\":0,")) << line;

  // A line of 1024 bytes is a command; one longer gets an error and the
  // connection ends.
  ASSERT_TRUE(admin.request(std::string(1023, ' ') + "x", &line, kReplyMs, &error)) << error;
  EXPECT_EQ(bad_arguments("unknown command: x (try help)"), line);
  ASSERT_TRUE(admin.send_line(std::string(1025, 'x'), kReplyMs, &error)) << error;
  ASSERT_TRUE(admin.read_line(&line, kReplyMs, &error)) << error;
  EXPECT_EQ("{\"error\":\"line longer than 1024 bytes\"}", line);
  EXPECT_FALSE(admin.read_line(&line, kReplyMs, &error));
  EXPECT_EQ("the lobby closed the connection", error);
  // A last command without its line feed is answered before the close.
  ops::AdminClient last;
  ASSERT_TRUE(last.connect_to(socket_path(), &error)) << error;
  ASSERT_EQ(5, send(last.fd(), "rooms", 5, MSG_NOSIGNAL));
  ASSERT_EQ(0, shutdown(last.fd(), SHUT_WR));
  ASSERT_TRUE(last.read_line(&line, kReplyMs, &error)) << error;
  EXPECT_EQ(0u, line.find("{\"rooms\":[{\"room\":0,")) << line;
  EXPECT_FALSE(last.read_line(&line, kReplyMs, &error));

  // Eight connections at once; a ninth is told why and closed.
  std::vector<std::unique_ptr<ops::AdminClient>> held;
  for (int i = 0; i < admin::kMaxConnections; ++i) {
    held.push_back(std::make_unique<ops::AdminClient>());
    ASSERT_TRUE(held.back()->connect_to(socket_path(), &error) &&
                held.back()->request("help", &line, kReplyMs, &error))
        << error;
  }
  ops::AdminClient ninth;
  ASSERT_TRUE(ninth.connect_to(socket_path(), &error)) << error;
  ASSERT_TRUE(ninth.read_line(&line, kReplyMs, &error)) << error;
  EXPECT_EQ("{\"error\":\"too many admin connections\"}", line);
  EXPECT_FALSE(ninth.read_line(&line, kReplyMs, &error));
  held.pop_back();
  settle();
  EXPECT_EQ(0u, ask("rooms").find("{\"rooms\":[{\"room\":0,"));
}

// New connections get 2A while clients already there play on; the drain
// ends when the last one leaves, or when its time is up.
TEST_F(AdminTest, DrainRefusesNewcomersAndEndsWhenNobodyIsLeftOrTimeIsUp) {
  start_with_channel();
  TcpClient player = enter(7, "alice", 5);
  expect_bytes(player, w::list_end() + w::group_count(1));
  EXPECT_EQ("{\"draining\":true,\"seconds\":30,\"users\":1,\"in_games\":0}", ask("drain 30"));

  TcpClient late;
  ASSERT_TRUE(late.connect_to(port));
  std::string before;
  EXPECT_TRUE(late.wait_closed(kReplyMs, &before));
  EXPECT_EQ(w::hex(w::full()), w::hex(before));
  player.send(w::room_op(-1));
  expect_bytes(player, w::room_made(0) + w::room_result(1));
  const std::string status = ask("status");
  EXPECT_NE(std::string::npos, status.find("\"draining\":true,\"drain_left_s\":30,")) << status;
  EXPECT_NE(
      std::string::npos,
      status.find("\"refused\":{\"full\":0,\"per-address limit\":0,\"denied\":0,\"draining\":1,"
                  "\"per-network limit\":0,\"connecting too fast\":0}"))
      << status;

  settle();
  EXPECT_FALSE(events.drained.load());
  player.close();
  settle();
  settle();
  EXPECT_TRUE(events.drained.load());
  EXPECT_NE(std::string::npos, events.lines().find("drain finished: no client left"))
      << events.lines();
}

// A drain under a minute would end the games that run: refused without
// --now, saying how many play.
TEST_F(AdminTest, DrainEndsWhenItsTimeIsUpWithClientsLeft) {
  start_with_channel();
  TcpClient player = enter(7, "alice", 5);
  expect_bytes(player, w::list_end() + w::group_count(1));
  EXPECT_EQ("{\"draining\":true,\"seconds\":5,\"users\":1,\"in_games\":0}", ask("drain 5"));
  ASSERT_EQ("{\"draining\":false}", ask("drain cancel"));
  TcpClient host = enter(8, "h", 6, 8, 2);
  settle();
  host.send(w::room_op(-1));
  TcpClient guest = enter(9, "g", 6, 8, 2);
  settle();
  guest.send(w::room_op(0));
  settle();
  EXPECT_EQ("{\"draining\":true,\"seconds\":600,\"users\":3,\"in_games\":2}", ask("drain"));
  EXPECT_EQ(bad_arguments("2 players are in games; a drain of 5 s would end their games: add "
                          "--now to drain all the same, or give 60 s or more"),
            ask("drain 5"));
  EXPECT_EQ(bad_arguments("2 players are in games; a drain of 0 s would end their games: add "
                          "--now to drain all the same, or give 60 s or more"),
            ask("drain 0"));
  EXPECT_EQ("{\"draining\":true,\"seconds\":60,\"users\":3,\"in_games\":2}", ask("drain 60"));
  EXPECT_EQ("{\"draining\":true,\"seconds\":5,\"users\":3,\"in_games\":2}", ask("drain --now 5"));
  clock.advance_ms(4999);
  settle();
  EXPECT_FALSE(events.drained.load());
  // The time left is rounded up: 0 only once it is up.
  EXPECT_NE(std::string::npos, ask("status").find("\"drain_left_s\":1,")) << ask("status");
  clock.advance_ms(1);
  settle();
  EXPECT_TRUE(events.drained.load());
  EXPECT_NE(std::string::npos,
            events.lines().find("drain finished: time is up with 3 clients left"))
      << events.lines();
  // A lobby still there past its drain's time says by how long.
  clock.advance_ms(1999);
  EXPECT_NE(std::string::npos, ask("status").find("\"drain_left_s\":-1,")) << ask("status");
}

// An admin client that asks and asks without reading is closed once its
// replies pass the bound; meanwhile players and other admin clients are
// served as usual.
TEST_F(AdminTest, AnAdminClientThatStopsReadingCannotStallTheLobby) {
  start_with_channel();
  TcpClient a = enter(1, "a", 5);
  expect_bytes(a, w::list_end() + w::group_count(1));
  TcpClient b = enter(2, "b", 5);
  expect_bytes(b, w::list_end() + w::group_count(2));
  expect_bytes(a, w::group_count(2));

  ops::AdminClient silent;
  std::string error;
  ASSERT_TRUE(silent.connect_to(socket_path(), &error)) << error;
  // Each users reply is about 270 bytes: 4000 of them are far beyond what
  // the socket and the queue hold together.
  std::string burst;
  for (int i = 0; i < 100; ++i) burst += "users\n";
  for (int round = 0; round < 40; ++round) {
    if (!silent.send_line(burst, kReplyMs, &error)) break;
  }
  // Players are served while the channel works through the requests and
  // gives the client up; the hang-up shows without reading.
  pollfd hang_up{silent.fd(), POLLRDHUP, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int round = 0; poll(&hang_up, 1, 0) == 0 || (hang_up.revents & POLLHUP) == 0; ++round) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline)
        << "the silent admin client was never closed";
    a.send(w::chat(round & 0x7fff, "hi"));
    expect_bytes(b, w::chat(round & 0x7fff, "hi"));
  }
  EXPECT_EQ(0u, ask("status").find("{\"name\":\"east\""));
  // Reading at last, it finds some of its replies, then the end.
  std::string line;
  int replies = 0;
  while (silent.read_line(&line, kReplyMs, &error)) ++replies;
  EXPECT_EQ("the lobby closed the connection", error);
  EXPECT_GT(replies, 0);
  EXPECT_LT(replies, 4000);
}

// Admin connections left open are closed a minute (the server's clock)
// after their connect or last command, so that they cannot hold every
// place: a part of a line and blank lines are no command. The places they
// free take a newcomer at once. Each check asks on a fresh connection
// first, which makes the channel look at the time.
TEST_F(AdminTest, ConnectionsWithoutACommandForAMinuteAreClosedAndFreeTheirPlaces) {
  start_with_channel();
  std::string error;
  std::string line;
  ops::AdminClient held[admin::kMaxConnections];
  for (ops::AdminClient& client : held) ASSERT_TRUE(client.connect_to(socket_path(), &error));
  ops::AdminClient& asker = held[0];
  ASSERT_TRUE(asker.request("status", &line, kReplyMs, &error)) << error;
  auto still_open = [&](ops::AdminClient& client) {
    std::string text;
    std::string why;
    return !client.read_line(&text, 0, &why) && why == "no reply from the lobby";
  };
  auto closed = [&](ops::AdminClient& client) {
    std::string text;
    std::string why;
    return !client.read_line(&text, kReplyMs, &why) && why == "the lobby closed the connection";
  };
  const std::string too_many = "{\"error\":\"too many admin connections\"}";

  clock.advance_ms(30000);
  ASSERT_TRUE(asker.request("users", &line, kReplyMs, &error)) << error;
  EXPECT_EQ("{\"users\":[]}", line);
  ASSERT_EQ(3, send(held[1].fd(), "sta", 3, MSG_NOSIGNAL));
  ASSERT_EQ(4, send(held[2].fd(), "\n \r\n", 4, MSG_NOSIGNAL));
  clock.advance_ms(29999);
  EXPECT_EQ(too_many, ask("status"));
  for (ops::AdminClient& client : held) EXPECT_TRUE(still_open(client));

  // A minute after the connect: all but the asker go, and the newcomer is
  // served.
  clock.advance_ms(1);
  const std::string served = ask("status");
  EXPECT_EQ(0u, served.find("{\"name\":\"east\"")) << served;
  EXPECT_TRUE(still_open(asker));
  for (int i = 1; i < admin::kMaxConnections; ++i) EXPECT_TRUE(closed(held[i])) << i;
  EXPECT_FALSE(held[1].request("tus", &line, kReplyMs, &error));

  // The asker's minute counts from its last command, 30 s in.
  clock.advance_ms(29999);
  EXPECT_EQ(0u, ask("rooms").find("{\"rooms\":"));
  EXPECT_TRUE(still_open(asker));
  clock.advance_ms(1);
  EXPECT_EQ(0u, ask("rooms").find("{\"rooms\":"));
  EXPECT_TRUE(closed(asker));
}

TEST_F(AdminTest, SocketIsOwnerOnlyNeverTakenFromALiveServerAndRemovedAtStop) {
  // A socket left by a run that died: nobody answers, so it is replaced.
  {
    const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path().c_str());
    ASSERT_EQ(0, bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    close(stale);
  }
  const mode_t old_mask = umask(0);
  start_with_channel();
  umask(old_mask);
  struct stat st;
  ASSERT_EQ(0, lstat(socket_path().c_str(), &st));
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 0777u);

  // A second lobby configured with the same path runs without a channel.
  RecordedEvents second_events;
  lobby::Server second(settings, &clock, &second_events);
  admin::AdminChannel second_channel(second, admin::AdminHooks{});
  EXPECT_EQ(-1, second_channel.open());
  EXPECT_EQ("admin channel off: another server answers on " + socket_path() + "\n",
            second_events.lines());
  second_channel.stop();
  EXPECT_EQ(0u, ask("status").find("{\"name\":\"east\""));

  channel->stop();
  EXPECT_FALSE(dir.exists("lobby.sock"));

  // Something else at the path is never removed; "-" turns the channel off.
  ASSERT_TRUE(dir.write_file("lobby.sock", "notes\n"));
  RecordedEvents third_events;
  lobby::Server third(settings, &clock, &third_events);
  admin::AdminChannel third_channel(third, admin::AdminHooks{});
  EXPECT_EQ(-1, third_channel.open());
  EXPECT_EQ("admin channel off: " + socket_path() + " is there and is not a socket\n",
            third_events.lines());
  EXPECT_TRUE(dir.exists("lobby.sock"));
  config::Settings off = settings;
  std::snprintf(off.L_ADMIN, sizeof off.L_ADMIN, "-");
  lobby::Server fourth(off, &clock, &third_events);
  admin::AdminChannel fourth_channel(fourth, admin::AdminHooks{});
  EXPECT_EQ(-1, fourth_channel.open());
}

// Snapshots taken while clients name themselves, log in, make and join
// rooms and leave: every reply is whole (ThreadSanitizer checks the reads).
TEST_F(AdminTest, SnapshotsWhileClientsComeAndGoAreWhole) {
  start_with_channel();
  std::atomic<bool> done{false};
  std::atomic<int> replies{0};
  std::thread asker([&] {
    ops::AdminClient admin;
    std::string error;
    std::string line;
    if (!admin.connect_to(socket_path(), &error)) return;
    for (int i = 0; !done.load(); ++i) {
      if (!admin.request(i % 2 == 0 ? "users" : "rooms", &line, kReplyMs, &error)) return;
      if (line.rfind(i % 2 == 0 ? "{\"users\":[" : "{\"rooms\":[", 0) == 0 && line.back() == '}') {
        replies.fetch_add(1);
      }
    }
  });
  for (int round = 0; round < 20; ++round) {
    TcpClient host = enter(100 + round, "host" + std::to_string(round), 5, 8, 2);
    TcpClient guest = enter(200 + round, "guest" + std::to_string(round), 5, 8, 2);
    host.send(w::room_op(-1));
    guest.send(w::room_op(0));
    EXPECT_EQ(2u, guest.read_exact(2).size());
    host.close();
    guest.close();
  }
  settle();
  done.store(true);
  asker.join();
  EXPECT_GT(replies.load(), 0);
  EXPECT_EQ("{\"users\":[]}", ask("users"));
  EXPECT_EQ("{\"rooms\":[]}", ask("rooms"));
}

// A connection from `source` that the lobby closes at once, without a byte:
// its address is denied.
bool denied_from(const std::string& source, int port) {
  TcpClient client;
  if (!client.connect_from(source, port)) return false;
  std::string before;
  return client.wait_closed(kReplyMs, &before) && before.empty();
}

// A connection from `source` that logs in (alone in group `key`) and is
// answered.
bool served_from(const std::string& source, int port, int32_t key) {
  TcpClient client;
  if (!client.connect_from(source, port)) return false;
  client.send(w::enter(99, "x", key));
  return client.read_exact(8) == w::list_end() + w::group_count(1);
}

TEST_F(AdminTest, KickBanUnbanAndBansKeepTheOperatorsLinesAndOutliveARestart) {
  ASSERT_TRUE(dir.write_file("deny.txt", "; the operator's own notes\n198.51.100.0/24 ; a pest\n"));
  start_with_channel();
  TcpClient a;
  ASSERT_TRUE(a.connect_from("127.0.0.2", port));
  a.send(w::enter(1, "a", 5));
  expect_bytes(a, w::list_end() + w::group_count(1));
  TcpClient b;
  ASSERT_TRUE(b.connect_from("127.0.0.3", port));
  TcpClient c;
  ASSERT_TRUE(c.connect_from("127.0.0.3", port));
  settle();

  EXPECT_EQ("{\"error\":\"no slot 32 (slots are 0 to 31)\",\"bad_arguments\":true}",
            ask("kick 32"));
  EXPECT_EQ("{\"error\":\"no slot x (slots are 0 to 31)\",\"bad_arguments\":true}", ask("kick x"));
  EXPECT_EQ("{\"error\":\"slot 5 is free\"}", ask("kick 5"));
  EXPECT_EQ(bad_arguments("usage: kick SLOT|#ID|user:N [REASON...]"), ask("kick"));
  EXPECT_EQ(bad_arguments("REASON holds a control character"), ask("kick 0 \x1b[2J"));
  EXPECT_EQ("{\"kicked\":0,\"user_id\":1,\"address\":\"127.0.0.2:" +
                std::to_string(net::local_port(a.fd())) + "\",\"reason\":\"spam, and more spam\"}",
            ask("kick 0   spam, and more spam  "));
  EXPECT_TRUE(a.wait_closed(kReplyMs));

  const std::string usage = bad_arguments(
      "usage: ban ADDRESS[/BITS]|#ID|user:N [SECONDS] [REASON...], SECONDS 1 to "
      "315360000");
  EXPECT_EQ(
      "{\"error\":\"not an IPv4 or IPv6 address or prefix: 127.0.0.300\",\"bad_arguments\":true}",
      ask("ban 127.0.0.300"));
  EXPECT_EQ(
      "{\"error\":\"not an IPv4 or IPv6 address or prefix: 10.0.0.0/33\",\"bad_arguments\":true}",
      ask("ban 10.0.0.0/33"));
  EXPECT_EQ(usage, ask("ban 127.0.0.3 0"));
  EXPECT_EQ(usage, ask("ban 127.0.0.3 99999999999"));
  EXPECT_EQ(usage, ask("ban 127.0.0.3 10m flooding"));
  EXPECT_EQ(bad_arguments("REASON is 121 bytes; at most 120"),
            ask("ban 127.0.0.3 " + std::string(121, 'r')));
  EXPECT_EQ(bad_arguments("usage: ban ADDRESS[/BITS]|#ID|user:N [SECONDS] [REASON...]"),
            ask("ban"));
  // A reason, and who banned (the socket's peer), go with the ban.
  EXPECT_EQ(ban_reply("127.0.0.3", "null", 2, "cheating; 3 strikes"),
            ask("ban 127.0.0.3 cheating; 3 strikes"));
  EXPECT_TRUE(b.wait_closed(kReplyMs));
  EXPECT_TRUE(c.wait_closed(kReplyMs));
  EXPECT_TRUE(denied_from("127.0.0.3", port));
  EXPECT_EQ(ban_reply("127.0.0.4/31", "\"2027-01-15T08:01:00Z\"", 0, ""),
            ask("ban 127.0.0.5/31 60"));
  settle();
  const std::string status = ask("status");
  EXPECT_NE(std::string::npos, status.find("\"kicked\":1,\"banned\":2}")) << status;
  EXPECT_NE(std::string::npos, status.find("\"denied\":1,")) << status;
  std::string file;
  ASSERT_TRUE(dir.read_file("deny.txt", &file));
  EXPECT_EQ("; the operator's own notes\n198.51.100.0/24 ; a pest\n127.0.0.3 ; by " + user() +
                " since 2027-01-15T08:00:00Z: cheating; 3 strikes\n"
                "127.0.0.4/31 until 2027-01-15T08:01:00Z ; by " +
                user() + " since 2027-01-15T08:00:00Z\n",
            file);

  // Another lobby started on the same files keeps every ban.
  channel->stop();
  server->stop();
  start_with_channel();
  // Each with its reason, who banned and since when, from its line; a
  // line the operator wrote by hand has its comment as its reason.
  const std::string pest =
      "{\"address\":\"198.51.100.0/24\",\"expires\":null,\"reason\":\"a pest\",\"by\":\"\","
      "\"since\":null}";
  const std::string all =
      "{\"bans\":[" + pest +
      ",{\"address\":\"127.0.0.3\",\"expires\":null,\"reason\":\"cheating; 3 strikes\","
      "\"by\":\"" +
      user() +
      "\",\"since\":\"2027-01-15T08:00:00Z\"},"
      "{\"address\":\"127.0.0.4/31\",\"expires\":\"2027-01-15T08:01:00Z\",\"reason\":\"\","
      "\"by\":\"" +
      user() + "\",\"since\":\"2027-01-15T08:00:00Z\"}]}";
  EXPECT_EQ(all, ask("bans"));
  EXPECT_TRUE(denied_from("127.0.0.3", port));
  EXPECT_TRUE(denied_from("127.0.0.5", port));

  EXPECT_EQ("{\"unbanned\":\"127.0.0.3\"}", ask("unban 127.0.0.3"));
  EXPECT_EQ("{\"error\":\"not banned: 127.0.0.3\"}", ask("unban 127.0.0.3"));
  EXPECT_EQ("{\"error\":\"not an IPv4 or IPv6 address or prefix: me\",\"bad_arguments\":true}",
            ask("unban me"));
  EXPECT_TRUE(served_from("127.0.0.3", port, 801));

  // The timed ban ends with its minute: no longer listed or applied, and
  // gone from the file at its next rewrite.
  clock.advance_ms(59999);
  EXPECT_TRUE(denied_from("127.0.0.4", port));
  clock.advance_ms(1);
  EXPECT_TRUE(served_from("127.0.0.4", port, 802));
  EXPECT_EQ("{\"bans\":[" + pest + "]}", ask("bans"));
  EXPECT_EQ(ban_reply("10.0.0.0/8", "null", 0, ""), ask("ban 10.1.2.3/8"));
  // A ban of a listed prefix rewrites its line in place, with its new
  // reason, author and time.
  EXPECT_EQ(ban_reply("198.51.100.0/24", "\"2027-01-15T09:01:00Z\"", 0, "still a pest"),
            ask("ban 198.51.100.9/24 3600 still a pest"));
  ASSERT_TRUE(dir.read_file("deny.txt", &file));
  EXPECT_EQ("; the operator's own notes\n198.51.100.0/24 until 2027-01-15T09:01:00Z ; by " +
                user() + " since 2027-01-15T08:01:00Z: still a pest\n10.0.0.0/8 ; by " + user() +
                " since 2027-01-15T08:01:00Z\n",
            file);
  // IPv6 entries are written, listed and lifted in the standard form, and
  // deny no IPv4 client, not even ::/0.
  EXPECT_EQ(ban_reply("2001:db8::/32", "null", 0, ""), ask("ban 2001:DB8:0::5/32"));
  EXPECT_EQ(ban_reply("::/0", "\"2027-01-15T08:02:00Z\"", 0, ""), ask("ban ::1/0 60"));
  EXPECT_EQ(bad_arguments("not an IPv4 or IPv6 address or prefix: 2001:db8::/129"),
            ask("ban 2001:db8::/129"));
  EXPECT_TRUE(served_from("127.0.0.6", port, 803));
  const std::string by = ",\"by\":\"" + user() + "\",\"since\":\"2027-01-15T08:01:00Z\"}";
  EXPECT_EQ(
      "{\"bans\":[{\"address\":\"198.51.100.0/24\",\"expires\":\"2027-01-15T09:01:00Z\","
      "\"reason\":\"still a pest\"" +
          by + ",{\"address\":\"10.0.0.0/8\",\"expires\":null,\"reason\":\"\"" + by +
          ",{\"address\":\"2001:db8::/32\",\"expires\":null,\"reason\":\"\"" + by +
          ",{\"address\":\"::/0\",\"expires\":\"2027-01-15T08:02:00Z\",\"reason\":\"\"" + by + "]}",
      ask("bans"));
  EXPECT_EQ("{\"unbanned\":\"2001:db8::/32\"}", ask("unban 2001:db8:0:0::/32"));
  ASSERT_TRUE(dir.read_file("deny.txt", &file));
  EXPECT_EQ("; the operator's own notes\n198.51.100.0/24 until 2027-01-15T09:01:00Z ; by " +
                user() + " since 2027-01-15T08:01:00Z: still a pest\n10.0.0.0/8 ; by " + user() +
                " since 2027-01-15T08:01:00Z\n::/0 until 2027-01-15T08:02:00Z ; by " + user() +
                " since 2027-01-15T08:01:00Z\n",
            file);
  const std::string log = events.lines();
  EXPECT_NE(std::string::npos, log.find("admin: kick slot 0 user 1 from 127.0.0.2:")) << log;
  EXPECT_NE(std::string::npos, log.find("; by " + user() + ": spam, and more spam\n")) << log;
  EXPECT_NE(std::string::npos, log.find("drop slot 0 user 1: kicked")) << log;
  EXPECT_NE(std::string::npos,
            log.find("admin: ban 127.0.0.3 until forever; 2 connections closed; by " + user() +
                     ": cheating; 3 strikes\n"))
      << log;
  EXPECT_NE(std::string::npos, log.find(": banned (")) << log;
  EXPECT_NE(std::string::npos, log.find("admin: unban 127.0.0.3")) << log;
}

TEST_F(AdminTest, BansNeedADenyFileThatCanBeWritten) {
  settings.L_DENY[0] = '\0';
  start_with_channel();
  EXPECT_EQ("{\"error\":\"no deny file: set L_DENY\"}", ask("ban 10.0.0.1"));
  EXPECT_EQ("{\"bans\":[]}", ask("bans"));
  channel->stop();
  server->stop();
  std::snprintf(settings.L_DENY, sizeof settings.L_DENY, "%s",
                dir.file("no/such/dir/deny.txt").c_str());
  start_with_channel();
  EXPECT_EQ("{\"error\":\"cannot write the deny file: No such file or directory\"}",
            ask("ban 10.0.0.1"));
  EXPECT_EQ("{\"bans\":[]}", ask("bans"));
}

// status follows the upstream link: connected, down once the upstream
// server goes away, connected again with one reconnect counted.
TEST_F(AdminTest, StatusShowsTheUpstreamLinkAndItsReconnects) {
  test_support::UpstreamPeer peer;
  ASSERT_EQ(0, peer.start());
  settings.N_PORT = peer.port();
  start_with_channel();
  ASSERT_TRUE(peer.accept_within(kReplyMs));
  auto upstream_of = [this] {
    const std::string status = ask("status");
    return status.substr(status.find("\"upstream\":"));
  };
  EXPECT_EQ("\"upstream\":{\"configured\":true,\"state\":\"connected\",\"reconnects\":0}}",
            upstream_of());
  peer.close_connection();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (upstream_of() !=
         "\"upstream\":{\"configured\":true,\"state\":\"down\",\"reconnects\":0}}") {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << upstream_of();
    settle();
  }
  // The first wait is about a second; two pass it whatever the jitter.
  clock.advance_ms(2000);
  ASSERT_TRUE(peer.accept_within(kReplyMs));
  while (upstream_of() !=
         "\"upstream\":{\"configured\":true,\"state\":\"connected\",\"reconnects\":1}}") {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << upstream_of();
    settle();
  }
}

// Connection ids: shown by users, never reused, and the target of kick and
// ban; user:N names every connection of a user. A slot taken over by a
// newcomer is never hit by a kick meant for the one before.
TEST_F(AdminTest, ConnectionIdsAndUsersAreKickedAndBannedWithoutTheSlotRace) {
  start_with_channel();
  TcpClient a = enter(40, "a", 5);
  expect_bytes(a, w::list_end() + w::group_count(1));
  TcpClient b = enter(41, "b", 5);
  TcpClient c = enter(41, "c", 6);
  settle();
  const std::string users = ask("users");
  EXPECT_NE(std::string::npos, users.find("{\"slot\":0,\"id\":1,")) << users;
  EXPECT_NE(std::string::npos, users.find("{\"slot\":2,\"id\":3,")) << users;

  EXPECT_EQ("{\"kicked\":[{\"id\":1,\"slot\":0,\"user_id\":40,\"address\":\"" + address_of(a) +
                "\"}],\"reason\":\"\"}",
            ask("kick #1"));
  EXPECT_TRUE(a.wait_closed(kReplyMs));
  settle();
  // Slot 0 goes to a newcomer, with id 4: #1 names nobody now.
  TcpClient d = enter(42, "d", 5);
  settle();
  EXPECT_EQ("{\"error\":\"no connection #1\"}", ask("kick #1"));
  EXPECT_NE(std::string::npos, ask("users").find("{\"slot\":0,\"id\":4,")) << ask("users");
  EXPECT_EQ("{\"error\":\"not a connection id: #0\",\"bad_arguments\":true}", ask("kick #0"));
  EXPECT_EQ("{\"error\":\"not a connection id: #x\",\"bad_arguments\":true}", ask("ban #x"));
  EXPECT_EQ("{\"error\":\"not a user id: user:\",\"bad_arguments\":true}", ask("kick user:"));
  EXPECT_EQ("{\"error\":\"no connection of user 9\"}", ask("kick user:9"));

  // Both connections of user 41.
  EXPECT_EQ("{\"kicked\":[{\"id\":2,\"slot\":1,\"user_id\":41,\"address\":\"" + address_of(b) +
                "\"},{\"id\":3,\"slot\":2,\"user_id\":41,\"address\":\"" + address_of(c) +
                "\"}],\"reason\":\"two at once\"}",
            ask("kick user:41 two at once"));
  EXPECT_TRUE(b.wait_closed(kReplyMs));
  EXPECT_TRUE(c.wait_closed(kReplyMs));
  // The newcomer in slot 0 stays.
  EXPECT_TRUE(d.send(w::keep_alive()));
  settle();
  EXPECT_FALSE(d.wait_closed(0));

  // ban #ID bans the connection's address, for the given time.
  TcpClient e;
  ASSERT_TRUE(e.connect_from("127.0.0.7", port));
  settle();
  // A number after the target is the ban's time; the rest is its reason.
  EXPECT_EQ(ban_reply("127.0.0.7", "\"2027-01-15T08:01:00Z\"", 1, "60 minutes of flooding"),
            ask("ban #5 60 60 minutes of flooding"));
  EXPECT_TRUE(e.wait_closed(kReplyMs));
  EXPECT_TRUE(denied_from("127.0.0.7", port));
  // The client sees its end a moment before the worker frees the slot.
  settle();
  EXPECT_EQ("{\"error\":\"no connection #5\"}", ask("ban #5"));
  const std::string log = events.lines();
  EXPECT_NE(std::string::npos, log.find("admin: kick #1 slot 0 user 40 from 127.0.0.1:")) << log;
  EXPECT_NE(std::string::npos, log.find("admin: kick #3 slot 2 user 41 from")) << log;
  EXPECT_NE(std::string::npos, log.find("; by " + user() + ": two at once\n")) << log;
  EXPECT_NE(std::string::npos, log.find("; by " + user() + ": 60 minutes of flooding\n")) << log;
}

// The counters against a scripted session whose every number is known:
// three connections, two logins accepted and one refused, one chat line
// heard by the two members of its group, a room made and its game started,
// one direct message, and every byte each way.
TEST_F(AdminTest, CountersFollowAScriptedSession) {
  start_with_channel();
  size_t sent = 0;
  size_t received = 0;
  auto say = [&sent](TcpClient& client, const std::string& bytes) {
    sent += bytes.size();
    ASSERT_TRUE(client.send(bytes));
  };
  TcpClient a;
  ASSERT_TRUE(a.connect_to(port));
  say(a, w::enter(1, "a", 5, 8, 2));
  expect_bytes(a, w::list_end() + w::group_count(1));
  received += 8;
  TcpClient b;
  ASSERT_TRUE(b.connect_to(port));
  say(b, w::enter(2, "b", 5, 8, 2));
  TcpClient c;
  ASSERT_TRUE(c.connect_to(port));
  say(c, w::name(3, "c") + w::login(3, 6, 8, 2));  // not validated
  settle();
  say(a, w::chat(9, "hi"));
  settle();
  say(a, w::room_op(-1));
  settle();
  say(b, w::room_op(0));
  settle();
  say(b, w::direct(0, 77));
  settle();
  std::string a_got = a.read_available();
  std::string b_got = b.read_available();
  std::string c_got = c.read_available();
  settle();
  a_got += a.read_available();
  b_got += b.read_available();
  c_got += c.read_available();
  received += a_got.size() + b_got.size() + c_got.size();
  // The chat line reached both members of group 5, and the direct message
  // the room's host.
  EXPECT_NE(std::string::npos, a_got.find(w::chat(9, "hi"))) << w::hex(a_got);
  EXPECT_NE(std::string::npos, b_got.find(w::chat(9, "hi"))) << w::hex(b_got);
  EXPECT_EQ(std::string::npos, c_got.find(w::chat(9, "hi"))) << w::hex(c_got);
  EXPECT_NE(std::string::npos, a_got.find(w::direct_from(1, 77))) << w::hex(a_got);
  EXPECT_EQ(0u, c_got.find(w::refused())) << w::hex(c_got);

  const auto status = nlohmann::json::parse(ask("status"));
  const nlohmann::json expected = {
      {"connections_accepted", 3}, {"logins_accepted", 2}, {"logins_refused", 1},
      {"chat_received", 1},        {"chat_delivered", 2},  {"direct_messages", 1},
      {"rooms_created", 1},        {"games_started", 1},   {"bytes_received", sent},
      {"bytes_sent", received},
  };
  EXPECT_EQ(expected, status["counters"]) << status.dump();
}

// drain cancel: the lobby takes newcomers again and never ends, even once
// the drain's time has passed; a second cancel finds nothing to cancel.
TEST_F(AdminTest, DrainCancelReopensTheLobbyAndKeepsItRunning) {
  start_with_channel();
  EXPECT_EQ("{\"error\":\"the lobby is not draining\"}", ask("drain cancel"));
  // A client stays connected, or the drain would end at once.
  TcpClient stays = connect_client();
  EXPECT_EQ("{\"draining\":true,\"seconds\":60,\"users\":1,\"in_games\":0}", ask("drain 60"));
  TcpClient refused;
  ASSERT_TRUE(refused.connect_to(port));
  expect_bytes(refused, w::full());
  EXPECT_EQ("{\"draining\":false}", ask("drain cancel"));
  EXPECT_NE(std::string::npos, ask("status").find("\"draining\":false,\"drain_left_s\":null"));
  EXPECT_TRUE(served_from("127.0.0.2", port, 5));
  tick_seconds(61);
  EXPECT_FALSE(events.drained.load());
  EXPECT_TRUE(served_from("127.0.0.2", port, 6));
  EXPECT_EQ("{\"error\":\"the lobby is not draining\"}", ask("drain cancel"));
  EXPECT_NE(std::string::npos,
            events.lines().find("admin: drain cancelled; new connections are taken again"));
  // A drain that has ended cannot be taken back. The test's second client
  // has closed; its slot is free once its worker has seen the close.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ask("status").find("\"users\":1,") == std::string::npos) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    settle();
  }
  EXPECT_EQ("{\"draining\":true,\"seconds\":0,\"users\":1,\"in_games\":0}", ask("drain 0"));
  while (!events.drained.load()) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    settle();
  }
  EXPECT_EQ("{\"error\":\"too late: the drain has ended and the lobby is stopping\"}",
            ask("drain cancel"));
}

// reload: every key that takes effect at once is changed and seen to work
// over TCP; the keys that need a restart are reported and left alone; bad
// lines are listed; a file that cannot be read changes nothing.
TEST_F(AdminTest, ReloadAppliesLiveKeysAtOnceAndLeavesRestartKeys) {
  test_support::UpstreamPeer peer;
  ASSERT_EQ(0, peer.start());
  start_with_channel();
  EXPECT_EQ("{\"error\":\"cannot read " + dir.file("dorvik.txt") +
                ": No such file or directory; nothing changed\"}",
            ask("reload"));
  // A client logged in before the reload, named in UTF-8.
  TcpClient early = enter(50, "\xC3\xA9", 5);
  expect_bytes(early, w::list_end() + w::group_count(1));
  EXPECT_EQ(std::string::npos, ask("users").find("\"name\":\"\xC3\xA9\""));
  // Another client from early's address, for the chat pace and the rooms.
  TcpClient mate = enter(51, "m", 5);
  expect_bytes(mate, w::list_end() + w::group_count(2));
  expect_bytes(early, w::group_count(2));

  ASSERT_TRUE(dir.write_file("deny2.txt", "127.0.0.9\n"));
  ASSERT_TRUE(
      dir.write_file("dorvik.txt",
                     "VER 7\nL_NAME west\nL_PORT 1\nROOM 2\nL_ADMIN other.sock\nL_PER_IP 2\n"
                     "L_LOGIN_WAIT 2\nL_FLOOD_RATE 1\nL_FLOOD_BURST 1\nL_CHAT_RATE 1\n"
                     "L_CHAT_BURST 1\nL_PER_NET 3\nL_CONN_RATE 30\nL_LURK 60\nL_ROOMS_PER_IP 1\n"
                     "L_AUTOBAN 3\nL_AUTOBAN_S 60\nL_DENY " +
                         dir.file("deny2.txt") + "\nL_CHARSET UTF-8\nN_IP 127.0.0.1\nN_PORT " +
                         std::to_string(peer.port()) + "\nBOGUS 1\nL_PER_IP many\n; fine\n"));
  EXPECT_EQ(
      "{\"reloaded\":true,\"changed\":[\"VER\",\"L_NAME\",\"N_PORT\","
      "\"L_LOGIN_WAIT\",\"L_PER_IP\",\"L_FLOOD_RATE\",\"L_FLOOD_BURST\",\"L_CHAT_RATE\","
      "\"L_CHAT_BURST\",\"L_DENY\",\"L_PER_NET\",\"L_CONN_RATE\",\"L_LURK\",\"L_ROOMS_PER_IP\","
      "\"L_AUTOBAN\",\"L_AUTOBAN_S\",\"L_SEND_BUFFER\",\"L_CHARSET\"],"
      "\"restart_needed\":[\"ROOM\",\"L_PORT\",\"L_ADMIN\"],"
      "\"bad_lines\":[\"line 22: BOGUS 1\",\"line 23: L_PER_IP many\"],\"notes\":[]}",
      ask("reload"));

  // settings: each value in force with where it came from, and the
  // values the file gives that wait for a restart.
  const auto listing = nlohmann::json::parse(ask("settings"));
  std::map<std::string, std::string> from;
  for (const auto& row : listing["settings"]) {
    from[row["key"]] = row["value"].get<std::string>() + " " + row["from"].get<std::string>();
  }
  EXPECT_EQ("2 line 6; line 23 is bad", from["L_PER_IP"]);
  EXPECT_EQ("4 default", from["ROOM"]);
  EXPECT_EQ("1 line 9", from["L_FLOOD_BURST"]);
  EXPECT_EQ("0 default", from["L_SAY_ID"]);
  EXPECT_EQ(
      "[{\"key\":\"ROOM\",\"running\":\"4\",\"value\":\"2\"},{\"key\":\"L_PORT\","
      "\"running\":\"0\",\"value\":\"1\"},{\"key\":\"L_ADMIN\",\"running\":\"" +
          socket_path() + "\",\"value\":\"other.sock\"}]",
      listing["restart_needed"].dump());

  // VER and L_NAME: the status and the status display; the restart keys
  // as they were (the port, four rooms, this very socket).
  const std::string status = ask("status");
  EXPECT_EQ(0u,
            status.find("{\"name\":\"west\",\"version\":7,\"port\":" + std::to_string(port) + ","))
      << status;
  EXPECT_NE(std::string::npos, status.find("\"slots\":32,\"rooms_in_use\":0,\"rooms\":4,"));
  std::string lines[app::kStatusLineCount];
  app::format_status_lines(lobby(), lines);
  EXPECT_EQ("■【 west 】■", lines[0]);
  EXPECT_EQ("GAME_DATA  Ver( 7 )", lines[1]);
  // L_CHARSET: names decode as UTF-8 now.
  EXPECT_NE(std::string::npos, ask("users").find("\"name\":\"\xC3\xA9\"")) << ask("users");
  // N_PORT: the link connects and announces the lobby and its user.
  ASSERT_TRUE(peer.accept_within(kReplyMs));
  ASSERT_TRUE(peer.wait_for_lines(2, kReplyMs));
  EXPECT_EQ("2N user=50", peer.lines()[1]);
  // L_DENY: the new file's address is closed without a byte.
  EXPECT_TRUE(denied_from("127.0.0.9", port));
  // L_PER_IP 2: a third connection from one address gets 2A.
  TcpClient same_address[3];
  for (TcpClient& client : same_address) {
    ASSERT_TRUE(client.connect_from("127.0.1.2", port));
    settle();
  }
  expect_bytes(same_address[2], w::full());
  // L_PER_NET 3: a fourth connection from one /24, each from an address of
  // its own, gets 2A, and the log says why.
  TcpClient same_network[4];
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(same_network[i].connect_from("127.0.2." + std::to_string(i + 1), port));
    settle();
  }
  expect_bytes(same_network[3], w::full());
  EXPECT_NE(std::string::npos, events.lines().find("refused 127.0.2.4: per-network limit"));
  // L_FLOOD_RATE 1, L_FLOOD_BURST 1, for a client already connected: of
  // two lines, one goes now and the other a second later.
  ASSERT_TRUE(early.send(w::chat(1, "x") + w::chat(2, "y")));
  expect_bytes(early, w::chat(1, "x"));
  expect_bytes(mate, w::chat(1, "x"));
  expect_silent(early);
  clock.advance_ms(1000);
  expect_bytes(early, w::chat(2, "y"));
  expect_bytes(mate, w::chat(2, "y"));
  // L_LOGIN_WAIT 2: a connection that never logs in goes after 2 s.
  TcpClient silent;
  ASSERT_TRUE(silent.connect_from("127.0.0.3", port));
  settle();
  clock.advance_ms(1999);
  settle();
  EXPECT_FALSE(silent.wait_closed(0));
  clock.advance_ms(1);
  EXPECT_TRUE(silent.wait_closed(kReplyMs));
  // L_CHAT_RATE 1, L_CHAT_BURST 1: one address's connections share one
  // pace. A line from mate goes at once; the next, from early (whose own
  // flood pace has room), waits a second.
  clock.advance_ms(1000);
  settle();
  ASSERT_TRUE(mate.send(w::chat(3, "a")));
  expect_bytes(mate, w::chat(3, "a"));
  expect_bytes(early, w::chat(3, "a"));
  ASSERT_TRUE(early.send(w::chat(4, "b")));
  expect_silent(early);
  clock.advance_ms(999);
  settle();
  expect_silent(mate);
  clock.advance_ms(1);
  expect_bytes(early, w::chat(4, "b"));
  expect_bytes(mate, w::chat(4, "b"));
  // L_ROOMS_PER_IP 1: while early hosts a room, a create from its
  // address's other client is answered 2J 0.
  clock.advance_ms(1000);
  settle();
  ASSERT_TRUE(early.send(w::room_op(-1)));
  expect_bytes(early, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "\xC3\xA9"));
  expect_bytes(mate, w::room_entry(0, 1, "\xC3\xA9"));
  ASSERT_TRUE(mate.send(w::room_op(-1)));
  expect_bytes(mate, w::room_result(0));
  expect_silent(early);

  // N_PORT 0: the link is let go; the same file again changes nothing. A
  // key whose only line is bad keeps the value in force, not its default.
  ASSERT_TRUE(dir.write_file("dorvik.txt", "N_PORT 0\nL_LURK 2m\n"));
  const std::string reply = ask("reload");
  EXPECT_NE(std::string::npos, reply.find("\"N_PORT\"")) << reply;
  ASSERT_TRUE(peer.wait_for_close(kReplyMs));
  EXPECT_NE(std::string::npos,
            ask("status").find("\"upstream\":{\"configured\":false,\"state\":\"off\""));
  // Read again, the same file changes nothing; the keys that need a restart
  // are still told (the file's defaults differ from what runs).
  EXPECT_EQ(
      "{\"reloaded\":true,\"changed\":[],\"restart_needed\":[\"L_PORT\",\"L_ADMIN\"],"
      "\"bad_lines\":[\"line 2: L_LURK 2m\"],\"notes\":[]}",
      ask("reload"));
  EXPECT_NE(std::string::npos, ask("settings")
                                   .find("{\"key\":\"L_LURK\",\"value\":\"60\","
                                         "\"from\":\"kept; line 2 is bad\"}"))
      << ask("settings");
  // A file too big, or no regular file, is refused whole, at once.
  ASSERT_TRUE(dir.write_file("dorvik.txt", "VER 1\n" + std::string(config::kMaxConfigBytes, ';')));
  EXPECT_EQ("{\"error\":\"" + dir.file("dorvik.txt") + ": too big, over 1 MiB; nothing changed\"}",
            ask("reload"));
  ASSERT_EQ(0, std::remove(dir.file("dorvik.txt").c_str()));
  ASSERT_EQ(0, symlink("/dev/zero", dir.file("dorvik.txt").c_str()));
  EXPECT_EQ("{\"error\":\"" + dir.file("dorvik.txt") + ": not a regular file; nothing changed\"}",
            ask("reload"));
  EXPECT_EQ(0u, ask("status").find("{\"name\":\"sample_lobby\",\"version\":0,"));
  const std::string log = events.lines();
  EXPECT_NE(
      std::string::npos,
      log.find(
          "changed VER, L_NAME, N_PORT, L_LOGIN_WAIT, L_PER_IP, "
          "L_FLOOD_RATE, L_FLOOD_BURST, L_CHAT_RATE, L_CHAT_BURST, L_DENY, L_PER_NET, "
          "L_CONN_RATE, L_LURK, L_ROOMS_PER_IP, L_AUTOBAN, L_AUTOBAN_S, L_SEND_BUFFER, L_CHARSET; "
          "needs a restart: ROOM, L_PORT, L_ADMIN; bad lines 2 (by "))
      << log;
  EXPECT_NE(std::string::npos, log.find("upstream moved to 127.0.0.1:")) << log;
}
}  // namespace

// say reaches exactly whom it names: every client outside games, one
// group, one game, one connection. Its line goes through the chat ring in
// its place among the players' lines, with L_SAY_ID in bytes 2-5 and the
// text in the clients' character set, and counts as delivered; what it
// cannot send is refused with the reason.
TEST_F(AdminTest, SayReachesExactlyWhomItNamesInItsPlaceAmongThePlayersLines) {
  settings.L_SAY_ID = -7;
  start_with_channel();
  // a and b of group 5 and c of group 6 outside games; d and e play the
  // game of room 0; f has not logged in.
  TcpClient a = enter(1, "a", 5);
  TcpClient b = enter(2, "b", 5);
  TcpClient c = enter(3, "c", 6);
  TcpClient d = enter(4, "d", 7, 8, 2);
  settle();
  d.send(w::room_op(-1));
  settle();
  TcpClient e = enter(5, "e", 7, 8, 2);
  settle();
  e.send(w::room_op(0));
  TcpClient f = connect_client();
  settle();
  for (TcpClient* client : {&a, &b, &c, &d, &e, &f}) client->read_available();
  const int64_t delivered = lobby().counters[lobby::kCountChatDelivered].load();

  EXPECT_EQ("{\"said\":\"hello all\",\"to\":\"everyone outside games\",\"clients\":3}",
            ask("say hello all"));
  for (TcpClient* client : {&a, &b, &c}) expect_bytes(*client, w::chat(-7, "hello all"));
  EXPECT_EQ("{\"said\":\"only c\",\"to\":\"group 6\",\"clients\":1}", ask("say --group 6 only c"));
  expect_bytes(c, w::chat(-7, "only c"));
  EXPECT_EQ("{\"said\":\"game on\",\"to\":\"the game of room 0\",\"clients\":2}",
            ask("say --room 0 game on"));
  expect_bytes(d, w::chat(-7, "game on"));
  expect_bytes(e, w::chat(-7, "game on"));
  ask("say --to #1 just a");
  expect_bytes(a, w::chat(-7, "just a"));
  ask("say --to user:2 -- --just b");
  expect_bytes(b, w::chat(-7, "--just b"));
  // UTF-8 in, code page 932 out: テスト.
  ask("say テスト");
  for (TcpClient* client : {&a, &b, &c}) {
    expect_bytes(*client, w::chat(-7, "\x83\x65\x83\x58\x83\x67"));
  }
  for (TcpClient* client : {&a, &b, &c, &d, &e, &f}) expect_silent(*client);
  EXPECT_EQ(delivered + 11, lobby().counters[lobby::kCountChatDelivered].load());

  // Never ahead of a line written before it, never behind one after.
  b.send(w::chat(9, "one"));
  settle();
  ask("say two");
  b.send(w::chat(9, "three"));
  expect_bytes(a, w::chat(9, "one") + w::chat(-7, "two") + w::chat(9, "three"));

  EXPECT_EQ(bad_arguments("usage: say [--group KEY | --room N | --to #ID|user:N] TEXT"),
            ask("say"));
  EXPECT_EQ(bad_arguments("usage: say [--group KEY | --room N | --to #ID|user:N] TEXT"),
            ask("say --room 0 --group 5 x"));
  EXPECT_EQ(bad_arguments("no room 9 (rooms are 0 to 3)"), ask("say --room 9 x"));
  EXPECT_EQ("{\"error\":\"room 1 has no game running\"}", ask("say --room 1 x"));
  EXPECT_EQ("{\"error\":\"no connection #99\"}", ask("say --to #99 x"));
  EXPECT_EQ(bad_arguments("not a group key: 0"), ask("say --group 0 x"));
  EXPECT_EQ(bad_arguments("TEXT is 74 bytes in CP932; a chat line holds at most 73"),
            ask("say " + std::string(74, 'x')));
  EXPECT_EQ(bad_arguments("TEXT holds a character that CP932 cannot write"),
            ask("say \xF0\x9F\x98\x80"));
  EXPECT_EQ(bad_arguments("TEXT holds a control character"), ask("say a\x1b[2Jb"));
  ask("say " + std::string(73, 'y'));
  expect_bytes(a, w::chat(-7, std::string(73, 'y')));
  EXPECT_NE(std::string::npos,
            events.lines().find("admin: say to everyone outside games (3 clients) by "))
      << events.lines();
}

// Idle time never exceeds connected time, even when a worker stamped the
// last message with a time read a moment before the connection was placed.
TEST(SnapshotTest, IdleTimeNeverExceedsConnectedTime) {
  config::Settings settings;
  lobby::Lobby lobby(settings, nullptr);
  lobby::ClientSlot& client = lobby.slots[0];
  client.attach(-1);  // open, with no socket
  client.placed_ms.store(5000);
  client.last_message_ms.store(4990);
  lobby.users[0].group_key.store(5);
  auto snapshot = std::make_unique<lobby::LobbySnapshot>();
  lobby::take_snapshot(lobby, 6995, snapshot.get());
  client.close();
  EXPECT_EQ(1, snapshot->slots[0].connected_ms / 1000);
  EXPECT_EQ(1, snapshot->slots[0].idle_seconds);
}

// The replies' writer against a JSON parser: every string comes back as
// written, with controls escaped and each broken UTF-8 sequence (a lone
// continuation byte, a cut character, a byte no UTF-8 holds) as U+FFFD.
TEST(JsonLineTest, StringsSurviveAParserAndBrokenUtf8BecomesReplacements) {
  admin::JsonLine line;
  line.open_object();
  line.member("plain", "a\"b\\c\n\t\x01\x7f");
  line.member("kana", "\xe3\x83\x86\xe3\x82\xb9");
  line.member("broken", "x\x80y\xe3\x83z\xff");
  line.name("list").open_array().value(int64_t{-5}).value(true).null().close_array();
  line.close_object();
  EXPECT_EQ(
      "{\"plain\":\"a\\\"b\\\\c\\n\\t\\u0001\x7f\",\"kana\":\"\xe3\x83\x86\xe3\x82\xb9\","
      "\"broken\":\"x\xef\xbf\xbdy\xef\xbf\xbdz\xef\xbf\xbd\",\"list\":[-5,true,null]}",
      line.text());
  const auto parsed = nlohmann::json::parse(line.text(), nullptr, false);
  ASSERT_FALSE(parsed.is_discarded());
  EXPECT_EQ("a\"b\\c\n\t\x01\x7f", parsed["plain"]);
  EXPECT_FALSE(admin::valid_utf8("\xe3\x83"));
  EXPECT_TRUE(admin::valid_utf8("\xe3\x83\x86"));
}
