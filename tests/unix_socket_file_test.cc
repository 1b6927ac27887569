// The admin socket's file helpers that hold without a listener: a file is
// removed at a stop only while it is still the one the lobby made, and a
// path that does not fit a socket address is refused before anything is
// made.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "net/socket_ops.h"
#include "net/unix_socket.h"

namespace {

namespace fs = std::filesystem;

class UnixSocketFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    dir_ = fs::temp_directory_path() / ("unix_socket_file_test." + std::to_string(stamp));
    ASSERT_TRUE(fs::create_directory(dir_));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string path(const char* name) const { return (dir_ / name).string(); }
  static void write(const std::string& path, const char* text) { std::ofstream(path) << text; }

  fs::path dir_;
};

TEST_F(UnixSocketFileTest, RemovesOnlyTheFileItIdentified) {
  const std::string made = path("lobby.sock");
  write(made, "made");
  uint64_t identity[2] = {0, 0};
  ASSERT_EQ(0, net::file_identity(made.c_str(), identity));
  // Another file put in its place (made while the first still exists, so
  // it cannot be given the same identity) is left alone.
  write(path("other"), "other");
  fs::rename(path("other"), made);
  EXPECT_EQ(-1, net::remove_if_same(made.c_str(), identity));
  EXPECT_TRUE(fs::exists(made));
  ASSERT_EQ(0, net::file_identity(made.c_str(), identity));
  EXPECT_EQ(0, net::remove_if_same(made.c_str(), identity));
  EXPECT_FALSE(fs::exists(made));
  EXPECT_EQ(-1, net::remove_if_same(made.c_str(), identity));
  EXPECT_EQ(-1, net::file_identity(made.c_str(), identity));
}

TEST_F(UnixSocketFileTest, PathsThatDoNotFitAreRefusedBeforeAnythingIsMade) {
  ASSERT_EQ(0, net::start_sockets());
  const std::string long_path = path(std::string(120, 'x').c_str());
  int error = -1;
  EXPECT_EQ(net::kUnixPathTooLong, net::unix_listen(long_path.c_str(), 1, &error));
  EXPECT_EQ(0, error);
  EXPECT_EQ(net::kUnixPathTooLong, net::unix_listen("", 1, &error));
  EXPECT_EQ(-1, net::unix_connect(long_path.c_str()));
  EXPECT_FALSE(fs::exists(long_path));
  // Nobody listens where nothing is.
  EXPECT_EQ(-1, net::unix_connect(path("absent.sock").c_str()));
}

}  // namespace
