// The Linux device port against real ptys, and its port list against a fake
// sysfs tree. Discovery over the machine's own ports is tested only where they
// are hidden (tests/device_port_test.py).
#include "serial/serial_port-linux.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "serial/device_reader.h"
#include "serial/serial_port.h"
#include "serial/termios2-linux.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A pty pair: the test plays the device on the master; the bridge's code
// opens the slave as its port.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
      slave_path_ = ptsname(master_);
    }
  }
  ~Pty() { CloseMaster(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& SlavePath() const { return slave_path_; }
  int Master() const { return master_; }
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  void Send(const Bytes& bytes) const {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Everything the port sends until `size` bytes or a generous deadline.
  Bytes Receive(std::size_t size) const {
    Bytes received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (received.size() < size && std::chrono::steady_clock::now() < deadline) {
      pollfd fd{master_, POLLIN, 0};
      if (poll(&fd, 1, 100) <= 0) continue;
      std::uint8_t buffer[4096];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      received.insert(received.end(), buffer, buffer + n);
    }
    return received;
  }

  // True when the port has sent nothing within `ms`.
  bool Quiet(int ms) const {
    pollfd fd{master_, POLLIN, 0};
    return poll(&fd, 1, ms) == 0;
  }

 private:
  int master_ = -1;
  std::string slave_path_;
};

// Every byte value, the line discipline's favourites (CR, LF, XON, XOFF,
// ^C, DEL) among them, in a 530-byte run: the longest packet the bridge
// forwards.
Bytes AllByteValues(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  return bytes;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

double ThreadCpuSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// --- The port list -------------------------------------------------------

class FakeSysfs {
 public:
  FakeSysfs() {
    char pattern[] = "/tmp/artnet-sysfs-XXXXXX";
    root_ = mkdtemp(pattern);
  }
  ~FakeSysfs() { EXPECT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0); }

  // A tty entry; `device` says whether it has the link real hardware has.
  void Add(const std::string& name, bool device, const char* type = nullptr) const {
    const std::string dir = root_ + "/" + name;
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    if (device) {
      ASSERT_EQ(symlink("../../devices/platform/fake", (dir + "/device").c_str()), 0);
    }
    if (type != nullptr) Write(dir + "/type", type);
  }
  void Write(const std::string& path, const std::string& text) const {
    FILE* file = fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fputs(text.c_str(), file);
    fclose(file);
  }
  const std::string& Root() const { return root_; }

 private:
  std::string root_;
};

TEST(SerialPortList, UsbFirstNaturalOrderNoConsoleNoGhosts) {
  FakeSysfs sysfs;
  sysfs.Add("ttyS10", true, "4\n");
  sysfs.Add("ttyS2", true, "4\n");
  sysfs.Add("ttyS0", true, "4\n");   // the active console
  sysfs.Add("ttyS1", true, "0\n");   // PORT_UNKNOWN: no UART there
  sysfs.Add("ttyUSB10", true);       // USB adapters have no type file
  sysfs.Add("ttyUSB2", true);
  sysfs.Add("ttyACM0", true);
  sysfs.Add("tty0", false);          // a virtual console: no device
  sysfs.Add("ptmx", false);
  sysfs.Add("console", false);
  sysfs.Write(sysfs.Root() + "/console/active", "tty0 ttyS0\n");
  EXPECT_EQ(ListSerialPortsUnder(sysfs.Root()),
            (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyUSB2", "/dev/ttyUSB10",
                                      "/dev/ttyS2", "/dev/ttyS10"}));

  // Without a console file nothing is left out for being one.
  FakeSysfs bare;
  bare.Add("ttyS0", true, "4\n");
  EXPECT_EQ(ListSerialPortsUnder(bare.Root()), std::vector<std::string>{"/dev/ttyS0"});
  EXPECT_TRUE(ListSerialPortsUnder(bare.Root() + "/missing").empty());
}

TEST(SerialPortList, NaturalOrder) {
  EXPECT_TRUE(NaturalLess("ttyUSB2", "ttyUSB10"));
  EXPECT_FALSE(NaturalLess("ttyUSB10", "ttyUSB2"));
  EXPECT_TRUE(NaturalLess("ttyS9", "ttyS10"));
  EXPECT_TRUE(NaturalLess("ttyACM0", "ttyUSB0"));
  EXPECT_TRUE(NaturalLess("ttyS1", "ttyS1a"));
  EXPECT_TRUE(NaturalLess("ttyS007", "ttyS10"));     // leading zeros do not lengthen a number
  EXPECT_TRUE(NaturalLess("ttyS99999999999999999999", "ttyS100000000000000000000"));
  EXPECT_FALSE(NaturalLess("ttyS3", "ttyS3"));
}

// --- Opening and configuring ---------------------------------------------

TEST(DevicePort, OpensRawAtTheLinkSpeed) {
  Pty pty;
  const int fd = OpenDevicePort(pty.SlavePath());
  ASSERT_GE(fd, 0);
  std::uint32_t input = 0;
  std::uint32_t output = 0;
  ASSERT_TRUE(GetLinkSpeed(fd, &input, &output));
  EXPECT_EQ(input, 1200000u);
  EXPECT_EQ(output, 1200000u);
  termios settings;
  ASSERT_EQ(tcgetattr(fd, &settings), 0);
  EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | CSTOPB | CREAD | CLOCAL | CRTSCTS),
            static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
  EXPECT_EQ(settings.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);
  EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  const int flags = fcntl(fd, F_GETFL);
  EXPECT_NE(flags & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  close(fd);

  EXPECT_EQ(OpenDevicePort("/dev/null"), -1);  // not a tty at all
  EXPECT_EQ(OpenDevicePort("/nonexistent/ttyUSB0"), -1);
}

TEST(DevicePort, DiscoveryDropsStaleBytes) {
  Pty pty;
  // The slave must be open for the master's bytes to be kept.
  const int early = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(early, 0);
  pty.Send(Text("stale\r\n"));
  pollfd arrived{early, POLLIN, 0};
  ASSERT_EQ(poll(&arrived, 1, 5000), 1);
  const int fd = OpenDevicePort(pty.SlavePath());
  ASSERT_GE(fd, 0);
  pollfd port{fd, POLLIN, 0};
  EXPECT_EQ(poll(&port, 1, 200), 0);
  close(fd);
  close(early);
}

// --- Writing ---------------------------------------------------------------

TEST(WriteDevice, BytesArriveUnchanged) {
  Pty pty;
  const int fd = OpenDevicePort(pty.SlavePath());
  ASSERT_GE(fd, 0);
  const Bytes packet = AllByteValues(530);
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteDevice(fd, packet.data(), packet.size()).result, WriteResult::kWritten);
  EXPECT_EQ(WriteDevice(fd, kArtPollProbe, sizeof kArtPollProbe).result, WriteResult::kWritten);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  Bytes expected = packet;
  expected.insert(expected.end(), kArtPollProbe, kArtPollProbe + sizeof kArtPollProbe);
  EXPECT_EQ(pty.Receive(expected.size()), expected);
  EXPECT_TRUE(pty.Quiet(100));  // nothing after
  close(fd);
}

TEST(WriteDevice, KeepsBytesTheDeviceSent) {
  Pty pty;
  const int fd = OpenDevicePort(pty.SlavePath());
  ASSERT_GE(fd, 0);
  pty.Send(Text("OK\r\n"));
  pollfd arrived{fd, POLLIN, 0};
  ASSERT_EQ(poll(&arrived, 1, 5000), 1);
  const Bytes packet = AllByteValues(530);
  EXPECT_EQ(WriteDevice(fd, packet.data(), packet.size()).result, WriteResult::kWritten);
  std::uint8_t buffer[64];
  EXPECT_EQ(ReadDevice(fd, buffer, sizeof buffer), 4u);
  EXPECT_EQ(Bytes(buffer, buffer + 4), Text("OK\r\n"));
  EXPECT_EQ(pty.Receive(packet.size()), packet);
  close(fd);
}

// Writes into a pty whose device end reads nothing, on a thread, until one
// of them waits; then counts what the test's thread sees.
class StalledDevice {
 public:
  StalledDevice() : fd_(OpenDevicePort(pty_.SlavePath())) {}
  ~StalledDevice() {
    abandon_.store(true);
    if (writer_.joinable()) writer_.join();
    if (fd_ >= 0) close(fd_);
  }
  Pty& pty() { return pty_; }
  int fd() const { return fd_; }

  // Writes 530-byte packets until one waits (the pty's buffers hold some
  // kilobytes); keeps the results.
  void StartWriting(std::size_t packets) {
    writer_ = std::thread([this, packets] {
      for (std::size_t i = 0; i < packets; ++i) {
        const Bytes packet = AllByteValues(530);
        const DeviceWrite write = WriteDevice(fd_, packet.data(), packet.size(), &abandon_);
        results_.push_back(write.result);
        if (write.result != WriteResult::kWritten) return;
      }
    });
  }
  void Abandon() { abandon_.store(true); }
  std::vector<WriteResult> Join() {
    writer_.join();
    return results_;
  }

 private:
  Pty pty_;
  int fd_;
  std::atomic<bool> abandon_{false};
  std::thread writer_;
  std::vector<WriteResult> results_;
};

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// A device that stops taking bytes for over a second: the write waiting for
// it says so once, after 500 ms, and goes on to finish the packet it began
// when the device reads again. Every byte arrives; every packet is whole.
TEST(WriteDevice, CarriesAStalledWriteThroughAndSaysSoOnce) {
  StalledDevice device;
  ASSERT_GE(device.fd(), 0);
  const std::size_t packets = 200;  // More than the pty holds: 106,000 bytes.
  testing::internal::CaptureStdout();
  device.StartWriting(packets);
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  const Bytes received = device.pty().Receive(packets * 530);
  const std::vector<WriteResult> results = device.Join();
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(Count(output, "Serial write timeout.   code - " + std::to_string(EAGAIN) + "\n"), 1u)
      << output;
  EXPECT_EQ(results, std::vector<WriteResult>(packets, WriteResult::kWritten));
  ASSERT_EQ(received.size(), packets * 530);
  const Bytes packet = AllByteValues(530);
  for (std::size_t i = 0; i < packets; ++i) {
    ASSERT_TRUE(std::equal(packet.begin(), packet.end(), received.begin() + i * 530)) << "packet " << i;
  }
}

// Only a port that is going away, or a bridge that stops, gives up a write:
// within a tenth of a second of being told.
TEST(WriteDevice, AWaitingWriteGivesUpWhenAbandoned) {
  StalledDevice device;
  ASSERT_GE(device.fd(), 0);
  device.StartWriting(1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto told = std::chrono::steady_clock::now();
  device.Abandon();
  const std::vector<WriteResult> results = device.Join();
  EXPECT_LT(std::chrono::steady_clock::now() - told, std::chrono::milliseconds(1000));
  ASSERT_FALSE(results.empty());
  EXPECT_EQ(results.back(), WriteResult::kAbandoned);
}

TEST(WriteDevice, ReportsALostDevice) {
  Pty pty;
  const int fd = OpenDevicePort(pty.SlavePath());
  ASSERT_GE(fd, 0);
  pty.CloseMaster();
  testing::internal::CaptureStdout();
  const DeviceWrite write = WriteDevice(fd, kArtPollProbe, sizeof kArtPollProbe);
  EXPECT_EQ(write.result, WriteResult::kLost);
  EXPECT_EQ(write.error, static_cast<std::uint32_t>(EIO));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "a lost port is the link's to report";
  PortOutcome outcome = PortOutcome::kWorked;
  std::uint8_t buffer[16];
  EXPECT_EQ(ReadDevice(fd, buffer, sizeof buffer, &outcome), 0u);
  EXPECT_EQ(outcome, PortOutcome::kGone);
  close(fd);
}

// --- Reading and framing --------------------------------------------------

class DeviceReaderTest : public testing::Test {
 protected:
  void SetUp() override {
    fd_ = OpenDevicePort(pty_.SlavePath());
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override { close(fd_); }

  // Reads once, what the device has sent: the pty passes bytes on through a
  // kernel worker, which a busy machine may hold up for longer than a read
  // waits (kReadWaitMs), so first wait until they have come.
  void ReadOnce() {
    pollfd sent{fd_, POLLIN, 0};
    ASSERT_EQ(poll(&sent, 1, 10000), 1) << "the device's bytes never came";
    ReadDeviceOnce(fd_, assembler_, [this](const std::uint8_t* frame, std::size_t size) {
      frames_.emplace_back(frame, frame + size);
    });
  }

  Pty pty_;
  int fd_ = -1;
  FrameAssembler assembler_;
  std::vector<Bytes> frames_;
};

TEST_F(DeviceReaderTest, FramesSplitAcrossReads) {
  pty_.Send(Text("O"));
  ReadOnce();
  EXPECT_TRUE(frames_.empty());
  pty_.Send(Text("K\r\n"));
  ReadOnce();
  EXPECT_EQ(frames_, std::vector<Bytes>{Text("OK\r\n")});

  // A lone LF is no frame end; CR and LF in different reads are.
  frames_.clear();
  pty_.Send(Text("\n"));
  ReadOnce();
  pty_.Send(Text("x\r"));
  ReadOnce();
  EXPECT_TRUE(frames_.empty());
  pty_.Send(Text("\n"));
  ReadOnce();
  EXPECT_EQ(frames_, std::vector<Bytes>{Text("\nx\r\n")});
}

TEST_F(DeviceReaderTest, CrLfInsideAReadDoesNotSplit) {
  pty_.Send(Text("a\r\nb\r\n"));
  ReadOnce();
  EXPECT_EQ(frames_, std::vector<Bytes>{Text("a\r\nb\r\n")});
  frames_.clear();
  pty_.Send(Text("a\r\nb"));
  ReadOnce();
  EXPECT_TRUE(frames_.empty());
  pty_.Send(Text("\r\n"));
  ReadOnce();
  EXPECT_EQ(frames_, std::vector<Bytes>{Text("a\r\nb\r\n")});
}

TEST_F(DeviceReaderTest, LongestFrameAndOneByteMore) {
  // More than one read's worth: every byte after the first read must still be
  // there (the reader never purges).
  Bytes longest = AllByteValues(2045);
  for (std::uint8_t& byte : longest) {
    if (byte == '\n') byte = 'n';  // no accidental frame end
  }
  longest.push_back('\r');
  longest.push_back('\n');
  ASSERT_EQ(longest.size(), 2047u);
  pty_.Send(longest);
  for (int i = 0; i < 50 && frames_.empty(); ++i) ReadOnce();
  EXPECT_EQ(frames_, std::vector<Bytes>{longest});

  // 2048 bytes are dropped whole, and the next frame starts clean.
  frames_.clear();
  Bytes too_long = longest;
  too_long.insert(too_long.begin(), 'x');
  pty_.Send(too_long);
  int reads = 0;
  do {
    ReadOnce();
  } while (assembler_.Collected() != 0 && ++reads < 50);
  EXPECT_TRUE(frames_.empty());
  pty_.Send(Text("ok\r\n"));
  ReadOnce();
  EXPECT_EQ(frames_, std::vector<Bytes>{Text("ok\r\n")});
}

// The reader's processor time while it runs for `seconds`, as a share of one
// core.
double ReaderCpuShare(int fd, double seconds, int* reads) {
  double share = 1;
  std::thread reader([&] {
    FrameAssembler assembler;
    const double cpu_start = ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::chrono::duration<double> elapsed{0};
    for (*reads = 0; elapsed.count() < seconds; ++*reads) {
      ReadDeviceOnce(fd, assembler, [](const std::uint8_t*, std::size_t) {});
      elapsed = std::chrono::steady_clock::now() - start;
    }
    share = (ThreadCpuSeconds() - cpu_start) / elapsed.count();
  });
  reader.join();
  return share;
}

TEST_F(DeviceReaderTest, SilentDeviceLeavesTheReaderIdle) {
  int reads = 0;
  EXPECT_LT(ReaderCpuShare(fd_, 1.5, &reads), 0.2);
  EXPECT_LE(reads, 1500 / kReadWaitMs + 1);  // each read waits kReadWaitMs
}

TEST_F(DeviceReaderTest, LostDeviceLeavesTheReaderIdle) {
  pty_.Send(Text("partial"));
  ReadOnce();
  pty_.CloseMaster();  // the adapter is unplugged
  int reads = 0;
  EXPECT_LT(ReaderCpuShare(fd_, 2.5, &reads), 0.2);
  EXPECT_LE(reads, 2500 / kReadWaitMs + 1);
  EXPECT_TRUE(frames_.empty());
}

}  // namespace
