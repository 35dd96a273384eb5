// The Windows device port against real COM ports: under Wine, ports that
// scripts/test-windows maps to pairs of ptys joined by socat (see
// tests/wine-com-ports for which port leads where). What Wine does not do as
// Windows does is said where it matters and not asserted:
// - it accepts 1,200,000 baud on a pty but reads back 38400;
// - it opens a port a second time although the first open shares nothing;
// - it opens a COM port whose target is missing, then refuses its settings;
// - its WaitCommEvent on a pty ends at once with error 995, so the reader's
//   short-pause fallback is what these tests run, not the event wait.
#include "serial/serial_port-win32.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "serial/device_link.h"
#include "serial/device_reader.h"
#include "serial/serial_port.h"

namespace {

// The COM ports of the test prefix, as Wine lists them; empty elsewhere.
std::vector<std::string> TestPrefixPorts() {
  std::vector<std::string> ports;
  const char* listed = std::getenv("ARTNET_WINE_COM_PORTS");
  std::istringstream words(listed != nullptr ? listed : "");
  for (std::string port; words >> port;) ports.push_back(port);
  return ports;
}

constexpr char kNeedsTestPorts[] = "needs the COM ports that scripts/test-windows maps to ptys";

// The far end of a null-modem pair, opened plainly (no overlapped I/O).
class FarEnd {
 public:
  explicit FarEnd(const wchar_t* name)
      : handle_(CreateFileW(DevicePathForPortName(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                            nullptr)) {
    PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
  }
  ~FarEnd() { CloseHandle(handle_); }
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }

  // Reads until `count` bytes have come or `timeout_ms` has passed.
  std::string Read(DWORD count, DWORD timeout_ms) {
    COMMTIMEOUTS timeouts = {0, 0, timeout_ms, 0, 0};
    SetCommTimeouts(handle_, &timeouts);
    std::string bytes(count, '\0');
    DWORD got = 0;
    if (!ReadFile(handle_, bytes.data(), count, &got, nullptr)) got = 0;
    bytes.resize(got);
    return bytes;
  }
  void Write(const std::string& bytes) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                          nullptr));
    ASSERT_EQ(bytes.size(), written);
  }

 private:
  HANDLE handle_;
};

// A port opened as discovery opens it, closed at the end of the test.
struct DevicePort {
  explicit DevicePort(const wchar_t* name) : handle(OpenPortPath(DevicePathForPortName(name))) {}
  ~DevicePort() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  DeviceHandle device() const { return reinterpret_cast<DeviceHandle>(handle); }
  HANDLE handle;
};

// Standard output led into a pipe for as long as it lives.
class ConsoleCapture {
 public:
  ConsoleCapture() : saved_(GetStdHandle(STD_OUTPUT_HANDLE)) {
    CreatePipe(&read_, &write_, nullptr, 1 << 16);
    SetStdHandle(STD_OUTPUT_HANDLE, write_);
  }
  ~ConsoleCapture() {
    SetStdHandle(STD_OUTPUT_HANDLE, saved_);
    CloseHandle(read_);
    CloseHandle(write_);
  }
  std::string Text() {
    std::string text;
    DWORD available = 0;
    while (PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
      std::string chunk(available, '\0');
      DWORD got = 0;
      if (!ReadFile(read_, chunk.data(), available, &got, nullptr)) break;
      text.append(chunk, 0, got);
    }
    return text;
  }

 private:
  HANDLE saved_, read_ = nullptr, write_ = nullptr;
};

std::string Bytes(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

const std::uint8_t* Data(const std::string& bytes) {
  return reinterpret_cast<const std::uint8_t*>(bytes.data());
}

// Every byte value, CR and LF among them, none in a run.
std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + 3) & 0xFF);
  return bytes;
}

double ThreadCpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  auto ticks = [](FILETIME t) {
    return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reads the device until `count` frames have come or ten seconds have passed.
std::vector<std::string> ReadFrames(DeviceHandle device, FrameAssembler& assembler,
                                    std::size_t count) {
  std::vector<std::string> frames;
  const auto start = std::chrono::steady_clock::now();
  while (frames.size() < count && SecondsSince(start) < 10) {
    ReadDeviceOnce(device, assembler, [&](const std::uint8_t* frame, std::size_t size) {
      frames.push_back(Bytes(frame, size));
    });
  }
  return frames;
}

TEST(SerialPortWin32, DevicePathRule) {
  const struct {
    const wchar_t* name;
    const wchar_t* path;
  } cases[] = {
      {L"COM3", L"COM3"},
      {L"COM9", L"COM9"},
      {L"COM10", L"\\\\.\\COM10"},  // the first that needs the prefix
      {L"COM12", L"\\\\.\\COM12"},
      {L"com4", L"COM4"},           // only the first three characters go
      {L"COM0", L"COM0"},
      {L"COM-5", L"COM-5"},         // negative numbers take the short form
      {L"COM 7", L"COM7"},          // _wtoi skips leading white space
      {L"COM7x", L"COM7"},          // and stops at the first non-digit
      {L"COMx7", L"COM0"},
      {L"CO", L"COM0"},             // too short: nothing left, read as 0
      {L"", L"COM0"},
      {L"COM9999999", L"\\\\.\\COM9999999"},  // 14 characters: the longest path
      {L"COM10000000", L""},                  // would need 15: not tried
      {L"COM99999999999", L""},               // past INT_MAX, read as INT_MAX
      {L"COM-99999999999", L"COM-2147483648"},  // read as INT_MIN: still fits
  };
  for (const auto& c : cases) {
    EXPECT_EQ(std::wstring(c.path), DevicePathForPortName(c.name)) << "name: " << c.name;
  }
}

TEST(SerialPortWin32, RegistryValuesThatDoNotFitOrEndWithoutAZero) {
  // A scratch key of this test's own, enumerated as SERIALCOMM is.
  const std::wstring path = L"Software\\artnet-serial-bridge-test-" +
                            std::to_wstring(GetCurrentProcessId());
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  auto set = [&](const std::wstring& name, const std::wstring& text, DWORD bytes) {
    RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   bytes);
  };
  // Where the character after the counted bytes is a zero, the registry
  // (Windows and Wine alike) stores that zero too: an "X" there keeps the
  // value unterminated.
  const std::wstring fills = L"COM" + std::wstring(47, L'7');  // 50 characters, 100 bytes
  set(L"a", L"COM3", 10);                                    // with its zero
  set(L"b", L"COM4X", 8);                                    // without one
  set(L"c", fills + L"X", 100);                              // fills the buffer, no zero
  set(L"d", fills + L"8X", 102);                             // does not fit: skipped
  set(std::wstring(120, L'e'), L"COM5", 10);                 // name does not fit: skipped
  set(L"f", L"COM6X", 9);                                    // odd count: the half character goes
  set(L"g", std::wstring(L"COM7\0junk", 9), 20);            // text ends at the first zero
  const std::wstring longest_name(99, L'n');                  // 99 characters and the zero fit
  set(longest_name, L"COM8", 10);
  const std::vector<SerialcommValue> values = ReadSerialcommValues(key);
  RegCloseKey(key);
  RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
  std::vector<std::wstring> devices;
  std::vector<std::wstring> ports;
  for (const SerialcommValue& value : values) {
    devices.push_back(value.device);
    ports.push_back(value.port);
  }
  EXPECT_EQ((std::vector<std::wstring>{L"COM3", L"COM4", fills, L"COM6", L"COM7", L"COM8"}), ports);
  EXPECT_EQ((std::vector<std::wstring>{L"a", L"b", L"c", L"f", L"g", longest_name}), devices);
}

TEST(SerialPortWin32, ListsThePortsInRegistryOrder) {
  if (TestPrefixPorts().empty()) GTEST_SKIP() << kNeedsTestPorts;
  // The script read the same values through reg.exe; the bridge must see the
  // data (not the "\Device\Serial4" names), every value, in the same order:
  // all are serial.sys's names, one kind, which keeps the registry's order.
  EXPECT_EQ(TestPrefixPorts(), ListSerialPorts());
  const std::vector<SerialcommValue> values = ListSerialcommValues();
  ASSERT_EQ(TestPrefixPorts().size(), values.size());
  for (const SerialcommValue& value : values) {
    EXPECT_EQ(value.device.rfind(L"\\Device\\Serial", 0), 0u);
  }
}

TEST(SerialPortWin32, DiscoveryTakesTheFirstUsablePortAndProbesIt) {
  if (TestPrefixPorts().empty()) GTEST_SKIP() << kNeedsTestPorts;
  const std::vector<std::string> ports = TestPrefixPorts();
  ASSERT_GE(ports.size(), 3u);
  ASSERT_EQ("COM3", ports[0]);  // leads nowhere
  ASSERT_EQ("COM5", ports[1]);  // the device
  // Wine opens COM3 although its target is missing; the settings fail, and
  // the handle is closed again.
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenPortPath(L"COM3"));

  FarEnd device_end(L"COM7"), untouched_end(L"COM8");
  ASSERT_TRUE(device_end.ok() && untouched_end.ok());
  const DeviceHandle device = FindDevicePort();
  ASSERT_NE(kInvalidDevice, device);
  HANDLE port = reinterpret_cast<HANDLE>(device);

  // The probe, byte for byte, with nothing before or after it.
  EXPECT_EQ(Bytes(kArtPollProbe, sizeof kArtPollProbe), device_end.Read(14, 5000));
  EXPECT_EQ("", device_end.Read(1, 300));
  // COM6, usable too but listed later, got nothing.
  EXPECT_EQ("", untouched_end.Read(1, 500));

  // The handle is COM5's, configured as the link needs.
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(8, dcb.ByteSize);
  EXPECT_EQ(NOPARITY, dcb.Parity);
  EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
  EXPECT_EQ(static_cast<DWORD>(DTR_CONTROL_ENABLE), dcb.fDtrControl);
  // dcb.BaudRate is not checked: Wine reads 1,200,000 back as 38400 on a pty.
  COMMTIMEOUTS timeouts = {};
  ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
  EXPECT_EQ(MAXDWORD, timeouts.ReadIntervalTimeout);
  EXPECT_EQ(0u, timeouts.ReadTotalTimeoutMultiplier + timeouts.ReadTotalTimeoutConstant +
                    timeouts.WriteTotalTimeoutMultiplier + timeouts.WriteTotalTimeoutConstant);
  device_end.Write("x");
  std::uint8_t byte = 0;
  EXPECT_EQ(1u, ReadDevice(device, &byte, 1));
  EXPECT_EQ('x', byte);
  CloseHandle(port);
}

TEST(SerialPortWin32, WritesWholeMessagesAndKeepsReceivedBytes) {
  if (TestPrefixPorts().empty()) GTEST_SKIP() << kNeedsTestPorts;
  DevicePort port(L"COM10");  // opened as \\.\COM10
  FarEnd far_end(L"COM9");
  ASSERT_NE(INVALID_HANDLE_VALUE, port.handle);
  ASSERT_TRUE(far_end.ok());

  // Bytes the device has sent wait in the input queue while the bridge
  // writes: no write may throw them away.
  far_end.Write("hello\r\n");
  COMSTAT status = {};
  for (int i = 0; i < 500 && status.cbInQue < 7; ++i) {
    DWORD errors;
    ClearCommError(port.handle, &errors, &status);
    Sleep(10);
  }
  ASSERT_EQ(7u, status.cbInQue);

  const std::string longest_forwarded = Pattern(530);
  EXPECT_EQ(WriteResult::kWritten,
            WriteDevice(port.device(), Data(longest_forwarded), longest_forwarded.size()).result);
  EXPECT_EQ(longest_forwarded, far_end.Read(530, 5000));
  const std::string largest = Pattern(2048);
  EXPECT_EQ(WriteResult::kWritten, WriteDevice(port.device(), Data(largest), largest.size()).result);
  EXPECT_EQ(largest, far_end.Read(2048, 5000));

  {
    ConsoleCapture console;
    EXPECT_EQ(WriteResult::kWritten, WriteDevice(port.device(), Data(largest), 0).result);
    std::string too_long = Pattern(2049);
    const DeviceWrite refused = WriteDevice(port.device(), Data(too_long), too_long.size());
    EXPECT_EQ(WriteResult::kFailed, refused.result);
    EXPECT_EQ(static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER), refused.error);
    EXPECT_EQ("", console.Text()) << "failures are the link's to report";
  }
  EXPECT_EQ("", far_end.Read(1, 300));  // neither wrote a byte

  std::uint8_t received[1024];
  EXPECT_EQ("hello\r\n", Bytes(received, ReadDevice(port.device(), received, sizeof received)));
}

TEST(SerialPortWin32, ReaderHandsOverFrames) {
  if (TestPrefixPorts().empty()) GTEST_SKIP() << kNeedsTestPorts;
  DevicePort port(L"COM51");
  FarEnd far_end(L"COM52");
  ASSERT_NE(INVALID_HANDLE_VALUE, port.handle);
  ASSERT_TRUE(far_end.ok());
  FrameAssembler assembler;

  far_end.Write("OK\r\n");
  EXPECT_EQ(std::vector<std::string>{"OK\r\n"}, ReadFrames(port.device(), assembler, 1));

  // A frame split across reads. (The byte crosses socat and Wine first,
  // which a busy machine may hold up for longer than one read waits.)
  far_end.Write("O");
  const auto written = std::chrono::steady_clock::now();
  while (assembler.Collected() == 0 && SecondsSince(written) < 10) {
    ReadDeviceOnce(port.device(), assembler,
                   [](const std::uint8_t*, std::size_t) { ADD_FAILURE() << "not a frame yet"; });
  }
  EXPECT_EQ(1u, assembler.Collected());
  far_end.Write("K\r\n");
  EXPECT_EQ(std::vector<std::string>{"OK\r\n"}, ReadFrames(port.device(), assembler, 1));

  // CR LF inside one read does not end a frame.
  far_end.Write("a\r\nb\r\n");
  EXPECT_EQ(std::vector<std::string>{"a\r\nb\r\n"}, ReadFrames(port.device(), assembler, 1));

  // The longest frame comes through whole, over several reads.
  const std::string longest = std::string(2045, 'L') + "\r\n";
  far_end.Write(longest);
  EXPECT_EQ(std::vector<std::string>{longest}, ReadFrames(port.device(), assembler, 1));

  // Bytes that arrive while the reader works are never thrown away. (Each
  // write carries whole frames, so that reads end where frames do.)
  std::vector<std::string> writes;
  for (int i = 0; i < 200; i += 4) {
    std::string frames;
    for (int j = i; j < i + 4; ++j) frames += "frame " + std::to_string(j) + "\r\n";
    writes.push_back(frames);
  }
  std::string sent;
  for (const std::string& frames : writes) sent += frames;
  std::thread sender([&] {
    for (const std::string& frames : writes) {
      far_end.Write(frames);
      Sleep(1);
    }
  });
  std::string received;
  const auto start = std::chrono::steady_clock::now();
  while (received.size() < sent.size() && SecondsSince(start) < 20) {
    ReadDeviceOnce(port.device(), assembler, [&](const std::uint8_t* frame, std::size_t size) {
      received += Bytes(frame, size);
    });
  }
  sender.join();
  EXPECT_EQ(sent, received);

  // The main thread's loop hands frames on too. It never returns: it keeps
  // its thread (and this port) until the test program ends.
  static std::mutex mutex;
  static std::condition_variable handed_over;
  static std::vector<std::string> frames;
  std::thread([device = port.device()] {
    static DeviceLink link(device, "COM51");
    DeviceReadLoop(link, [](const std::uint8_t* frame, std::size_t size) {
      std::lock_guard<std::mutex> lock(mutex);
      frames.push_back(Bytes(frame, size));
      handed_over.notify_all();
    });
  }).detach();
  far_end.Write("loop\r\n");
  std::unique_lock<std::mutex> lock(mutex);
  handed_over.wait_for(lock, std::chrono::seconds(10), [] { return !frames.empty(); });
  EXPECT_EQ(std::vector<std::string>{"loop\r\n"}, frames);
  port.handle = INVALID_HANDLE_VALUE;  // still the loop's
}

TEST(SerialPortWin32, IdleReaderWaitsWithoutSpinning) {
  if (TestPrefixPorts().empty()) GTEST_SKIP() << kNeedsTestPorts;
  DevicePort port(L"COM61");
  FarEnd far_end(L"COM62");
  ASSERT_NE(INVALID_HANDLE_VALUE, port.handle);
  ASSERT_TRUE(far_end.ok());
  std::uint8_t buffer[1024];

  // Nothing comes: a read period of waiting, nearly all of it asleep (a
  // reader that polls the port back to back uses the whole of it). Several
  // reads, so that the processor time is measurable.
  const double period = kReadWaitMs / 1000.0;
  auto start = std::chrono::steady_clock::now();
  double cpu = ThreadCpuSeconds();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(0u, ReadDevice(port.device(), buffer, sizeof buffer));
  double seconds = SecondsSince(start);
  cpu = ThreadCpuSeconds() - cpu;
  EXPECT_GE(seconds, 8 * period * 0.95);
  EXPECT_LT(seconds, 10.0);
  EXPECT_LT(cpu, 0.25 * seconds) << "CPU seconds " << cpu << " in " << seconds;

  // Bytes end the wait as they come, not at its end.
  std::thread sender([&] {
    Sleep(kReadWaitMs / 3);
    far_end.Write("late");
  });
  start = std::chrono::steady_clock::now();
  const std::size_t count = ReadDevice(port.device(), buffer, sizeof buffer);
  seconds = SecondsSince(start);
  sender.join();
  EXPECT_EQ("late", Bytes(buffer, count));
  EXPECT_LT(seconds, period);

  // A handle that is no port (as an unplugged adapter's turns): the reader
  // waits out a read period rather than asking again at once.
  HANDLE not_a_port = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  start = std::chrono::steady_clock::now();
  cpu = ThreadCpuSeconds();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(0u, ReadDevice(reinterpret_cast<DeviceHandle>(not_a_port), buffer, sizeof buffer));
  }
  seconds = SecondsSince(start);
  cpu = ThreadCpuSeconds() - cpu;
  CloseHandle(not_a_port);
  EXPECT_GE(seconds, 4 * period * 0.95);
  EXPECT_LT(cpu, 0.25 * seconds) << "CPU seconds " << cpu << " in " << seconds;
}

// WriteDevice, given up after `ms` should it never finish (a link stalled
// for good), so that a failing test fails instead of hanging.
WriteResult WriteWithin(DeviceHandle device, const std::string& bytes, std::size_t size, DWORD ms) {
  std::atomic<bool> abandon{false};
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!done.wait_for(lock, std::chrono::milliseconds(ms), [&] { return finished; })) abandon.store(true);
  });
  const WriteResult result = WriteDevice(device, Data(bytes), size, &abandon).result;
  {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
  }
  done.notify_all();
  watchdog.join();
  return result;
}

// An earlier program left the port with XON/XOFF both ways and NUL
// stripping on. Configured as discovery configures it, the link carries
// 0x00, 0x11 and 0x13 (all common in Art-Net and DMX) unchanged both ways.
TEST(SerialPortWin32, TheLinkIsBinaryCleanWhateverAnEarlierProgramLeft) {
  if (TestPrefixPorts().empty()) GTEST_SKIP() << kNeedsTestPorts;
  {
    HANDLE earlier = CreateFileW(L"\\\\.\\COM81", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, earlier);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(earlier, &dcb));
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    dcb.fNull = TRUE;
    dcb.fAbortOnError = TRUE;
    ASSERT_TRUE(SetCommState(earlier, &dcb));
    CloseHandle(earlier);
  }
  DevicePort port(L"COM81");
  FarEnd far_end(L"COM82");
  ASSERT_NE(INVALID_HANDLE_VALUE, port.handle);
  ASSERT_TRUE(far_end.ok());
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port.handle, &dcb));
  EXPECT_FALSE(dcb.fOutX || dcb.fInX || dcb.fNull || dcb.fAbortOnError || dcb.fOutxCtsFlow ||
               dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fErrorChar || dcb.fParity);
  EXPECT_TRUE(dcb.fBinary);

  const std::string awkward("\x13\x00\x11" "Art-Net\x00\x00\x50\x13\x13\x00\x11", 16);
  EXPECT_EQ(WriteResult::kWritten, WriteWithin(port.device(), awkward, awkward.size(), 5000));
  EXPECT_EQ(awkward, far_end.Read(static_cast<DWORD>(awkward.size()), 5000));
  far_end.Write(awkward);
  std::string received;
  std::uint8_t buffer[64];
  const auto start = std::chrono::steady_clock::now();
  while (received.size() < awkward.size() && SecondsSince(start) < 5) {
    received += Bytes(buffer, ReadDevice(port.device(), buffer, sizeof buffer));
  }
  EXPECT_EQ(awkward, received);
  // And writes go on after a 0x13 came in: nothing stopped the output.
  EXPECT_EQ(WriteResult::kWritten, WriteWithin(port.device(), awkward, 3, 5000));
  EXPECT_EQ(awkward.substr(0, 3), far_end.Read(3, 5000));
}

// A far end that stops reading for over a second: the write waiting for it
// says so once, after 500 ms, and finishes the message it began when the far
// end reads again. Every byte arrives, every message whole.
TEST(SerialPortWin32, AStalledWriteIsCarriedThroughAndReportedOnce) {
  if (TestPrefixPorts().empty()) GTEST_SKIP() << kNeedsTestPorts;
  DevicePort port(L"COM71");
  FarEnd far_end(L"COM72");  // not read for a while: the ptys fill up
  ASSERT_NE(INVALID_HANDLE_VALUE, port.handle);
  ASSERT_TRUE(far_end.ok());
  const std::string block = Pattern(2048);
  constexpr int kBlocks = 100;  // More than the ptys between them hold.

  ConsoleCapture console;
  std::vector<WriteResult> results;
  std::atomic<bool> abandon{false};
  std::thread writer([&] {
    for (int i = 0; i < kBlocks; ++i) {
      results.push_back(WriteDevice(port.device(), Data(block), block.size(), &abandon).result);
    }
  });
  Sleep(1300);
  std::string received;
  const auto start = std::chrono::steady_clock::now();
  while (received.size() < block.size() * kBlocks && SecondsSince(start) < 20) {
    received += far_end.Read(65536, 500);
  }
  abandon.store(true);  // Only should the test fail: never cut a write otherwise.
  writer.join();
  const std::string text = console.Text();
  std::size_t timeouts = 0;
  for (std::size_t at = text.find("Serial write timeout.   code - "); at != std::string::npos;
       at = text.find("Serial write timeout.   code - ", at + 1)) {
    ++timeouts;
  }
  EXPECT_EQ(1u, timeouts) << text;
  // With the wait's own code, WAIT_TIMEOUT.
  EXPECT_NE(std::string::npos, text.find("Serial write timeout.   code - 258\r\n")) << text;
  EXPECT_EQ(std::vector<WriteResult>(kBlocks, WriteResult::kWritten), results);
  ASSERT_EQ(block.size() * kBlocks, received.size());
  for (int i = 0; i < kBlocks; ++i) EXPECT_EQ(block, received.substr(i * block.size(), block.size())) << i;
}

}  // namespace
