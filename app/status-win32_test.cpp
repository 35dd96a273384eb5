#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "app/status.h"

namespace {

using Clock = std::chrono::steady_clock;

std::wstring ConsoleTitle() {
  wchar_t title[1024];
  const DWORD length = GetConsoleTitleW(title, 1024);
  return std::wstring(title, length);
}

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// The console window's title is the status line, changed as the counts
// change, never more than once a second, and what the console shows in its
// window (standard output) is not touched.
//
// A process without a console (started with pipes for its standard
// handles, as by ctest) makes itself one. Under Wine without any display
// driver that console has no title: there the test is skipped (the test
// prefix has Wine's null display driver, with which it has one), and
// tests/console_title-win32_test.py runs it again on a terminal, where
// Wine's console has one.
TEST(Status, ConsoleTitleFollowsTheCounts) {
  if (!SetConsoleTitleW(L"before")) {
    FreeConsole();
    if (!AllocConsole() || !SetConsoleTitleW(L"before")) {
      GTEST_SKIP() << "no console with a title (error " << GetLastError() << ")";
    }
  }
  // The title, looked at before the reporter starts (it sets the title at
  // once, before this thread may look again), then every 20 ms while the
  // counts change for 2.5 s and for 1.5 s after.
  struct Seen {
    Clock::time_point after;   // It changed after the look before this one began
    Clock::time_point before;  // and before this look ended.
    std::wstring title;
  };
  const Clock::time_point first_look = Clock::now();
  std::vector<Seen> seen = {{first_look, Clock::now(), ConsoleTitle()}};
  ASSERT_EQ(seen[0].title, L"before");

  std::atomic<std::uint64_t> to_device{0};
  std::atomic<bool> stopped{false};
  std::thread reporter(RunStatusReporter,
                       [&to_device] { return StatusSnapshot{"COM5", to_device.load(), 1, 2, 0}; },
                       [&stopped] { return stopped.load(); });
  const Clock::time_point start = Clock::now();
  Clock::time_point last_look = first_look;
  while (Clock::now() - start < std::chrono::milliseconds(4000)) {
    if (Clock::now() - start < std::chrono::milliseconds(2500)) to_device.fetch_add(1);
    const Clock::time_point look = Clock::now();
    const std::wstring title = ConsoleTitle();
    if (seen.empty() || seen.back().title != title) seen.push_back({last_look, Clock::now(), title});
    last_look = look;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stopped.store(true);
  reporter.join();

  // "before", then three or four lines: at once, each second, and the last
  // counts once they stopped changing.
  ASSERT_GE(seen.size(), 4u);
  ASSERT_LE(seen.size(), 5u);
  EXPECT_EQ(seen[0].title, L"before");
  for (std::size_t i = 1; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].title.rfind(Wide("artnet-serial-bridge " ARTNET_VERSION ": device COM5, capturing nothing, universes "), 0), 0u)
        << i;
    if (i > 1) {
      // The changes lie at most this far apart; a look that came late on a
      // busy machine only widens it, never below the reporter's second.
      EXPECT_GE(seen[i].before - seen[i - 1].after, std::chrono::milliseconds(900)) << i;
    }
  }
  EXPECT_EQ(seen.back().title, Wide(FormatStatus(StatusSnapshot{"COM5", to_device.load(), 1, 2, 0})));
}

}  // namespace
