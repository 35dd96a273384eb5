// device_reader_bench: what the device reader costs on Linux, through a pty.
//
// 1. Idle: the processor time DeviceReadLoop uses while the device is silent,
//    as a share of one core, beside a reader that busy-polls the input queue
//    (FIONREAD in a loop, as a reader without a wait would).
// 2. Latency from a frame's last byte to its hand-off: a writer thread writes
//    a frame ending in CR LF to the pty's master and notes the time; the
//    reader's sink notes the time it is handed the frame. One frame at a
//    time. Measured for DeviceReadLoop, for the busy-polling reader, and for
//    the pty itself (a blocking read() on the raw slave), all in one run,
//    taking turns.
//
// Usage: device_reader_bench [--idle-seconds S] [--busy-seconds S]
//                            [--frames N] [--frame-size BYTES]
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/device_reader.h"
#include "serial/frame_assembler.h"
#include "serial/serial_port-linux.h"
#include "serial/serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Pty {
  int master = -1;
  int port = -1;  // the slave, opened and set up as the bridge does
};

Pty OpenPty() {
  Pty pty;
  pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
    perror("posix_openpt");
    exit(1);
  }
  pty.port = OpenDevicePort(ptsname(pty.master));
  if (pty.port < 0) {
    fprintf(stderr, "cannot set the pty up as a device port\n");
    exit(1);
  }
  return pty;
}

double ThreadCpuSeconds(pthread_t thread) {
  clockid_t clock;
  timespec used;
  if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &used) != 0) return -1;
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

// The old way of waiting: ask for the input queue's count, back to back.
void BusyPollRead(int fd, FrameAssembler& assembler, const FrameSink& sink,
                  const std::atomic<bool>& stop) {
  std::uint8_t buffer[1024];
  while (!stop) {
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0 || waiting <= 0) continue;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) continue;
    const Frame frame = assembler.Append(buffer, static_cast<std::size_t>(n));
    if (frame.size != 0) sink(frame.data, frame.size);
  }
}

// Hands one timestamp at a time from the reader's thread to the writer's.
class HandOff {
 public:
  void Post() {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    at_ = now;
    posted_ = true;
    ready_.notify_one();
  }
  Clock::time_point Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return posted_; });
    posted_ = false;
    return at_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  bool posted_ = false;
  Clock::time_point at_;
};

struct Stats {
  double p50, p99, mean, max;
};

Stats Summarize(std::vector<double> micros) {
  std::sort(micros.begin(), micros.end());
  double sum = 0;
  for (double m : micros) sum += m;
  auto at = [&](double q) { return micros[static_cast<std::size_t>(q * (micros.size() - 1))]; };
  return Stats{at(0.50), at(0.99), sum / micros.size(), micros.back()};
}

// Writes `frames` frames one at a time and times each hand-off.
std::vector<double> TimeFrames(int master, HandOff& hand_off, int frames, std::size_t size) {
  std::vector<std::uint8_t> frame(size, 'x');
  frame[size - 2] = '\r';
  frame[size - 1] = '\n';
  std::vector<double> micros;
  micros.reserve(frames);
  for (int i = 0; i < frames; ++i) {
    frame[0] = static_cast<std::uint8_t>('a' + i % 26);
    const Clock::time_point sent = Clock::now();
    if (write(master, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
      perror("write");
      exit(1);
    }
    const Clock::time_point handed = hand_off.Wait();
    micros.push_back(std::chrono::duration<double, std::micro>(handed - sent).count());
  }
  return micros;
}

void PrintStats(const char* what, const Stats& s) {
  printf("  %-34s p50 %7.1f us   p99 %7.1f us   mean %7.1f us   max %8.1f us\n", what, s.p50,
         s.p99, s.mean, s.max);
}

}  // namespace

int main(int argc, char** argv) {
  double idle_seconds = 10;
  double busy_seconds = 3;
  int frames = 10000;
  std::size_t frame_size = 241;  // an ArtPollReply and CR LF
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--idle-seconds") idle_seconds = atof(argv[i + 1]);
    else if (option == "--busy-seconds") busy_seconds = atof(argv[i + 1]);
    else if (option == "--frames") frames = atoi(argv[i + 1]);
    else if (option == "--frame-size") frame_size = std::max<std::size_t>(3, atoi(argv[i + 1]));
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);

  // --- 1. Idle -------------------------------------------------------------
  printf("Idle reader, device silent:\n");
  {
    Pty pty = OpenPty();
    std::thread reader([fd = pty.port] {
      DeviceReadLoop(fd, [](const std::uint8_t*, std::size_t) {});
    });
    const pthread_t thread = reader.native_handle();
    reader.detach();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    rusage before;
    getrusage(RUSAGE_SELF, &before);
    const double cpu_start = ThreadCpuSeconds(thread);
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(idle_seconds));
    const double cpu = ThreadCpuSeconds(thread) - cpu_start;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    rusage after;
    getrusage(RUSAGE_SELF, &after);
    const double process_cpu =
        (after.ru_utime.tv_sec - before.ru_utime.tv_sec + after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
        (after.ru_utime.tv_usec - before.ru_utime.tv_usec + after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e6;
    printf("  DeviceReadLoop (poll):             %.6f s of CPU in %.2f s = %.4f%% of one core"
           " (whole process %.4f%%)\n",
           cpu, wall, 100 * cpu / wall, 100 * process_cpu / wall);
  }
  if (busy_seconds > 0) {
    Pty pty = OpenPty();
    std::atomic<bool> stop{false};
    FrameAssembler assembler;
    std::thread reader([&] { BusyPollRead(pty.port, assembler, [](const std::uint8_t*, std::size_t) {}, stop); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double cpu_start = ThreadCpuSeconds(reader.native_handle());
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(busy_seconds));
    const double cpu = ThreadCpuSeconds(reader.native_handle()) - cpu_start;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    reader.join();
    printf("  busy poll (FIONREAD loop):         %.6f s of CPU in %.2f s = %.1f%% of one core\n", cpu,
           wall, 100 * cpu / wall);
  }

  // --- 2. Latency ------------------------------------------------------------
  // The three readers take turns, a tenth of the frames at a time, so that
  // whatever else the machine is doing weighs on all three alike.
  constexpr int kRounds = 10;
  printf("Frame end to hand-off, %d frames of %zu bytes each, one at a time, in %d interleaved rounds:\n",
         frames, frame_size, kRounds);

  // The pty alone: a blocking read on the raw slave.
  Pty plain = OpenPty();
  fcntl(plain.port, F_SETFL, fcntl(plain.port, F_GETFL) & ~O_NONBLOCK);
  HandOff plain_hand_off;
  std::thread plain_reader([&] {
    std::uint8_t buffer[4096];
    std::size_t have = 0;
    for (;;) {
      const ssize_t n = read(plain.port, buffer, sizeof buffer);
      if (n <= 0) return;  // hung up: the run is over
      have += static_cast<std::size_t>(n);
      if (have >= frame_size) {
        have -= frame_size;
        plain_hand_off.Post();
      }
    }
  });

  Pty polled = OpenPty();
  HandOff polled_hand_off;
  std::thread polled_reader([&] {
    DeviceReadLoop(polled.port, [&](const std::uint8_t*, std::size_t) { polled_hand_off.Post(); });
  });
  polled_reader.detach();  // never returns

  Pty busy = OpenPty();
  HandOff busy_hand_off;
  FrameAssembler busy_assembler;

  std::vector<double> plain_micros, polled_micros, busy_micros;
  const int per_round = frames / kRounds;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<double> more = TimeFrames(plain.master, plain_hand_off, per_round, frame_size);
    plain_micros.insert(plain_micros.end(), more.begin(), more.end());
    more = TimeFrames(polled.master, polled_hand_off, per_round, frame_size);
    polled_micros.insert(polled_micros.end(), more.begin(), more.end());
    // The busy poll runs only during its own turn: it would take a core from
    // the others.
    std::atomic<bool> stop{false};
    std::thread busy_reader([&] {
      BusyPollRead(busy.port, busy_assembler,
                   [&](const std::uint8_t*, std::size_t) { busy_hand_off.Post(); }, stop);
    });
    more = TimeFrames(busy.master, busy_hand_off, per_round, frame_size);
    busy_micros.insert(busy_micros.end(), more.begin(), more.end());
    stop = true;
    busy_reader.join();
  }
  PrintStats("pty one-way (blocking read):", Summarize(plain_micros));
  PrintStats("DeviceReadLoop (poll):", Summarize(polled_micros));
  PrintStats("busy poll (FIONREAD loop):", Summarize(busy_micros));
  close(plain.master);
  plain_reader.join();
  fflush(stdout);
  _exit(0);  // the idle reader threads never end
}
