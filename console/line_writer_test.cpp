#include "console/line_writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A console that holds every write until it is let go, as a Windows console
// does while a selection is made in its window; it keeps what it was given.
class BlockedConsole {
 public:
  void Write(const std::string& text) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++entered_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
    texts_.push_back(text);
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }
  // Waits until a write is held in the console.
  bool WaitHolding() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 10s, [this] { return entered_ > 0; });
  }
  std::vector<std::string> texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool released_ = false;
  int entered_ = 0;
  std::vector<std::string> texts_;
};

// Three threads (the capture thread, the writer, the reader) write their
// lines while the console holds the first: none of them waits, and once
// the console lets go every line arrives, each thread's in its own order.
TEST(LineWriter, ABlockedConsoleHoldsNoWritingThread) {
  BlockedConsole console;
  LineWriter writer([&console](const std::string& text) { console.Write(text); });
  writer.Hand("first\n");
  ASSERT_TRUE(console.WaitHolding());

  constexpr int kThreads = 3;
  constexpr int kLines = 500;
  std::vector<std::future<void>> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(std::async(std::launch::async, [&writer, t] {
      for (int i = 0; i < kLines; ++i) writer.Hand(std::to_string(t) + " " + std::to_string(i) + "\n");
    }));
  }
  for (auto& thread : threads) {
    // Were a writing thread held by the console, it would still be here.
    ASSERT_EQ(thread.wait_for(10s), std::future_status::ready) << "a thread waits on the console";
  }
  EXPECT_FALSE(writer.Flush(50ms)) << "the console still holds the lines";

  console.Release();
  EXPECT_TRUE(writer.Flush(10s));
  const std::vector<std::string> texts = console.texts();
  ASSERT_EQ(texts.size(), 1u + kThreads * kLines);
  EXPECT_EQ(texts[0], "first\n");
  std::vector<int> next(kThreads, 0);
  for (std::size_t i = 1; i < texts.size(); ++i) {
    const int t = texts[i][0] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << texts[i];
    EXPECT_EQ(texts[i], std::to_string(t) + " " + std::to_string(next[t]) + "\n") << "out of order";
    ++next[t];
  }
}

// Nothing waits for more lines before writing one; the order of handing is
// the order of writing; the writer's end writes what still waits.
TEST(LineWriter, InOrderWithoutWaitingAndNothingLostAtTheEnd) {
  std::mutex mutex;
  std::vector<std::string> texts;
  {
    LineWriter writer([&](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex);
      texts.push_back(text);
    });
    writer.Hand("a");
    EXPECT_TRUE(writer.Flush(10s));
    {
      std::lock_guard<std::mutex> lock(mutex);
      EXPECT_EQ(texts, std::vector<std::string>{"a"});
    }
    for (int i = 0; i < 1000; ++i) writer.Hand(std::to_string(i));
  }  // Ends here with lines still waiting.
  ASSERT_EQ(texts.size(), 1001u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(texts[static_cast<std::size_t>(i) + 1], std::to_string(i));
}

}  // namespace
