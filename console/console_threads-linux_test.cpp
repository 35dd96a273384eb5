// The capture thread and the main thread write messages at the same time.
// Each line must reach standard output whole; under ThreadSanitizer (the
// "tsan" preset) this test also shows the console's shared state is guarded.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "console/console.h"
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

}  // namespace
