#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/status.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Datagram {
  // When the kernel queued it (SO_TIMESTAMPNS, CLOCK_REALTIME): the moment
  // it was sent, however late a busy machine lets the receiver read it.
  std::chrono::nanoseconds sent;
  std::string text;
};

// How long anything that should come at once may take on a busy machine; a
// wait ends as soon as its event comes.
constexpr std::chrono::seconds kDeadline(10);

// Collects what arrives on `fd`, with the time it was sent, until Stop().
class Receiver {
 public:
  explicit Receiver(int fd) : fd_(fd), thread_([this] { Run(); }) {}
  ~Receiver() { Stop(); }

  // Waits until nothing has arrived for `quiet`; returns everything so far.
  std::vector<Datagram> WaitQuiet(std::chrono::milliseconds quiet) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t count = received_.size();
    while (changed_.wait_for(lock, quiet, [&] { return received_.size() != count; })) {
      count = received_.size();
    }
    return received_;
  }

  // Waits until the last datagram is `text`, or kDeadline; returns everything so far.
  std::vector<Datagram> WaitForLast(const std::string& text) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kDeadline, [&] { return !received_.empty() && received_.back().text == text; });
    return received_;
  }

  void Stop() {
    done_.store(true);
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    timeval wait{0, 50000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    char buffer[512];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    while (!done_.load()) {
      iovec data{buffer, sizeof buffer};
      msghdr message{};
      message.msg_iov = &data;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      const ssize_t size = recvmsg(fd_, &message, 0);
      if (size < 0) continue;
      timespec stamp{};
      for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS) {
          std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
        }
      }
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back({std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec),
                           std::string(buffer, static_cast<std::size_t>(size))});
      changed_.notify_all();
    }
  }

  int fd_;
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Datagram> received_;
  std::thread thread_;
};

// The service manager's socket as systemd names it in $NOTIFY_SOCKET: the
// bridge's messages arrive there whole, one datagram each, and the status
// is sent when it changes, never more than once a second, and not again
// while it stays the same. The socket is opened by the process's first
// message, so this one test holds every case.
TEST(Status, NotifiesTheServiceManager) {
  char directory[] = "/tmp/artnet-notify-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string path = std::string(directory) + "/notify";
  const int manager = socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_GE(manager, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(manager, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(setenv("NOTIFY_SOCKET", path.c_str(), 1), 0);

  Receiver receiver(manager);
  NotifyReady();
  receiver.WaitForLast("READY=1");
  std::vector<Datagram> received = receiver.WaitQuiet(std::chrono::milliseconds(200));
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].text, "READY=1");

  // Counts that change every 50 ms for 2.5 s, then stay.
  std::atomic<std::uint64_t> to_device{0};
  std::atomic<bool> stopped{false};
  std::thread reporter(RunStatusReporter,
                       [&to_device] { return StatusSnapshot{"/dev/ttyUSB0", to_device.load(), 0, 0, 0}; },
                       [&stopped] { return stopped.load(); });
  const Clock::time_point start = Clock::now();
  while (Clock::now() - start < std::chrono::milliseconds(2500)) {
    to_device.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const std::uint64_t last = to_device.load();
  // Then unchanged: one more status at most (within a second), the last
  // counts, and none after it.
  receiver.WaitForLast("STATUS=" + FormatStatus(StatusSnapshot{"/dev/ttyUSB0", last, 0, 0, 0}));
  received = receiver.WaitQuiet(std::chrono::milliseconds(1500));
  received.erase(received.begin());  // READY=1
  const Clock::time_point stopping = Clock::now();
  stopped.store(true);
  reporter.join();
  // It looks at `stopped` every tenth of a second.
  EXPECT_LT(Clock::now() - stopping, std::chrono::milliseconds(500));

  ASSERT_GE(received.size(), 3u);
  ASSERT_LE(received.size(), 5u);
  for (std::size_t i = 0; i < received.size(); ++i) {
    EXPECT_EQ(received[i].text.rfind("STATUS=artnet-serial-bridge " ARTNET_VERSION
                                     ": device /dev/ttyUSB0, capturing nothing, universes ", 0),
              0u)
        << received[i].text;
    if (i > 0) {
      EXPECT_GE(received[i].sent - received[i - 1].sent, std::chrono::milliseconds(900)) << i;
      EXPECT_NE(received[i].text, received[i - 1].text);
    }
  }
  EXPECT_EQ(received.back().text, "STATUS=" + FormatStatus(StatusSnapshot{"/dev/ttyUSB0", last, 0, 0, 0}));

  NotifyStopping();
  received = receiver.WaitForLast("STOPPING=1");
  receiver.Stop();
  EXPECT_EQ(received.back().text, "STOPPING=1");

  unsetenv("NOTIFY_SOCKET");
  close(manager);
  unlink(path.c_str());
  rmdir(directory);
}

}  // namespace
