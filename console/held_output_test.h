// Test support for the console's platform tests: two threads that write
// message lines while standard output holds every write, and the check of
// what came out once it let go. Header only; tests include it.
#ifndef ARTNET_CONSOLE_HELD_OUTPUT_TEST_H_
#define ARTNET_CONSOLE_HELD_OUTPUT_TEST_H_

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "console/console_platform.h"
#include "console/line_writer.h"
#include "console/messages.h"

// Each of the two threads writes this many SerialWriteTimeout lines, with the
// codes 0, 1, ... and 1000, 1001, ...
constexpr int kHeldLines = 100;

// Starts the two threads, writing through `writer`.
inline std::vector<std::future<void>> WriteLinesFromTwoThreads(LineWriter& writer) {
  std::vector<std::future<void>> threads;
  for (int t = 0; t < 2; ++t) {
    threads.push_back(std::async(std::launch::async, [&writer, t] {
      for (int i = 0; i < kHeldLines; ++i) {
        writer.Hand(FormatMessageLine(Message::SerialWriteTimeout, static_cast<std::uint32_t>(t * 1000 + i)) +
                    kConsoleLineEnd);
      }
    }));
  }
  return threads;
}

// True when both threads have finished within ten seconds: none waited on
// the held output.
inline bool NoneWaited(std::vector<std::future<void>>& threads) {
  bool none_waited = true;
  for (auto& thread : threads) {
    none_waited = thread.wait_for(std::chrono::seconds(10)) == std::future_status::ready && none_waited;
  }
  return none_waited;
}

// How many bytes the two threads' lines make, each line `prefix`, its code
// and the line end.
inline std::size_t HeldLinesSize(const std::string& prefix) {
  std::size_t size = 0;
  for (int t = 0; t < 2; ++t) {
    for (int i = 0; i < kHeldLines; ++i) {
      size += prefix.size() + std::to_string(t * 1000 + i).size() + std::char_traits<char>::length(kConsoleLineEnd);
    }
  }
  return size;
}

// `output` holds every line of both threads, whole, each thread's in the
// order it wrote them; `prefix` is a line's text as the console writes it.
inline void ExpectEveryLineInOrder(const std::string& output, const std::string& prefix) {
  const std::string line_end = kConsoleLineEnd;
  std::vector<int> next = {0, 1000};
  std::size_t lines = 0;
  std::size_t start = 0;
  for (std::size_t end; (end = output.find(line_end, start)) != std::string::npos; start = end + line_end.size()) {
    const std::string line = output.substr(start, end - start);
    ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
    const int code = std::stoi(line.substr(prefix.size()));
    int& expected = next[code >= 1000 ? 1 : 0];
    EXPECT_EQ(code, expected) << "a line lost or out of order";
    expected = code + 1;
    ++lines;
  }
  EXPECT_EQ(start, output.size()) << "the output ends inside a line";
  EXPECT_EQ(lines, 2u * kHeldLines);
}

#endif  // ARTNET_CONSOLE_HELD_OUTPUT_TEST_H_
