// The operator tools' client-side code: the command parser, the encoders
// and the decoder (checked against the hand-written bytes of wire.h), the
// benchmark's figures, and the client session against a real server.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_lines.h"
#include "bench/fleet_bench.h"
#include "bench/stats.h"
#include "client/command_parser.h"
#include "client/tcp_link.h"
#include "client/wire_codec.h"
#include "net/socket_ops.h"
#include "tests/support/lobby_server_fixture.h"
#include "tests/support/message_reader.h"
#include "tests/support/wire.h"
#include "try/client_session.h"

namespace {

namespace w = test_wire;
using client::Command;
using client::CommandKind;

// --- Command parser ---------------------------------------------------------

class ToolsCommandParserTest : public ::testing::Test {
 protected:
  // The bytes a line sends; fails the test when the line does not parse.
  std::string bytes_of(const std::string& line) {
    Command command = parse_ok(line);
    return client::command_bytes(command);
  }

  Command parse_ok(const std::string& line) {
    Command command;
    std::string error;
    EXPECT_EQ(client::kParseOk, client::parse_command(line, &command, &error))
        << line << ": " << error;
    return command;
  }

  // The error text for a line that must not parse.
  std::string parse_error(const std::string& line) {
    Command command;
    std::string error;
    EXPECT_EQ(client::kParseError, client::parse_command(line, &command, &error)) << line;
    EXPECT_FALSE(error.empty()) << line;
    return error;
  }

  void expect_error_mentions(const std::string& line, const std::string& text) {
    const std::string error = parse_error(line);
    EXPECT_NE(std::string::npos, error.find(text)) << line << " gave: " << error;
  }
};

TEST_F(ToolsCommandParserTest, EachSendingCommandEncodesItsMessage) {
  EXPECT_EQ(w::hex(w::name(7, "alice")), w::hex(bytes_of("name 7 alice")));
  EXPECT_EQ(w::hex(w::validation(1)), w::hex(bytes_of("validate")));
  EXPECT_EQ(w::hex(w::validation(-5)), w::hex(bytes_of("validate -5")));
  EXPECT_EQ(w::hex(w::login(7, 5, 8, 8)), w::hex(bytes_of("login 7 5")));
  EXPECT_EQ(w::hex(w::login(7, 5, 4, 2)), w::hex(bytes_of("login 7 5 4 2")));
  EXPECT_EQ(w::hex(w::enter(7, "alice", 5, 4, 2)), w::hex(bytes_of("enter 7 alice 5 4 2")));
  EXPECT_EQ(w::hex(w::enter(7, "alice", 5)), w::hex(bytes_of("enter 7 alice 5")));
  EXPECT_EQ(w::hex(w::room_op(-1)), w::hex(bytes_of("create")));
  EXPECT_EQ(w::hex(w::room_op(3)), w::hex(bytes_of("join 3")));
  EXPECT_EQ(w::hex(w::room_op(-2)), w::hex(bytes_of("leave")));
  EXPECT_EQ(w::hex(w::room_op(-3)), w::hex(bytes_of("leavegame")));
  EXPECT_EQ(w::hex(w::chat(0, "hello")), w::hex(bytes_of("chat hello")));
  EXPECT_EQ(w::hex(w::direct(7, 300)), w::hex(bytes_of("direct 7 300")));
  EXPECT_EQ(w::hex(w::direct(0xffff, -1)), w::hex(bytes_of("direct host -1")));
  EXPECT_EQ(w::hex(w::keep_alive()), w::hex(bytes_of("ping")));
}

TEST_F(ToolsCommandParserTest, NamesUpToSixteenBytesFillTheField) {
  EXPECT_EQ(w::hex(w::name(1, "abcdefghijklmnop")), w::hex(bytes_of("name 1 abcdefghijklmnop")));
  expect_error_mentions("name 1 abcdefghijklmnopq", "longer than 16");
  expect_error_mentions("enter 1 abcdefghijklmnopq 5", "longer than 16");
}

TEST_F(ToolsCommandParserTest, NumbersAreCheckedAgainstTheFieldRange) {
  EXPECT_EQ(w::hex(w::validation(INT32_MAX)), w::hex(bytes_of("validate 2147483647")));
  EXPECT_EQ(w::hex(w::validation(INT32_MIN)), w::hex(bytes_of("validate -2147483648")));
  EXPECT_EQ(w::hex(w::validation(16)), w::hex(bytes_of("validate 0x10")));
  EXPECT_EQ(w::hex(w::login(1, 2, 65535, 0)), w::hex(bytes_of("login 1 2 65535 0")));
  expect_error_mentions("validate 2147483648", "out of range");
  expect_error_mentions("validate -2147483649", "out of range");
  expect_error_mentions("validate 99999999999999999999999999", "out of range");
  expect_error_mentions("login 1 2 65536", "SEATS");
  expect_error_mentions("login 1 2 8 -1", "START");
  expect_error_mentions("join -1", "ROOM");
  expect_error_mentions("direct 8 1", "SEAT");
  expect_error_mentions("direct -1 1", "SEAT");
  expect_error_mentions("wait 60001", "MS");
}

TEST_F(ToolsCommandParserTest, MalformedNumbersAreRefused) {
  expect_error_mentions("login abc 5", "ID 'abc' is not a number");
  expect_error_mentions("login 1 5x", "KEY");
  expect_error_mentions("join 1.5", "ROOM");
  expect_error_mentions("join -", "ROOM");
  expect_error_mentions("validate 0x", "not a hexadecimal number");
  expect_error_mentions("validate 0xg1", "not a hexadecimal number");
  expect_error_mentions("direct host 12e3", "VALUE");
}

TEST_F(ToolsCommandParserTest, ArgumentCountsAreChecked) {
  expect_error_mentions("name 1", "missing argument");
  expect_error_mentions("login 1", "missing argument");
  expect_error_mentions("enter 1 alice", "missing argument");
  expect_error_mentions("direct host", "missing argument");
  expect_error_mentions("join", "missing argument");
  expect_error_mentions("chat", "missing argument");
  expect_error_mentions("create now", "too many arguments");
  expect_error_mentions("login 1 2 3 4 5", "too many arguments");
  expect_error_mentions("validate 1 2", "too many arguments");
  // The usage comes with the complaint.
  expect_error_mentions("login 1", "usage: login ID KEY [SEATS] [START]");
}

TEST_F(ToolsCommandParserTest, UnknownCommandsPointToHelp) {
  expect_error_mentions("frobnicate 1", "unknown command 'frobnicate'");
  expect_error_mentions("frobnicate 1", "help");
}

TEST_F(ToolsCommandParserTest, ChatTextIsTheRestOfTheLineUpToSeventyThreeBytes) {
  EXPECT_EQ("hello  there # not a comment",
            parse_ok("  chat   hello  there # not a comment  ").text);
  const std::string longest(73, 'x');
  EXPECT_EQ(w::hex(w::chat(0, longest)), w::hex(bytes_of("chat " + longest)));
  EXPECT_EQ(80u, bytes_of("chat " + longest).size());
  expect_error_mentions("chat " + std::string(74, 'x'), "74 bytes is longer than 73");
}

TEST_F(ToolsCommandParserTest, RawTakesWholeHexBytesInAnyGrouping) {
  EXPECT_EQ("2P", bytes_of("raw 32 50"));
  EXPECT_EQ("2P", bytes_of("raw 3250"));
  EXPECT_EQ("2N", bytes_of("raw 0x32 4E"));
  EXPECT_EQ(std::string("\x00\xff", 2), bytes_of("raw 00FF"));
  expect_error_mentions("raw 325", "two digits");
  expect_error_mentions("raw 0x", "two digits");
  expect_error_mentions("raw zz", "not hexadecimal");
  expect_error_mentions("raw", "missing argument");
}

TEST_F(ToolsCommandParserTest, CommandsThatSendNothingParseToTheirKind) {
  EXPECT_EQ(CommandKind::kEmpty, parse_ok("").kind);
  EXPECT_EQ(CommandKind::kEmpty, parse_ok("   \t ").kind);
  EXPECT_EQ(CommandKind::kEmpty, parse_ok("  # a comment").kind);
  EXPECT_EQ(CommandKind::kList, parse_ok("list").kind);
  EXPECT_EQ(CommandKind::kHelp, parse_ok("help").kind);
  EXPECT_EQ(CommandKind::kQuit, parse_ok("quit\r").kind);
  Command wait = parse_ok("wait 250");
  EXPECT_EQ(CommandKind::kWait, wait.kind);
  EXPECT_EQ(250, wait.wait_ms);
  Command expect = parse_ok("expect 2H count=2");
  EXPECT_EQ(CommandKind::kExpect, expect.kind);
  EXPECT_EQ("2H count=2", expect.text);
  EXPECT_EQ("", client::command_bytes(expect));
}

TEST(ToolsScriptTest, EveryBadLineIsReportedWithItsNumber) {
  std::vector<client::ScriptLine> lines;
  std::vector<std::string> errors;
  EXPECT_EQ(client::kParseError,
            client::parse_script("# setup\nenter 1 a 5\n\njoin x\nping\nchat\n", &lines, &errors));
  ASSERT_EQ(2u, errors.size());
  EXPECT_EQ(0u, errors[0].rfind("line 4: join", 0)) << errors[0];
  EXPECT_EQ(0u, errors[1].rfind("line 6: chat", 0)) << errors[1];
}

TEST(ToolsScriptTest, CommentsAndBlankLinesAreLeftOut) {
  std::vector<client::ScriptLine> lines;
  std::vector<std::string> errors;
  ASSERT_EQ(client::kParseOk,
            client::parse_script("# setup\r\nenter 1 a 5\r\n\r\nwait 10", &lines, &errors));
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(2, lines[0].number);
  EXPECT_EQ(CommandKind::kEnter, lines[0].command.kind);
  EXPECT_EQ(4, lines[1].number);
  EXPECT_EQ(10, lines[1].command.wait_ms);
}

// --- Decoder ----------------------------------------------------------------

class ToolsDecoderTest : public ::testing::Test {
 protected:
  // Lines for a stream fed in the given pieces.
  std::vector<std::string> lines_of(const std::vector<std::string>& pieces) {
    client::LobbyDecoder decoder;
    std::vector<client::LobbyMessage> messages;
    for (const std::string& piece : pieces) decoder.feed(piece, &messages);
    std::vector<std::string> lines;
    for (const client::LobbyMessage& m : messages) lines.push_back(client::format_message(m));
    return lines;
  }
  std::vector<std::string> lines_of(const std::string& stream) {
    return lines_of(std::vector<std::string>{stream});
  }
  std::string line_of(const std::string& message) {
    std::vector<std::string> lines = lines_of(message);
    EXPECT_EQ(1u, lines.size()) << w::hex(message);
    return lines.empty() ? "" : lines[0];
  }

  // One of every message the lobby sends.
  static std::string every_message() {
    return w::full() + w::room_entry(1, 2, "bob") + w::list_end() + w::refused() + w::room_made(3) +
           w::room_result(1) + w::status(21) + w::seat_entry(2, true, "alice") +
           w::direct_from(0xfffd, 300) + w::seat_vacated(4) + w::member_count(1, 3) +
           w::group_count(3) + w::chat(-9, "hi there") + w::chat(0, "");
  }
};

TEST_F(ToolsDecoderTest, EachMessageBecomesOneLine) {
  EXPECT_EQ("2A lobby full", line_of(w::full()));
  EXPECT_EQ("2R room=1 members=2 title=bob", line_of(w::room_entry(1, 2, "bob")));
  EXPECT_EQ("2O end of list", line_of(w::list_end()));
  EXPECT_EQ("2V login refused", line_of(w::refused()));
  EXPECT_EQ("2M room=3", line_of(w::room_made(3)));
  EXPECT_EQ("2J result=1", line_of(w::room_result(1)));
  EXPECT_EQ("2J result=255", line_of(w::room_result(255)));
  EXPECT_EQ("2S code=21 (join refused)", line_of(w::status(21)));
  EXPECT_EQ("2S code=2 (game starts)", line_of(w::status(2)));
  EXPECT_EQ("2S code=-7", line_of(w::status(-7)));
  EXPECT_EQ("2N seat=2 self=1 name=alice", line_of(w::seat_entry(2, true, "alice")));
  EXPECT_EQ("2D from=0xfffd value=300", line_of(w::direct_from(0xfffd, 300)));
  EXPECT_EQ("2D from=0x0003 value=-1", line_of(w::direct_from(3, -1)));
  EXPECT_EQ("2F seat=4 value=0", line_of(w::seat_vacated(4)));
  EXPECT_EQ("2Q room=65535 members=3", line_of(w::member_count(0xffff, 3)));
  EXPECT_EQ("2H count=3", line_of(w::group_count(3)));
  EXPECT_EQ("2C value=0 text=hello", line_of(w::chat(0, "hello")));
  EXPECT_EQ("2C value=-9 text=", line_of(w::chat(-9, "")));
}

TEST_F(ToolsDecoderTest, NamesEndAtTheirFirstZeroAndOddBytesAreEscaped) {
  // Bytes after the zero are left over from an earlier name.
  std::string title = std::string("bob\0stale", 9);
  EXPECT_EQ("2R room=0 members=1 title=bob", line_of(w::room_entry(0, 1, title)));
  EXPECT_EQ("2N seat=0 self=0 name=abcdefghijklmnop",
            line_of(w::seat_entry(0, false, "abcdefghijklmnop")));
  EXPECT_EQ("2C value=1 text=a\\x0ab\\x5cc\\xff", line_of(w::chat(1, "a\nb\\c\xff")));
}

TEST_F(ToolsDecoderTest, FieldsAreKeptForPrograms) {
  client::LobbyDecoder decoder;
  std::vector<client::LobbyMessage> messages;
  decoder.feed(w::direct_from(0xfffe, -123456) + w::chat(77, "T 1 2 3"), &messages);
  ASSERT_EQ(2u, messages.size());
  EXPECT_EQ('D', messages[0].letter);
  EXPECT_EQ(0xfffe, messages[0].first);
  EXPECT_EQ(-123456, messages[0].second);
  EXPECT_EQ('C', messages[1].letter);
  EXPECT_EQ(77, messages[1].first);
  EXPECT_EQ("T 1 2 3", messages[1].text);
  EXPECT_EQ(w::chat(77, "T 1 2 3"), messages[1].raw);
}

TEST_F(ToolsDecoderTest, AStreamSplitAnywhereGivesTheSameLines) {
  const std::string stream = every_message();
  const std::vector<std::string> whole = lines_of(stream);
  ASSERT_EQ(14u, whole.size());
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    EXPECT_EQ(whole, lines_of({stream.substr(0, cut), stream.substr(cut)})) << "cut at " << cut;
  }
  std::vector<std::string> bytes;
  for (char c : stream) bytes.push_back(std::string(1, c));
  EXPECT_EQ(whole, lines_of(bytes));
}

TEST_F(ToolsDecoderTest, AChatLineWaitsForItsTextAfterItsLengthByte) {
  const std::string line = w::chat(5, "split line");
  client::LobbyDecoder decoder;
  std::vector<client::LobbyMessage> messages;
  decoder.feed(line.substr(0, 7), &messages);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(7u, decoder.held());
  decoder.feed(line.substr(7, 4), &messages);
  EXPECT_TRUE(messages.empty());
  decoder.feed(line.substr(11) + w::list_end(), &messages);
  ASSERT_EQ(2u, messages.size());
  EXPECT_EQ("2C value=5 text=split line", client::format_message(messages[0]));
  EXPECT_EQ("2O end of list", client::format_message(messages[1]));
  EXPECT_EQ(0u, decoder.held());
}

TEST_F(ToolsDecoderTest, UnknownBytesAreShownAndTheStreamRecovers) {
  // An unknown letter costs only its mark: the next byte may start a message.
  EXPECT_EQ((std::vector<std::string>{"?? 32 5a", "2O end of list"}),
            lines_of(w::msg('Z') + w::list_end()));
  EXPECT_EQ((std::vector<std::string>{"?? 78 79", "2H count=1"}),
            lines_of("xy" + w::group_count(1)));
  EXPECT_EQ((std::vector<std::string>{"?? 32", "2A lobby full"}), lines_of("2" + w::full()));
  // More than 16 unknown bytes take several lines.
  EXPECT_EQ(
      (std::vector<std::string>{"?? 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", "?? 00 00"}),
      lines_of(std::string(18, '\0')));
}

TEST_F(ToolsDecoderTest, AMarkAtTheEndWaitsForItsLetter) {
  client::LobbyDecoder decoder;
  std::vector<client::LobbyMessage> messages;
  decoder.feed("x2", &messages);
  ASSERT_EQ(1u, messages.size());
  EXPECT_EQ("?? 78", client::format_message(messages[0]));
  EXPECT_EQ(1u, decoder.held());
  decoder.feed("O", &messages);
  ASSERT_EQ(2u, messages.size());
  EXPECT_EQ("2O end of list", client::format_message(messages[1]));
}

TEST_F(ToolsDecoderTest, TheEndOfTheStreamReportsACutMessage) {
  client::LobbyDecoder decoder;
  std::vector<client::LobbyMessage> messages;
  decoder.feed(w::group_count(2).substr(0, 4), &messages);
  EXPECT_TRUE(messages.empty());
  decoder.finish(&messages);
  ASSERT_EQ(1u, messages.size());
  EXPECT_EQ("?? 32 48 02 00", client::format_message(messages[0]));
  EXPECT_EQ(0u, decoder.held());
}

// --- Benchmark figures ------------------------------------------------------

TEST(ToolsStatsTest, PercentilesAreNearestRank) {
  std::vector<int64_t> samples;
  for (int i = 100; i >= 1; --i) samples.push_back(i);
  bench::LatencySummary s = bench::summarize(samples);
  EXPECT_EQ(100u, s.count);
  EXPECT_EQ(1, s.min_ns);
  EXPECT_EQ(50, s.p50_ns);
  EXPECT_EQ(99, s.p99_ns);
  EXPECT_EQ(100, s.max_ns);

  s = bench::summarize({7});
  EXPECT_EQ(7, s.p50_ns);
  EXPECT_EQ(7, s.p99_ns);
  // With few samples the 99th percentile is the largest one.
  s = bench::summarize({5, 1, 3});
  EXPECT_EQ(3, s.p50_ns);
  EXPECT_EQ(5, s.p99_ns);
  EXPECT_EQ(0u, bench::summarize({}).count);
}

TEST(ToolsStatsTest, CpuTicksAreCountedFromTheLastParenthesis) {
  // A command name may hold blanks and parentheses of its own.
  const std::string stat =
      "4242 (odd) name (x)) S 1 4242 4242 0 -1 4194560 100 0 0 0 250 75 0 0 20 0 5 0";
  int64_t ticks = 0;
  ASSERT_EQ(bench::kStatOk, bench::parse_stat_cpu_ticks(stat, &ticks));
  EXPECT_EQ(325, ticks);
  EXPECT_EQ(bench::kStatMalformed, bench::parse_stat_cpu_ticks("4242 (cut) S 1 2", &ticks));
  EXPECT_EQ(bench::kStatMalformed, bench::parse_stat_cpu_ticks("no parenthesis", &ticks));
}

TEST(ToolsStatsTest, PeakMemoryComesFromVmHwm) {
  int64_t kb = 0;
  ASSERT_EQ(bench::kStatOk,
            bench::parse_status_peak_kb("Name:\tx\nVmPeak:\t  9000 kB\nVmHWM:\t  4136 kB\n", &kb));
  EXPECT_EQ(4136, kb);
  EXPECT_EQ(bench::kStatMalformed, bench::parse_status_peak_kb("VmRSS:\t 12 kB\n", &kb));
  // This process can read its own figures.
  EXPECT_EQ(bench::kStatOk, bench::read_peak_rss_kb(getpid(), &kb));
  EXPECT_GT(kb, 0);
}

// Wake-ups are the voluntary switches of every thread: a thread of ours
// that sleeps 20 times adds at least 20, and the involuntary count beside
// them in the file is not taken for them.
TEST(ToolsStatsTest, WakeupsCountTheSleepsOfEveryThread) {
  int64_t value = 0;
  const std::string status =
      "Name:\tx\nVmRSS:\t  812 kB\nvoluntary_ctxt_switches:\t7\n"
      "nonvoluntary_ctxt_switches:\t90\n";
  ASSERT_EQ(bench::kStatOk, bench::parse_status_number(status, "voluntary_ctxt_switches:", &value));
  EXPECT_EQ(7, value);
  ASSERT_EQ(bench::kStatOk, bench::parse_status_number(status, "VmRSS:", &value));
  EXPECT_EQ(812, value);
  EXPECT_EQ(bench::kStatMalformed,
            bench::parse_status_number("VmRSS:\t 12 MB\n", "VmRSS:", &value));
  EXPECT_EQ(bench::kStatMalformed, bench::parse_status_number(status, "Threads:", &value));

  int64_t before = 0;
  ASSERT_EQ(bench::kStatOk, bench::read_wakeups(getpid(), &before));
  // The thread is read while it still lives: an ended thread's switches
  // leave the sum with it.
  std::atomic<bool> slept{false};
  std::atomic<bool> release{false};
  std::thread sleeper([&] {
    for (int i = 0; i < 20; ++i) poll(nullptr, 0, 1);
    slept.store(true);
    while (!release.load()) poll(nullptr, 0, 1);
  });
  while (!slept.load()) std::this_thread::yield();
  int64_t after = 0;
  const int rc = bench::read_wakeups(getpid(), &after);
  release.store(true);
  sleeper.join();
  ASSERT_EQ(bench::kStatOk, rc);
  EXPECT_GE(after - before, 20);
  EXPECT_EQ(bench::kStatUnreadable, bench::read_wakeups(-1, &after));
}

// A short fleet run against two real servers: every player logs in, the
// first party's room is made, filled and started, every line and direct
// message owed arrives once and nothing else does, and the servers'
// figures are read.
TEST(ToolsFleetBenchTest, AShortFleetRunAccountsForEveryDelivery) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  const std::string path(self, static_cast<size_t>(n));
  bench::FleetOptions options;
  options.lobbies = 2;
  options.idle_seconds = 1;
  options.seconds = 4;
  options.server_path = path.substr(0, path.rfind('/') + 1) + "lobby_server";
  bench::FleetFigures figures;
  ASSERT_EQ(0, bench::run_fleet(options, &figures)) << figures.error;
  EXPECT_EQ(64, figures.players);
  EXPECT_GE(figures.client_threads, 1);
  EXPECT_GE(figures.games, 1);
  EXPECT_GT(figures.chat_sent, 0);
  EXPECT_EQ(figures.chat_sent * 8 + figures.direct_sent, figures.expected);
  EXPECT_EQ(figures.expected, figures.delivered);
  EXPECT_EQ(0, figures.lost);
  EXPECT_EQ(0, figures.unexpected);
  EXPECT_EQ(0, figures.connections_lost);
  EXPECT_EQ(figures.delivered, static_cast<int64_t>(figures.relay.count));
  EXPECT_GE(figures.idle.wakeups_per_lobby_s, 0);
  EXPECT_GT(figures.mix.wakeups_per_lobby_s, 0);
  EXPECT_GT(figures.mix.cpu_percent, 0);
  EXPECT_GT(figures.mix.bench_cpu_percent, 0);
  EXPECT_GT(figures.rss_kb_sum, 0);
  const std::string json = bench::fleet_json(figures);
  EXPECT_EQ(0u, json.find("{\n  \"fleet\": {\n    \"lobbies\": 2,\n")) << json;
  EXPECT_NE(std::string::npos, json.find("\"lost\": 0,")) << json;
  EXPECT_NE(std::string::npos, json.find("\"error\": null")) << json;
}

TEST(ToolsBenchLinesTest, TaggedTextRoundTripsAndFitsAChatLine) {
  const std::string text = bench::tagged_text('T', {31, INT64_MAX, INT64_MIN});
  EXPECT_LE(text.size(), static_cast<size_t>(client::kMaxChatText));
  int64_t n[3] = {};
  ASSERT_EQ(0, bench::parse_tagged_text(text, 'T', n, 3));
  EXPECT_EQ(31, n[0]);
  EXPECT_EQ(INT64_MAX, n[1]);
  EXPECT_EQ(INT64_MIN, n[2]);
}

TEST(ToolsBenchLinesTest, OtherTextIsNotTakenForATaggedLine) {
  int64_t n[2] = {};
  EXPECT_EQ(0, bench::parse_tagged_text("L 4 -5", 'L', n, 2));
  EXPECT_EQ(-1, bench::parse_tagged_text("T 4 5", 'L', n, 2));    // another tag
  EXPECT_EQ(-1, bench::parse_tagged_text("L 4", 'L', n, 2));      // cut short
  EXPECT_EQ(-1, bench::parse_tagged_text("L 4 5 6", 'L', n, 2));  // one too many
  EXPECT_EQ(-1, bench::parse_tagged_text("L 4 5x", 'L', n, 2));   // trailing junk
  EXPECT_EQ(-1, bench::parse_tagged_text("L  4 5", 'L', n, 2));   // doubled blank
  EXPECT_EQ(-1, bench::parse_tagged_text("L4 5", 'L', n, 2));     // no blank
  EXPECT_EQ(-1, bench::parse_tagged_text("L \t4 5", 'L', n, 2));  // other white space
  EXPECT_EQ(-1, bench::parse_tagged_text("L 4 -", 'L', n, 2));    // a bare sign
  EXPECT_EQ(-1, bench::parse_tagged_text("", 'L', n, 2));
  EXPECT_EQ(-1, bench::parse_tagged_text("L 1 99999999999999999999", 'L', n, 2));  // overflow
}

TEST(ToolsBenchLinesTest, ReadersThatKeepUpAreNotBehind) {
  bench::SequenceTracker tracker(2, 2);
  for (int seq = 0; seq < 5; ++seq) {
    tracker.record(0, 0, seq);
    tracker.record(0, 1, seq);
    tracker.record(1, 1, seq);
  }
  // A reader that has not heard the last lines yet is not behind either.
  tracker.record(1, 0, 0);
  EXPECT_EQ(0, tracker.readers_behind());
  EXPECT_EQ(0, tracker.skipped());
  EXPECT_EQ(0, tracker.out_of_order());
}

TEST(ToolsBenchLinesTest, SkippedAndRepeatedNumbersMarkTheReader) {
  bench::SequenceTracker tracker(3, 2);
  tracker.record(0, 0, 0);
  tracker.record(0, 0, 1025);  // lapped: 1024 lines overwritten unread
  tracker.record(1, 1, 3);     // the first three never came
  tracker.record(2, 0, 0);
  tracker.record(2, 0, 1);
  tracker.record(2, 0, 1);  // the same line again
  tracker.record(2, 0, 2);
  EXPECT_EQ(1024 + 3, tracker.skipped());
  EXPECT_EQ(1, tracker.out_of_order());
  EXPECT_EQ(3, tracker.readers_behind());
  // Numbers from outside the fleet change nothing.
  tracker.record(5, 0, 100);
  tracker.record(0, 7, 100);
  EXPECT_EQ(1024 + 3, tracker.skipped());
}

// --- Client session against a real server -----------------------------------

class ToolsClientSessionTest : public testing_support::LobbyServerTest {
 protected:
  void SetUp() override { start(); }

  std::unique_ptr<client::ClientSession> make_session() {
    return std::make_unique<client::ClientSession>(
        [this](const std::string& line) { out.push_back(line); },
        [this](const std::string& line) { err.push_back(line); });
  }

  // Parses and runs a script on a new connection; the exit status.
  int run_script(const std::string& text) {
    std::vector<client::ScriptLine> lines;
    std::vector<std::string> errors;
    EXPECT_EQ(client::kParseOk, client::parse_script(text, &lines, &errors))
        << (errors.empty() ? "" : errors[0]);
    auto session = make_session();
    int rc = session->connect("127.0.0.1", port);
    return rc == client::kExitOk ? session->run_script(lines) : rc;
  }

  // Reads messages up to and including the first with this letter.
  std::string read_until(testing_support::TcpClient& c, char letter) {
    for (;;) {
      std::string m = testing_support::next_message(c);
      if (m.size() < 2 || m[1] == letter) return m;
    }
  }

  // `expected` appears in `out` in this order, other lines between them.
  void expect_in_order(const std::vector<std::string>& expected) {
    size_t at = 0;
    for (const std::string& line : expected) {
      while (at < out.size() && out[at] != line) ++at;
      ASSERT_LT(at, out.size()) << "missing or out of order: " << line;
      ++at;
    }
  }

  std::vector<std::string> out;
  std::vector<std::string> err;
};

TEST_F(ToolsClientSessionTest, AScriptTalksToTheLobbyAndPrintsWhatArrives) {
  testing_support::TcpClient bob = enter(1, "bob", 7);
  read_until(bob, 'O');
  bob.send(w::room_op(-1));
  ASSERT_EQ(w::hex(w::room_made(0)), w::hex(read_until(bob, 'M')));

  const int rc = run_script(
      "enter 2 alice 7\n"
      "expect 2O end of list\n"
      "chat hello  there\n"
      "expect 2C value=0 text=hello  there\n"
      "join 0\n"
      "expect 2Q room=0 members=2\n"
      "direct host 300\n"
      "# the room list again, now with two members\n"
      "list\n"
      "expect 2R room=0 members=2 title=bob\n");
  EXPECT_EQ(client::kExitOk, rc);
  EXPECT_TRUE(err.empty()) << err[0];
  expect_in_order({"2R room=0 members=1 title=bob", "2O end of list", "2H count=2",
                   "2C value=0 text=hello  there", "2Q room=0 members=2",
                   "2R room=0 members=2 title=bob", "2O end of list"});

  EXPECT_EQ(w::hex(w::chat(0, "hello  there")), w::hex(read_until(bob, 'C')));
  // Seat 1 writes to the host: the sender code is the seat's complement.
  EXPECT_EQ(w::hex(w::direct_from(0xfffe, 300)), w::hex(read_until(bob, 'D')));
}

TEST_F(ToolsClientSessionTest, TheServerClosingTheConnectionEndsTheScript) {
  // A byte other than the mark breaks the framing, and the lobby drops the
  // client; the wait ends with the connection, long before its bound.
  const int rc = run_script("raw 58 58\nwait 10000\nping\n");
  EXPECT_EQ(client::kExitClosed, rc);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ("connection closed", out.back());
}

TEST_F(ToolsClientSessionTest, AnExpectThatIsNotMetFailsTheScript) {
  std::vector<client::ScriptLine> lines(1);
  lines[0].number = 3;
  lines[0].command.kind = CommandKind::kExpect;
  lines[0].command.text = "2M";
  lines[0].command.wait_ms = 50;
  auto session = make_session();
  ASSERT_EQ(client::kExitOk, session->connect("127.0.0.1", port));
  EXPECT_EQ(client::kExitExpectFailed, session->run_script(lines));
  ASSERT_EQ(2u, err.size());
  EXPECT_NE(std::string::npos, err[0].find("no line containing '2M'"));
  EXPECT_EQ("error: script stopped at line 3", err[1]);
}

TEST_F(ToolsClientSessionTest, BadInputAtThePromptGetsAnErrorAndTheSessionGoesOn) {
  int input[2];
  ASSERT_EQ(0, pipe(input));
  const std::string typed =
      "list\n"
      "join nine\n"
      "chat " +
      std::string(74, 'x') +
      "\n"
      "enter 3 carol 7\n"
      "expect 2O\n";
  ASSERT_EQ(static_cast<ssize_t>(typed.size()), write(input[1], typed.data(), typed.size()));
  close(input[1]);  // the end of the input ends the session
  auto session = make_session();
  ASSERT_EQ(client::kExitOk, session->connect("127.0.0.1", port));
  EXPECT_EQ(client::kExitOk, session->run_interactive(input[0]));
  close(input[0]);
  ASSERT_EQ(3u, err.size());
  EXPECT_NE(std::string::npos, err[0].find("list: no login yet"));
  EXPECT_NE(std::string::npos, err[1].find("ROOM 'nine' is not a number"));
  EXPECT_NE(std::string::npos, err[2].find("longer than 73"));
  expect_in_order({"2O end of list"});
}

TEST_F(ToolsClientSessionTest, ASilentSessionSendsKeepAlivesByItself) {
  // A listener of the test's own, so that every byte the session sends can
  // be read back; the kernel completes the connection before the accept.
  const int listen_fd = net::tcp_socket();
  ASSERT_GE(listen_fd, 0);
  ASSERT_EQ(0, net::bind_ipv4(listen_fd, 0x7f000001, 0));
  ASSERT_EQ(0, net::listen_fd(listen_fd, 1));
  auto session = make_session();
  session->set_keep_alive_ms(40);
  ASSERT_EQ(client::kExitOk, session->connect("127.0.0.1", net::local_port(listen_fd)));
  std::vector<client::ScriptLine> lines(1);
  lines[0].command.kind = CommandKind::kWait;
  lines[0].command.wait_ms = 200;
  ASSERT_EQ(client::kExitOk, session->run_script(lines));

  ASSERT_GT(net::poll_fd(listen_fd, net::kPollIn, 3000), 0);
  int32_t ip[4];
  int32_t peer_port = 0;
  int error = 0;
  const int fd = net::accept_ipv4(listen_fd, ip, &peer_port, &error);
  ASSERT_GE(fd, 0);
  std::string sent;
  uint8_t buffer[256];
  int n;
  while ((n = net::recv_nb(fd, buffer, sizeof buffer)) > 0) {
    sent.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
  }
  net::close_fd(fd);
  net::close_fd(listen_fd);
  // 200 ms of silence and the final drain hold at least four 40 ms
  // intervals; nothing but keep-alives was sent.
  ASSERT_GE(sent.size(), 8u);
  for (size_t i = 0; i < sent.size(); i += 2) EXPECT_EQ("2P", sent.substr(i, 2)) << i;
}

TEST_F(ToolsClientSessionTest, ConnectingWhereNothingListensFails) {
  const int free_port = client::pick_free_port();
  ASSERT_GT(free_port, 0);
  auto session = make_session();
  EXPECT_EQ(client::kExitConnectFailed, session->connect("127.0.0.1", free_port));
  ASSERT_EQ(1u, err.size());
  EXPECT_NE(std::string::npos, err[0].find("cannot connect"));
}

}  // namespace
