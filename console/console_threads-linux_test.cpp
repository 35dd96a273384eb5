// The capture thread and the main thread write messages at the same time.
// Each line must reach standard output whole, and no thread may wait while
// standard output holds a write; under ThreadSanitizer (the "tsan" preset)
// these tests also show the console's shared state is guarded.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <future>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "console/console.h"
#include "console/held_output_test.h"
#include "console/line_writer.h"
#include "console/messages.h"

namespace {

// Sends standard output to a temporary file while it lives.
class CapturedStdout {
 public:
  CapturedStdout() {
    char name[] = "/tmp/artnet-console-XXXXXX";
    file_ = mkstemp(name);
    path_ = name;
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    dup2(file_, STDOUT_FILENO);
  }
  ~CapturedStdout() {
    Restore();
    unlink(path_.c_str());
  }
  // Puts standard output back and returns what was written meanwhile.
  std::string Finish() {
    Restore();
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool ok() const { return file_ >= 0 && saved_ >= 0; }

 private:
  void Restore() {
    if (saved_ >= 0) {
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
      saved_ = -1;
    }
    if (file_ >= 0) {
      close(file_);
      file_ = -1;
    }
  }
  int file_ = -1;
  int saved_ = -1;
  std::string path_;
};

// What one message line looks like on this console, less its code and line
// end: the text converted for the locale, as the console writes it.
std::string LinePrefix(Message message) {
  CapturedStdout out;
  EXPECT_TRUE(out.ok());
  WriteMessage(message, 7);
  std::string line = out.Finish();
  EXPECT_EQ(line.substr(line.size() - 2), "7\n");
  return line.substr(0, line.size() - 2);
}

TEST(Console, LinesFromTwoThreadsNeverMix) {
  const std::string timeout = LinePrefix(Message::SerialWriteTimeout);
  const std::string problem = LinePrefix(Message::SendProblem);
  constexpr int kLines = 2000;

  CapturedStdout out;
  ASSERT_TRUE(out.ok());
  std::atomic<int> ready{0};
  auto writer = [&ready](bool capture_thread) {
    // Start together, so the lines are written at the same moments.
    ready.fetch_add(1);
    while (ready.load() < 2) {
    }
    for (int i = 0; i < kLines; ++i) {
      if (capture_thread) {
        WriteMessage(Message::SerialWriteTimeout, static_cast<std::uint32_t>(i));
      } else {
        WriteMessageSigned(Message::SendProblem, -i);
      }
    }
  };
  std::thread capture(writer, true);
  std::thread main(writer, false);
  capture.join();
  main.join();
  const std::string output = out.Finish();

  std::set<std::string> expected;
  for (int i = 0; i < kLines; ++i) {
    expected.insert(timeout + std::to_string(i));
    expected.insert(problem + std::to_string(-i));
  }
  std::size_t lines = 0;
  std::size_t start = 0;
  for (std::size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = output.substr(start, end - start);
    ++lines;
    if (expected.erase(line) != 1) {
      ADD_FAILURE() << "a mixed or repeated line: " << line;
      break;
    }
  }
  EXPECT_EQ(start, output.size()) << "the output ends inside a line";
  EXPECT_EQ(lines, 2u * kLines);
  EXPECT_TRUE(expected.empty()) << expected.size() << " lines are missing";
}

// Standard output is a pipe that nobody reads, full (a logger that hangs,
// or, on Windows, a console window with a selection in it): through the
// console's own writer, the threads that write lines go on at once, and once
// the pipe is read every line comes, each thread's in order. (The writer is
// the bridge's kind, over the platform's write, but this test's own: the
// bridge's is started once and for good, and would outlive the test.)
TEST(Console, AFullStandardOutputHoldsNoThread) {
  const std::string timeout = LinePrefix(Message::SerialWriteTimeout);
  LineWriter writer(ShowConsoleText);
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  const int capacity = fcntl(pipe_ends[1], F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  // Exactly the pipe's capacity goes in without blocking; the next byte
  // would block.
  const std::string filler(static_cast<std::size_t>(capacity), 'f');
  ASSERT_EQ(write(pipe_ends[1], filler.data(), filler.size()), capacity);
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  dup2(pipe_ends[1], STDOUT_FILENO);

  std::vector<std::future<void>> threads = WriteLinesFromTwoThreads(writer);
  const bool none_waited = NoneWaited(threads);  // Said once standard output is back: gtest writes there too.

  // Read it all: the filler, then the lines.
  std::string output;
  const std::size_t expected_size = filler.size() + HeldLinesSize(timeout);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  fcntl(pipe_ends[0], F_SETFL, O_NONBLOCK);
  while (output.size() < expected_size && std::chrono::steady_clock::now() < deadline) {
    char buffer[65536];
    const ssize_t n = read(pipe_ends[0], buffer, sizeof buffer);
    if (n > 0) {
      output.append(buffer, static_cast<std::size_t>(n));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  const bool flushed = writer.Flush(std::chrono::seconds(10));
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(pipe_ends[0]);
  close(pipe_ends[1]);
  for (auto& thread : threads) thread.wait();
  EXPECT_TRUE(none_waited) << "a thread waits on standard output";
  EXPECT_TRUE(flushed);

  ASSERT_EQ(output.substr(0, filler.size()), filler);
  ExpectEveryLineInOrder(output.substr(filler.size()), timeout);
}

}  // namespace
