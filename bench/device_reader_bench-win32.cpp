// Measures the Windows device reader: the processor time it takes while the
// device is silent, and the time from a frame's last byte to its hand-off.
// Beside each it measures a reference in the same run: the bridge's former
// reader, which polled the input queue back to back, and a plain blocking
// read of the same link (the link's own one-way latency).
//
// Runs under Wine on the COM ports that tests/wine-com-ports maps to ptys;
// bench/run-device-reader-bench-win32 prepares them and runs every mode:
//   device_reader_bench-win32.exe idle SECONDS       the reader, device silent
//   device_reader_bench-win32.exe idle-busy SECONDS  the former busy poll
//   device_reader_bench-win32.exe latency FRAMES     all three readers in turn
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "serial/device_reader.h"
#include "serial/frame_assembler.h"
#include "serial/serial_port-win32.h"
#include "serial/serial_port.h"

namespace {

double Seconds(FILETIME time) {
  return static_cast<double>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) |
                             time.dwLowDateTime) /
         1e7;
}

double ThreadCpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  return Seconds(kernel) + Seconds(user);
}

double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  return Seconds(kernel) + Seconds(user);
}

double Now() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / frequency;
}

// The bridge's former reader: status queries back to back until the input
// queue holds bytes, then one overlapped read (its purges left out, as they
// only lose bytes). Gives up after `stop_at` so the bench can end.
std::size_t BusyPollRead(HANDLE port, std::uint8_t* buffer, DWORD capacity, double stop_at) {
  for (;;) {
    DWORD errors;
    COMSTAT status;
    if (ClearCommError(port, &errors, &status) && status.cbInQue > 0) break;
    if (Now() >= stop_at) return 0;
  }
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD count = 0;
  if (!ReadFile(port, buffer, capacity, nullptr, &overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    CloseHandle(overlapped.hEvent);
    return 0;
  }
  GetOverlappedResult(port, &overlapped, &count, TRUE);
  CloseHandle(overlapped.hEvent);
  return count;
}

int Idle(bool busy, double seconds) {
  HANDLE port = OpenDevicePort(DevicePathForPortName(L"COM61"));
  if (port == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open COM61\n");
    return 1;
  }
  std::uint8_t buffer[1024];
  // The runner reads the kernel's exact run times at these two lines.
  std::printf("begin\n");
  std::fflush(stdout);
  const double start = Now(), thread_cpu = ThreadCpuSeconds(), process_cpu = ProcessCpuSeconds();
  std::size_t bytes = 0;
  while (Now() - start < seconds) {
    bytes += busy ? BusyPollRead(port, buffer, sizeof buffer, start + seconds)
                  : ReadDevice(reinterpret_cast<DeviceHandle>(port), buffer, sizeof buffer);
  }
  const double elapsed = Now() - start;
  const double thread_used = ThreadCpuSeconds() - thread_cpu;
  const double process_used = ProcessCpuSeconds() - process_cpu;
  std::printf("end\n");
  std::fflush(stdout);
  Sleep(1000);  // Still here while the runner reads the run times.
  // Wine takes these from the kernel's tick-sampled times (10 ms steps).
  std::printf("%s: %.2f s silent, %zu bytes read; by Wine's count: reader thread %.3f CPU s "
              "(%.2f%% of a core), whole process %.3f CPU s (%.2f%%)\n",
              busy ? "former busy poll" : "reader", elapsed, bytes, thread_used,
              100 * thread_used / elapsed, process_used, 100 * process_used / elapsed);
  return 0;
}

// The device port of the latency runs.
HANDLE g_port = INVALID_HANDLE_VALUE;

struct Latencies {
  std::vector<double> seconds;
  int wrong = 0;
};

void Report(const char* name, Latencies& result) {
  std::vector<double>& v = result.seconds;
  if (v.empty()) {
    std::printf("%-34s no frames\n", name);
    return;
  }
  std::sort(v.begin(), v.end());
  double sum = 0;
  for (double s : v) sum += s;
  std::printf("%-34s %zu frames, %d wrong: p50 %7.1f us  p99 %7.1f us  mean %7.1f us  max %8.1f us\n",
              name, v.size(), result.wrong, v[v.size() / 2] * 1e6, v[v.size() * 99 / 100] * 1e6,
              sum / v.size() * 1e6, v.back() * 1e6);
}

// Sends `frames` frames from the far end, each after a random pause of 0 to
// 20 ms, and times each from just before its write to its hand-off by
// `read_frames`, which runs on its own thread until told to stop.
using FrameReader = std::function<void(const std::atomic<bool>& stop,
                                       const std::function<void(const std::string&)>& handed)>;

// A reader that cannot be told to stop gets one more frame (`last_word`).
Latencies Measure(HANDLE far_end, int frames, const FrameReader& read_frames,
                  bool last_word = false) {
  // Each reader starts on an empty link.
  Sleep(100);
  PurgeComm(far_end, PURGE_RXCLEAR | PURGE_TXCLEAR);
  if (g_port != INVALID_HANDLE_VALUE) PurgeComm(g_port, PURGE_RXCLEAR | PURGE_TXCLEAR);
  Latencies result;
  HANDLE handed_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::string last_frame;
  double handed_at = 0;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    read_frames(stop, [&](const std::string& frame) {
      handed_at = Now();
      last_frame = frame;
      SetEvent(handed_event);
    });
  });
  std::mt19937 random(6454);
  for (int i = 0; i < frames; ++i) {
    Sleep(random() % 21);
    char frame[32];
    const int size = std::snprintf(frame, sizeof frame, "frame %08d\r\n", i);
    const double sent_at = Now();
    DWORD written = 0;
    WriteFile(far_end, frame, size, &written, nullptr);
    if (WaitForSingleObject(handed_event, 5000) != WAIT_OBJECT_0) {
      std::fprintf(stderr, "frame %d: not handed over within 5 s\n", i);
      ++result.wrong;
      continue;
    }
    if (last_frame != std::string(frame, size)) {
      std::fprintf(stderr, "frame %d: handed over as %zu other bytes\n", i, last_frame.size());
      ++result.wrong;
    }
    result.seconds.push_back(handed_at - sent_at);
  }
  stop = true;
  if (last_word) {
    DWORD written = 0;
    WriteFile(far_end, "frame 99999999\r\n", 16, &written, nullptr);
  }
  reader.join();
  CloseHandle(handed_event);
  return result;
}

int Latency(int frames) {
  HANDLE far_end = CreateFileW(DevicePathForPortName(L"COM52").c_str(),
                               GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE port = OpenDevicePort(DevicePathForPortName(L"COM51"));
  if (far_end == INVALID_HANDLE_VALUE || port == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open COM51 and COM52\n");
    return 1;
  }
  g_port = port;

  // The link itself: a read of one whole 16-byte frame with no time-outs,
  // which blocks until the frame is in (Wine's server waits on the pty), on
  // a second handle of the same port, which Wine allows. (Wine does not
  // honour the time-outs that end a read at its first byte: it waits them
  // out in full.)
  Latencies link = Measure(
      far_end, frames,
      [](const std::atomic<bool>& stop, const auto& handed) {
        HANDLE plain = CreateFileW(DevicePathForPortName(L"COM51").c_str(),
                                   GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
        COMMTIMEOUTS timeouts = {0, 0, 0, 0, 0};
        SetCommTimeouts(plain, &timeouts);
        std::string collected;
        while (!stop) {
          char buffer[16];
          DWORD count = 0;
          if (!ReadFile(plain, buffer, sizeof buffer, &count, nullptr)) count = 0;
          collected.append(buffer, count);
          if (collected.size() >= 2 && collected.compare(collected.size() - 2, 2, "\r\n") == 0) {
            handed(collected);
            collected.clear();
          }
        }
        CloseHandle(plain);
      },
      true);

  Latencies busy = Measure(far_end, frames, [port](const std::atomic<bool>& stop, const auto& handed) {
    FrameAssembler assembler;
    std::uint8_t buffer[1024];
    while (!stop) {
      const std::size_t count = BusyPollRead(port, buffer, sizeof buffer, Now() + 0.5);
      const Frame frame = assembler.Append(buffer, count);
      if (frame.size != 0) handed(std::string(reinterpret_cast<const char*>(frame.data), frame.size));
    }
  });

  Latencies reader = Measure(far_end, frames, [port](const std::atomic<bool>& stop, const auto& handed) {
    FrameAssembler assembler;
    const DeviceHandle device = reinterpret_cast<DeviceHandle>(port);
    while (!stop) {
      ReadDeviceOnce(device, assembler, [&](const std::uint8_t* frame, std::size_t size) {
        handed(std::string(reinterpret_cast<const char*>(frame), size));
      });
    }
  });

  std::printf("frame end to hand-off, %d frames of 16 bytes, 0-20 ms apart, under Wine:\n", frames);
  Report("link alone (blocking read)", link);
  Report("former busy poll", busy);
  Report("reader (ReadDeviceOnce)", reader);
  return link.wrong + busy.wrong + reader.wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "idle") == 0) return Idle(false, std::atof(argv[2]));
  if (argc == 3 && std::strcmp(argv[1], "idle-busy") == 0) return Idle(true, std::atof(argv[2]));
  if (argc == 3 && std::strcmp(argv[1], "latency") == 0) return Latency(std::atoi(argv[2]));
  std::fprintf(stderr, "usage: %s idle SECONDS | idle-busy SECONDS | latency FRAMES\n", argv[0]);
  return 2;
}
