// The admin channel's transport on both systems (this file also builds into
// the Windows unit tests, run under Wine, where the stream is a named pipe):
// bytes both ways exactly, through buffers that fill and a reader that
// catches up; the readiness a wait reports; the last bytes before a close;
// wake-ups; one server per name; the names a path stands for; and, on
// Windows, the pipe's access list.
#include "net/local_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
// (after it)
#include <aclapi.h>
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 5000;

class LocalStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, net::start_sockets());
    const auto stamp = Clock::now().time_since_epoch().count();
    // A name of its own: on Windows the pipe is named after the file name.
    name_ = "stream_test." + std::to_string(stamp) + ".sock";
    dir_ = fs::temp_directory_path() / ("local_stream_test." + std::to_string(stamp));
    ASSERT_TRUE(fs::create_directory(dir_));
  }
  void TearDown() override {
    net::local_close(client_);
    net::local_close(server_);
    net::local_unlisten(listener_, path().c_str(), identity_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string path() const { return (dir_ / name_).string(); }

  // The ready bits of one handle after waiting at most `timeout_ms`.
  static int wait_for(int handle, int events, int timeout_ms) {
    net::PollEntry entry = {handle, events, 0};
    return net::local_poll(&entry, 1, timeout_ms) > 0 ? entry.ready : 0;
  }

  void listen_and_connect() {
    int error = -1;
    listener_ = net::local_listen(path().c_str(), 8, identity_, &error);
    ASSERT_GE(listener_, 0) << net::error_text(error);
    EXPECT_EQ(0, error);
    EXPECT_EQ(0, wait_for(listener_, net::kPollIn, 0));
    EXPECT_EQ(net::kIoWouldBlock, net::local_accept(listener_));
    client_ = net::local_connect(path().c_str(), &error);
    ASSERT_GE(client_, 0) << net::error_text(error);
    EXPECT_EQ(net::kPollIn, wait_for(listener_, net::kPollIn, kWaitMs));
    server_ = net::local_accept(listener_);
    ASSERT_GE(server_, 0);
    EXPECT_EQ(net::kIoWouldBlock, net::local_accept(listener_));
  }

  // What `handle` has to receive now, without waiting.
  static std::string receive_all(int handle) {
    std::string bytes;
    uint8_t buffer[1500];
    for (int n; (n = net::local_recv(handle, buffer, sizeof buffer)) > 0;) {
      bytes.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    }
    return bytes;
  }

  fs::path dir_;
  std::string name_;
  uint64_t identity_[2] = {0, 0};
  int listener_ = -1;
  int server_ = -1;
  int client_ = -1;
};

TEST_F(LocalStreamTest, BytesGoBothWaysExactlyThroughFullBuffersAndOutliveTheClose) {
  listen_and_connect();
  uint8_t buffer[64];
  EXPECT_EQ(net::kIoWouldBlock, net::local_recv(server_, buffer, sizeof buffer));
  EXPECT_EQ(net::kPollOut, wait_for(client_, net::kPollOut | net::kPollIn, 0));
  const std::string command = "status\r\nusers\n";
  ASSERT_EQ(static_cast<int>(command.size()),
            net::local_send(client_, reinterpret_cast<const uint8_t*>(command.data()),
                            static_cast<int>(command.size())));
  ASSERT_EQ(net::kPollIn, wait_for(server_, net::kPollIn, kWaitMs));
  std::string received;
  while (received.size() < command.size() && wait_for(server_, net::kPollIn, kWaitMs) != 0) {
    received += receive_all(server_);
  }
  EXPECT_EQ(command, received);

  // A reader that does not read: sends take what fits, then nothing, and
  // the stream is not writable until the reader catches up.
  constexpr size_t kReplyBytes = 512 * 1024;
  std::string reply(kReplyBytes, '\0');
  for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<char>('a' + i * 7 % 26);
  size_t sent = 0;
  int result = 0;
  while (sent < reply.size()) {
    result = net::local_send(server_, reinterpret_cast<const uint8_t*>(reply.data() + sent),
                             static_cast<int>(reply.size() - sent));
    if (result <= 0) break;
    sent += static_cast<size_t>(result);
  }
  ASSERT_EQ(net::kIoWouldBlock, result);
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, kReplyBytes);
  EXPECT_EQ(0, wait_for(server_, net::kPollOut, 0));

  // The reader catches up; every byte arrives once, in order.
  std::string got;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (got.size() < kReplyBytes && Clock::now() < deadline) {
    if (sent < reply.size() && (wait_for(server_, net::kPollOut, 0) & net::kPollOut)) {
      result = net::local_send(server_, reinterpret_cast<const uint8_t*>(reply.data() + sent),
                               static_cast<int>(reply.size() - sent));
      ASSERT_TRUE(result > 0 || result == net::kIoWouldBlock) << result;
      if (result > 0) sent += static_cast<size_t>(result);
    }
    if (wait_for(client_, net::kPollIn, 10) & net::kPollIn) got += receive_all(client_);
  }
  ASSERT_EQ(kReplyBytes, got.size());
  EXPECT_TRUE(got == reply);

  // The last line, then the close: the peer reads the line, then the end.
  const std::string last = "{\"error\":\"bye\"}\n";
  ASSERT_EQ(static_cast<int>(last.size()),
            net::local_send(server_, reinterpret_cast<const uint8_t*>(last.data()),
                            static_cast<int>(last.size())));
  net::local_close(server_);
  server_ = -1;
  std::string tail;
  int n = 0;
  for (;;) {
    ASSERT_EQ(net::kPollIn, wait_for(client_, net::kPollIn, kWaitMs)) << tail;
    n = net::local_recv(client_, buffer, sizeof buffer);
    if (n <= 0) break;
    tail.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
  }
  EXPECT_EQ(0, n);
  EXPECT_EQ(last, tail);
  // A handle that is closed, or was never made, is refused.
  EXPECT_EQ(net::kIoError, net::local_recv(-1, buffer, sizeof buffer));
  EXPECT_EQ(net::kIoError, net::local_send(-1, buffer, 1));
}

TEST_F(LocalStreamTest, AWakeUpEndsAWaitFromAnotherThreadUntilDrained) {
  const int wake = net::local_make_wake();
  ASSERT_GE(wake, 0);
  EXPECT_EQ(0, wait_for(wake, net::kPollIn, 0));
  // A wait's own time ends it too.
  const auto start = Clock::now();
  EXPECT_EQ(0, wait_for(wake, net::kPollIn, 50));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(40));
  std::thread waker([wake] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    net::local_wake(wake);
  });
  EXPECT_EQ(net::kPollIn, wait_for(wake, net::kPollIn, 10 * kWaitMs));
  waker.join();
  EXPECT_EQ(net::kPollIn, wait_for(wake, net::kPollIn, 0));
  net::local_drain_wake(wake);
  EXPECT_EQ(0, wait_for(wake, net::kPollIn, 0));
  net::local_close(wake);
}

TEST_F(LocalStreamTest, OneServerPerNameAndNamesThatDoNotFit) {
  listen_and_connect();
  int error = -1;
  uint64_t other[2] = {0, 0};
  EXPECT_EQ(net::kLocalInUse, net::local_listen(path().c_str(), 8, other, &error));
  // The first server is untouched and still takes clients.
  const int second = net::local_connect(path().c_str(), &error);
  EXPECT_GE(second, 0) << net::error_text(error);
  EXPECT_EQ(net::kPollIn, wait_for(listener_, net::kPollIn, kWaitMs));
  const int second_server = net::local_accept(listener_);
  EXPECT_GE(second_server, 0);
  net::local_close(second_server);
  net::local_close(second);

  // Once it stops (its connections first, as the channel stops), nobody
  // answers there and the name is free again.
  net::local_close(server_);
  net::local_close(client_);
  server_ = client_ = -1;
  net::local_unlisten(listener_, path().c_str(), identity_);
  listener_ = -1;
  error = 0;
  EXPECT_EQ(-1, net::local_connect(path().c_str(), &error));
  EXPECT_NE(0, error);
  listener_ = net::local_listen(path().c_str(), 8, identity_, &error);
  EXPECT_GE(listener_, 0) << net::error_text(error);

  const std::string long_path = (dir_ / std::string(300, 'x')).string();
  EXPECT_EQ(net::kLocalNameTooLong, net::local_listen(long_path.c_str(), 8, other, &error));
  EXPECT_EQ(net::kLocalNameTooLong, net::local_listen("", 8, other, &error));
  EXPECT_EQ(-1, net::local_connect(long_path.c_str(), &error));
  std::error_code no_file;
  EXPECT_FALSE(fs::exists(long_path, no_file));

#ifdef _WIN32
  // The pipe is named after the path's file name; a pipe's name is taken
  // as it is.
  EXPECT_EQ("\\\\.\\pipe\\lobby-lobby.sock", net::local_address("lobby.sock"));
  EXPECT_EQ("\\\\.\\pipe\\lobby-lobby.sock", net::local_address("./lobby.sock"));
  EXPECT_EQ("\\\\.\\pipe\\lobby-east.sock", net::local_address("C:\\lobbies\\east.sock"));
  EXPECT_EQ("\\\\.\\pipe\\lobby-west.sock", net::local_address("D:/lobbies/west.sock"));
  EXPECT_EQ("\\\\.\\pipe\\east", net::local_address("\\\\.\\pipe\\east"));
  EXPECT_EQ("\\\\.\\PIPE\\east", net::local_address("\\\\.\\PIPE\\east"));
  EXPECT_EQ(net::kLocalNameTooLong, net::local_listen("\\\\.\\pipe\\", 8, other, &error));
  EXPECT_EQ(net::kLocalNameTooLong, net::local_listen("C:\\lobbies\\", 8, other, &error));
#else
  EXPECT_EQ(path(), net::local_address(path().c_str()));
#endif
}

#ifdef _WIN32
// The pipe grants its own user full control and nobody anything else.
TEST_F(LocalStreamTest, ThePipeIsItsUsersAlone) {
  listen_and_connect();
  const std::string pipe = net::local_address(path().c_str());
  HANDLE look = CreateFileA(pipe.c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, look) << GetLastError();
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
            GetSecurityInfo(look, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &acl, nullptr, &descriptor));
  ASSERT_NE(nullptr, acl);
  ASSERT_EQ(1, acl->AceCount);
  void* ace = nullptr;
  ASSERT_TRUE(GetAce(acl, 0, &ace));
  const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
  EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, allowed->Header.AceType);
  EXPECT_EQ(static_cast<DWORD>(FILE_ALL_ACCESS), allowed->Mask);

  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  alignas(DWORD) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, user, sizeof user, &size));
  CloseHandle(token);
  EXPECT_TRUE(EqualSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid,
                       const_cast<DWORD*>(&allowed->SidStart)));
  LocalFree(descriptor);
  CloseHandle(look);
}
#endif

}  // namespace
