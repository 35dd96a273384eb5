// The device's port as both directions share it: one port at a time, lost
// when the device goes (an unplugged adapter, a hung-up pty) and found again
// when it comes back.
//
// The writer thread writes through Write; the main thread reads through Read
// and, when the port is lost, is the one that lets it go and looks for the
// device again, so the handle is only ever closed while nobody uses it.
#ifndef ARTNET_SERIAL_DEVICE_LINK_H_
#define ARTNET_SERIAL_DEVICE_LINK_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "serial/serial_port.h"

// How often a lost device is looked for again.
constexpr int kDeviceSearchIntervalMs = 250;

class DeviceLink {
 public:
  // Told, on the main thread, when the port is lost (false) and when a port
  // is found again and has had its probe (true).
  using Listener = std::function<void(bool connected)>;

  // `device` is the port start-up found, `path` its name.
  DeviceLink(DeviceHandle device, std::string path);

  void SetListener(Listener listener) { listener_ = std::move(listener); }

  // Writer thread: writes one whole message (WriteDevice). kLost when there
  // is no device, or it went meanwhile (the message is dropped); kAbandoned
  // when the link stopped. Failures the port reports are written
  // (SerialWriteFailed) once for each run of the same code.
  WriteResult Write(const std::uint8_t* data, std::size_t size);

  // Writer thread: what the driver still holds to send (DeviceOutputQueued).
  std::size_t OutputQueued();

  struct Read {
    std::size_t count;
    bool new_port;  // The bytes come from a port found since the last read.
  };

  // Main thread: reads the device, waiting at most about kReadWaitMs. While
  // the device is gone it waits here instead: it writes DeviceLost once,
  // looks for the device every kDeviceSearchIntervalMs (listed order, the
  // first usable port, as at start-up, the probe first), and writes
  // DeviceReconnected when it is back. Returns 0 bytes when stopped.
  Read ReadOrReconnect(std::uint8_t* buffer, std::size_t capacity);

  // Any thread: ends the link's waits (a read within kReadWaitMs, a write or
  // a search within 100 ms); reads and writes return at once from then on.
  void Stop();
  bool stopped() const { return stopped_.load(); }

  // Main thread, once the writer has ended: lets go of the port.
  void Close();

  // The port's name, or empty while there is none. Any thread.
  std::string path() const;
  bool connected() const;

 private:
  // Marks the port as lost (if `device` is still the current one) and makes
  // the writer let go of it.
  void MarkLost(DeviceHandle device);
  void Reconnect();

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  DeviceHandle device_;
  std::string path_;
  bool connected_ = true;
  int writers_ = 0;  // Writes in progress on device_.
  // Set while the port is lost or the link stopped: waiting writes give up.
  std::atomic<bool> abandon_{false};
  std::atomic<bool> stopped_{false};
  bool new_port_ = false;
  std::uint32_t last_write_error_ = 0;
  Listener listener_;
};

#endif  // ARTNET_SERIAL_DEVICE_LINK_H_
