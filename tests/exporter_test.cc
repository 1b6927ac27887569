// The exporter's pieces that need no lobby: the answer shared by every
// request of a second, on a clock the test moves, and the status page's
// text. The real exporter over HTTP is in operator_tools_test.cc.
#include "ops/exporter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ops/status_page.h"

namespace {

using ops::AnswerCache;
using ops::FleetAnswer;

constexpr int kWaitMs = 10000;

class AnswerCacheTest : public ::testing::Test {
 protected:
  // Each reading is numbered in generated_at; a held reading waits for
  // release() before it ends.
  std::shared_ptr<const FleetAnswer> take() {
    const int number = ++readings;
    std::unique_lock<std::mutex> guard(lock);
    if (fail_next) {
      fail_next = false;
      throw std::runtime_error("the reading failed");
    }
    released.wait(guard, [this] { return !hold; });
    now_ms += reading_ms;
    auto answer = std::make_shared<FleetAnswer>();
    answer->generated_at = std::to_string(number);
    return answer;
  }
  void release() {
    std::lock_guard<std::mutex> guard(lock);
    hold = false;
    released.notify_all();
  }
  std::string get() { return cache.get()->generated_at; }

  std::atomic<int64_t> now_ms{5000};
  std::atomic<int> readings{0};
  int64_t reading_ms = 0;  // how long a reading takes on the test's clock
  std::mutex lock;
  std::condition_variable released;
  bool hold = false;  // Guarded by lock.
  bool fail_next = false;
  AnswerCache cache{[this] { return take(); }, [this] { return now_ms.load(); }, 1000};
};

TEST_F(AnswerCacheTest, OneReadingServesForASecondFromWhenItBegan) {
  EXPECT_EQ("1", get());
  EXPECT_EQ("1", get());
  now_ms += 999;
  EXPECT_EQ("1", get());
  now_ms += 1;
  EXPECT_EQ("2", get());
  // A reading that took 1.5 s is a second old as soon as it ends: the next
  // request asks again, so that no lobby is asked twice within a second
  // but none is shown older than needed.
  reading_ms = 1500;
  now_ms += 1000;
  EXPECT_EQ("3", get());
  reading_ms = 0;
  EXPECT_EQ("4", get());
  EXPECT_EQ("4", get());
  EXPECT_EQ(4, readings.load());
}

TEST_F(AnswerCacheTest, RequestsDuringAReadingWaitForItInsteadOfAskingAgain) {
  EXPECT_EQ("1", get());
  now_ms += 1000;
  hold = true;
  constexpr int kRequests = 8;
  std::vector<std::string> seen(kRequests);
  std::vector<std::thread> requests;
  for (int i = 0; i < kRequests; ++i) requests.emplace_back([&, i] { seen[i] = get(); });
  // One of them reads; the rest wait for it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while ((cache.waiting() < kRequests - 1 || readings.load() < 2) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(kRequests - 1, cache.waiting());
  EXPECT_EQ(2, readings.load());
  release();
  for (std::thread& request : requests) request.join();
  for (const std::string& answer : seen) EXPECT_EQ("2", answer);
  EXPECT_EQ(2, readings.load());
  EXPECT_EQ(0, cache.waiting());
}

TEST_F(AnswerCacheTest, AFailedReadingReleasesItsWaitersAndTheNextRequestAsksAgain) {
  EXPECT_EQ("1", get());
  now_ms += 1000;
  fail_next = true;
  EXPECT_THROW(cache.get(), std::runtime_error);
  // Nothing is left marked as under way.
  EXPECT_EQ("3", get());
  EXPECT_EQ("3", get());
}

TEST(StatusPageTest, TheTitleIsTextAndTheNonceIsOnTheStyleAndTheScript) {
  const std::string page = ops::status_page("<b>Ours</b> & \"theirs\" @NONCE@ @TITLE@", "n0nce");
  const std::string title = "&lt;b&gt;Ours&lt;/b&gt; &amp; &quot;theirs&quot; @NONCE@ @TITLE@";
  EXPECT_NE(std::string::npos, page.find("<title>" + title + "</title>")) << page;
  EXPECT_NE(std::string::npos, page.find("<h1>" + title + "</h1>")) << page;
  EXPECT_NE(std::string::npos, page.find("<style nonce=\"n0nce\">"));
  EXPECT_NE(std::string::npos, page.find("<script nonce=\"n0nce\">"));
  // Every mark of the file was filled; the page's own @media rules stay.
  EXPECT_EQ(2u, [&] {
    size_t count = 0;
    for (size_t at = page.find("@NONCE@"); at != std::string::npos;
         at = page.find("@NONCE@", at + 1))
      ++count;
    return count;
  }()) << "only the two inside the title";
  EXPECT_NE(std::string::npos, page.find("@media (prefers-color-scheme: dark)"));
  EXPECT_EQ("&#39;&amp;amp;", ops::html_text("'&amp;"));

  const std::string policy = ops::status_page_policy("n0nce");
  EXPECT_EQ(
      "default-src 'none'; script-src 'nonce-n0nce'; style-src 'nonce-n0nce'; connect-src "
      "'self'; img-src data:; base-uri 'none'; form-action 'none'",
      policy);

  std::set<std::string> nonces;
  for (int i = 0; i < 64; ++i) {
    const std::string nonce = ops::make_nonce();
    EXPECT_EQ(24u, nonce.size()) << nonce;
    EXPECT_EQ("==", nonce.substr(22)) << nonce;
    EXPECT_EQ(std::string::npos,
              nonce.substr(0, 22).find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"))
        << nonce;
    nonces.insert(nonce);
  }
  EXPECT_EQ(64u, nonces.size());
}

}  // namespace
