// The device port on Windows: the ports the registry lists, opened for
// overlapped I/O without sharing, and the writer's and the reader's
// overlapped operations on it.
//
// The two directions share the handle (the writer thread writes, the main
// thread reads; serial/device_link.h keeps it open while either uses it).
// Neither ever purges the port once the bridge runs, so neither can throw
// away the other's bytes or abort the other's operation; the only purge is
// discovery's, before any traffic.
#include "serial/serial_port-win32.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "console/console.h"
#include "serial/serial_port.h"

namespace {

// The registry buffers: a value name of 100 UTF-16 characters and value data
// of 100 bytes. Port names are a few characters; a value whose data does not
// fit is not a port name the bridge could open.
constexpr DWORD kNameChars = 100;
constexpr DWORD kDataBytes = 100;

// "\\.\COM9999999" and its terminating zero.
constexpr std::size_t kDevicePathChars = 15;

constexpr DWORD kDriverQueueBytes = 2048;
constexpr std::size_t kTransmitCopyBytes = 2048;

// A write pending this long is reported, once; it goes on waiting.
constexpr ULONGLONG kStallMs = 500;
// How often a waiting write looks whether it is to give up.
constexpr DWORD kWriteSliceMs = 100;
// How long a read that went pending is waited for.
constexpr DWORD kPendingReadWaitMs = 2000;

// When the port cannot signal arriving bytes (see WaitForDeviceBytes), the
// reader looks at its input queue after a pause that starts here and doubles
// up to the longest. Under Wine each look costs some 60 us of processor time,
// so the longest pause keeps an idle reader well under 1% of a core, while
// the short first ones keep a reply that follows a frame quick.
constexpr DWORD kFirstPauseMs = 1;
constexpr DWORD kLongestPauseMs = 16;

HANDLE AsHandle(DeviceHandle device) { return reinterpret_cast<HANDLE>(device); }

// The errors of a port whose device has gone, which it then gives on every
// call: serial drivers have no common way to say so. Those seen from USB
// serial drivers after a surprise removal are ERROR_ACCESS_DENIED (5),
// ERROR_BAD_COMMAND (22, "the device does not recognize the command"),
// ERROR_GEN_FAILURE (31) and ERROR_DEVICE_NOT_CONNECTED (1167); Wine gives
// ERROR_NOT_READY (21) for a port whose pty has hung up. ERROR_INVALID_PARAMETER
// is not among them: some virtual ports fail ClearCommError with it always.
bool IsLost(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

// The same for a call the bridge did not cancel itself: usbser.sys fails
// every call with ERROR_OPERATION_ABORTED (995) once its device is gone.
bool IsLostUncancelled(DWORD error) { return IsLost(error) || error == ERROR_OPERATION_ABORTED; }

// The reader's knowledge of the port it reads: whether its event waits work.
// Kept per thread; only the main thread reads the device.
struct ReaderPort {
  HANDLE port = nullptr;
  bool event_waits_fail = false;
};
thread_local ReaderPort t_reader_port;

enum class CommEventWait { kSignalled, kTimedOut, kFailed, kNoEvent };

// One overlapped WaitCommEvent for at most `timeout_ms`. A wait that is still
// pending at the end is cancelled and waited for, so that the completion
// record and the event mask it writes into never outlive this call.
CommEventWait WaitForCommEvent(HANDLE port, DWORD timeout_ms) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return CommEventWait::kNoEvent;
  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof overlapped);
  overlapped.hEvent = event;
  DWORD events = 0;
  CommEventWait result;
  if (WaitCommEvent(port, &events, &overlapped)) {
    result = CommEventWait::kSignalled;
  } else if (GetLastError() != ERROR_IO_PENDING) {
    result = CommEventWait::kFailed;
  } else {
    const DWORD wait = WaitForSingleObject(event, timeout_ms);
    if (wait != WAIT_OBJECT_0) CancelIoEx(port, &overlapped);
    DWORD ignored = 0;
    if (GetOverlappedResult(port, &overlapped, &ignored, TRUE)) {
      result = CommEventWait::kSignalled;
    } else {
      // Wine never signals a character on a pty-backed port: its wait ends
      // a few milliseconds later with ERROR_OPERATION_ABORTED (995) (Wine
      // watches the modem lines too, and a pty has none). On Windows a wait
      // fails when the port is going away.
      result = wait == WAIT_OBJECT_0 ? CommEventWait::kFailed : CommEventWait::kTimedOut;
    }
  }
  CloseHandle(event);
  return result;
}

enum class InputState { kBytesWaiting, kNothing, kLost };

// Blocks until the port's input queue holds bytes, for at most kReadWaitMs.
// kLost when the port has gone.
// Waits on EV_RXCHAR; on a port whose event waits fail, it looks at the queue
// after short pauses instead, never back to back.
InputState WaitForDeviceBytes(HANDLE port) {
  if (t_reader_port.port != port) t_reader_port = ReaderPort{port, false};
  // The mask belongs to the handle; set it the first time the reader meets
  // the port (and again should anything have changed it). A failure here
  // shows below as a failed status query or a failed wait.
  DWORD mask = 0;
  if (!GetCommMask(port, &mask) || (mask & EV_RXCHAR) == 0) SetCommMask(port, EV_RXCHAR);

  const ULONGLONG deadline = GetTickCount64() + kReadWaitMs;
  DWORD pause_ms = kFirstPauseMs;
  for (;;) {
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(port, &errors, &status)) {
      if (IsLostUncancelled(GetLastError())) return InputState::kLost;
      // A port whose status query fails for another reason is read all the
      // same, after a pause: never spin on it.
      Sleep(kLongestPauseMs);
      return InputState::kBytesWaiting;
    }
    if (status.cbInQue > 0) return InputState::kBytesWaiting;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return InputState::kNothing;
    const DWORD left = static_cast<DWORD>(deadline - now);

    if (!t_reader_port.event_waits_fail) {
      // Bytes that arrive between the status query above and the start of
      // the wait are not missed: the serial driver keeps the events that
      // happened while no wait was pending and completes the next wait at
      // once. (The same history costs one extra turn after each read.)
      switch (WaitForCommEvent(port, left)) {
        case CommEventWait::kSignalled:
        case CommEventWait::kTimedOut:
          continue;  // Look at the queue again.
        case CommEventWait::kFailed:
          // From now on this handle is read after pauses: asking Wine for an
          // event wait again would cost a few milliseconds every time.
          t_reader_port.event_waits_fail = true;
          break;
        case CommEventWait::kNoEvent:
          break;  // Out of events for now: pause once instead.
      }
    }
    Sleep(pause_ms < left ? pause_ms : left);
    if (pause_ms < kLongestPauseMs) pause_ms *= 2;
  }
}

// Reads the bytes waiting in the input queue. Returns their count, taken from
// the completion record; a read still pending after kPendingReadWaitMs is
// cancelled and waited for before its buffer and record go away. Sets
// `*lost` when the port has gone.
bool ReadWaitingBytes(HANDLE port, std::uint8_t* buffer, DWORD capacity, DWORD* count, bool* lost) {
  *count = 0;
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return false;
  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof overlapped);
  overlapped.hEvent = event;
  bool started = true;
  // With ReadIntervalTimeout = MAXDWORD and no total time-out the read
  // returns at once with what the queue holds; the pending branch is rare.
  if (!ReadFile(port, buffer, capacity, nullptr, &overlapped)) {
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      if (WaitForSingleObject(event, kPendingReadWaitMs) != WAIT_OBJECT_0) CancelIoEx(port, &overlapped);
    } else {
      *lost = IsLostUncancelled(error);
      started = false;
    }
  }
  if (started) {
    DWORD transferred = 0;
    GetOverlappedResult(port, &overlapped, &transferred, TRUE);
    // A cancelled or failed read may still have delivered bytes: the record
    // says how many.
    *count = static_cast<DWORD>(overlapped.InternalHigh);
  }
  CloseHandle(event);
  return started;
}

// A port name as UTF-8, for portable code.
std::string NarrowName(const std::wstring& name) {
  const int wide = static_cast<int>(name.size());
  const int size = WideCharToMultiByte(CP_UTF8, 0, name.data(), wide, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) WideCharToMultiByte(CP_UTF8, 0, name.data(), wide, narrow.data(), size, nullptr, nullptr);
  return narrow;
}

// A port name from portable code, back as Windows spells it.
std::wstring WideName(const std::string& name) {
  const int narrow = static_cast<int>(name.size());
  const int size = MultiByteToWideChar(CP_UTF8, 0, name.data(), narrow, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) MultiByteToWideChar(CP_UTF8, 0, name.data(), narrow, wide.data(), size);
  return wide;
}

}  // namespace

std::vector<std::wstring> ListSerialPortNames() {
  std::vector<std::wstring> names;
  // The sub-key is kept as narrow text and widened with the ANSI code page.
  static const char kSubKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM\\";
  wchar_t sub_key[sizeof kSubKey];
  if (MultiByteToWideChar(CP_ACP, 0, kSubKey, -1, sub_key, sizeof kSubKey) == 0) return names;
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub_key, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  names = ReadPortNames(key);
  RegCloseKey(key);
  return names;
}

std::vector<std::wstring> ReadPortNames(HKEY key) {
  std::vector<std::wstring> names;
  for (DWORD index = 0;; ++index) {
    wchar_t name[kNameChars];
    DWORD name_chars = kNameChars;
    // Zeroed each time: the value's text is taken up to its first zero
    // character, and nothing of an earlier value may show through.
    wchar_t data[kDataBytes / sizeof(wchar_t)] = {};
    DWORD data_bytes = kDataBytes;
    DWORD type = 0;
    const LONG result = RegEnumValueW(key, index, name, &name_chars, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data), &data_bytes);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) continue;  // ERROR_MORE_DATA, for one: skip it.
    // Registry strings need not end in a zero character. The text ends at
    // the first zero within the bytes the value holds, or else where those
    // bytes end; it never runs past the buffer (100 bytes hold 50 characters,
    // a whole number, so an odd byte count just drops its last half byte).
    const std::size_t chars = (data_bytes <= kDataBytes ? data_bytes : kDataBytes) / sizeof(wchar_t);
    names.emplace_back(data, wcsnlen(data, chars));
  }
  return names;
}

std::vector<std::string> ListSerialPorts() {
  std::vector<std::string> ports;
  for (const std::wstring& name : ListSerialPortNames()) ports.push_back(NarrowName(name));
  return ports;
}

std::wstring DevicePathForPortName(const std::wstring& name) {
  // The name less "COM"; a shorter name leaves nothing, which reads as 0.
  const std::wstring rest = name.size() > 3 ? name.substr(3) : std::wstring();
  // _wtoi: optional white space and sign, then digits up to the first
  // non-digit; 0 without digits, and INT_MAX or INT_MIN past the int range.
  const int number = _wtoi(rest.c_str());
  // Over 9,999,999 the "\\.\COM" path needs more than 14 characters. wsprintfW
  // has no bound of its own, so such a name is refused here, before it. Every
  // number up to 9 fits, even "COM-2147483648" (14 characters).
  if (number > 9999999) return std::wstring();
  wchar_t path[kDevicePathChars];
  // COM1 to COM9 are names Windows knows everywhere; COM10 and above exist
  // only in the device namespace and need the "\\.\" prefix.
  const int length = number <= 9 ? wsprintfW(path, L"COM%d", number)
                                  : wsprintfW(path, L"\\\\.\\COM%d", number);
  return std::wstring(path, length > 0 ? static_cast<std::size_t>(length) : 0);
}

HANDLE OpenPortPath(const std::wstring& path) {
  // No sharing: a port another program holds cannot be opened, and the next
  // one is tried. (Wine does not enforce this for serial ports: a second
  // open of the same port succeeds there.)
  HANDLE port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE || port == nullptr) return INVALID_HANDLE_VALUE;

  // A read returns at once with what has arrived; writes have no total
  // time-out of their own (WriteDevice bounds its wait).
  COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;

  bool usable = SetupComm(port, kDriverQueueBytes, kDriverQueueBytes) &&
                SetCommTimeouts(port, &timeouts) && GetCommState(port, &dcb);
  if (usable) {
    dcb.BaudRate = kDeviceBaudRate;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // The driver returns what the last program set, and the link must carry
    // every byte as it is: Art-Net is full of 0x00, and DMX data holds 0x11
    // and 0x13 as often as any other byte. So no XON/XOFF either way (0x13
    // would stall the link, 0x11 and 0x13 vanish), no NUL stripping, no
    // parity check or error character, no abort on a line error (reads
    // would fail as if the device had gone), and no waiting on CTS or DSR
    // (every write would wait out its time). RTS control and the special
    // characters stay as the driver has them.
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    // Wine accepts 1,200,000 baud on a pty-backed port but sets the pty to
    // 38400 and reads that back; Windows drivers keep the rate or refuse it.
    usable = SetCommState(port, &dcb) && PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
  }
  if (!usable) {
    CloseHandle(port);
    return INVALID_HANDLE_VALUE;
  }
  return port;
}

DeviceHandle OpenDevicePort(const std::string& name) {
  const std::wstring path = DevicePathForPortName(WideName(name));
  if (path.empty()) return kInvalidDevice;
  HANDLE port = OpenPortPath(path);
  return port == INVALID_HANDLE_VALUE ? kInvalidDevice : reinterpret_cast<DeviceHandle>(port);
}

void CloseDevicePort(DeviceHandle device) { CloseHandle(AsHandle(device)); }

void WriteFailedMessage(const DeviceWrite& write) {
  if (!write.under_way) {
    WriteMessage(Message::SerialWriteFailed, write.error);
    return;
  }
  // A write that failed under way is said with its completion record's
  // Offset and OffsetHigh. WriteFile's page: "For a non-seeking device
  // (such as a named pipe or communications device), the Offset and
  // OffsetHigh members are ignored" (learn.microsoft.com, fileapi.h,
  // WriteFile), so for a port they stay as the record was made: zero.
  WriteMessage(Message::SerialWriteFailed, write.error, 0, 0);
}

DeviceWrite WriteDevice(DeviceHandle device, const std::uint8_t* data, std::size_t length,
                        const std::atomic<bool>* abandon) {
  // Longer than any message the bridge sends: refused whole, never cut.
  if (length > kTransmitCopyBytes) return {WriteResult::kFailed, ERROR_INVALID_PARAMETER};
  HANDLE port = AsHandle(device);
  // The driver reads from this copy until the write is done; it stays here,
  // with the completion record, until then.
  std::uint8_t transmit[kTransmitCopyBytes];
  if (length != 0) std::memcpy(transmit, data, length);

  DWORD errors = 0;
  COMSTAT status;
  // Clears a break or framing error that would stall the write.
  if (!ClearCommError(port, &errors, &status) && IsLostUncancelled(GetLastError())) {
    return {WriteResult::kLost, GetLastError()};
  }
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return {WriteResult::kFailed, GetLastError()};
  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof overlapped);
  overlapped.hEvent = event;

  DeviceWrite outcome{WriteResult::kWritten, 0};
  if (!WriteFile(port, transmit, static_cast<DWORD>(length), nullptr, &overlapped)) {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      CloseHandle(event);
      return {IsLostUncancelled(error) ? WriteResult::kLost : WriteResult::kFailed, error};
    }
    const ULONGLONG started = GetTickCount64();
    bool stall_reported = false;
    while (WaitForSingleObject(event, kWriteSliceMs) != WAIT_OBJECT_0) {
      if (abandon != nullptr && abandon->load()) {
        // Only now, with the port gone or the bridge stopping, is a started
        // write given up: cancelled, and waited for before its buffer goes.
        CancelIoEx(port, &overlapped);
        DWORD ignored = 0;
        GetOverlappedResult(port, &overlapped, &ignored, TRUE);
        CloseHandle(event);
        return {WriteResult::kAbandoned, 0};
      }
      if (!stall_reported && GetTickCount64() - started >= kStallMs) {
        WriteMessage(Message::SerialWriteTimeout, GetLastError());
        stall_reported = true;
      }
    }
    DWORD transferred = 0;
    if (!GetOverlappedResult(port, &overlapped, &transferred, FALSE)) {
      const DWORD failure = GetLastError();
      outcome = {IsLostUncancelled(failure) ? WriteResult::kLost : WriteResult::kFailed, failure,
                 true};
    }
  }
  CloseHandle(event);
  return outcome;
}

std::size_t DeviceOutputQueued(DeviceHandle device) {
  DWORD errors = 0;
  COMSTAT status;
  if (!ClearCommError(AsHandle(device), &errors, &status)) return 0;
  return status.cbOutQue;
}

std::size_t ReadDevice(DeviceHandle device, std::uint8_t* buffer, std::size_t capacity, bool* lost) {
  bool gone = false;
  HANDLE port = AsHandle(device);
  const InputState input = WaitForDeviceBytes(port);
  DWORD count = 0;
  if (input == InputState::kNothing) {
    // Silence.
  } else if (input == InputState::kLost ||
             !ReadWaitingBytes(port, buffer, capacity < MAXDWORD ? static_cast<DWORD>(capacity) : MAXDWORD,
                               &count, &gone)) {
    gone = gone || input == InputState::kLost;
    // The port has gone, or fails to read: wait out a read period instead
    // of asking again at once.
    Sleep(kReadWaitMs);
  }
  if (lost != nullptr) *lost = gone;
  return count;
}
