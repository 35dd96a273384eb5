#include "serial/device_link.h"

#include <chrono>
#include <utility>

#include "console/console.h"

DeviceLink::DeviceLink(DeviceHandle device, std::string path)
    : device_(device), path_(std::move(path)) {}

WriteResult DeviceLink::Write(const std::uint8_t* data, std::size_t size) {
  DeviceHandle device;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_.load()) return WriteResult::kAbandoned;
    if (!connected_) return WriteResult::kLost;
    device = device_;
    ++writers_;
  }
  const DeviceWrite write = WriteDevice(device, data, size, &abandon_);
  bool report = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --writers_;
    // A port that refuses every write would otherwise fill the console.
    report = write.result == WriteResult::kFailed && write.error != last_write_error_;
    last_write_error_ = write.result == WriteResult::kFailed ? write.error : 0;
  }
  changed_.notify_all();
  if (report) WriteFailedMessage(write);
  if (write.result == WriteResult::kLost) MarkLost(device);
  return write.result;
}

std::size_t DeviceLink::OutputQueued() {
  std::lock_guard<std::mutex> lock(mutex_);
  // Only a quick query: it may run on the port while the lock is held.
  return connected_ ? DeviceOutputQueued(device_) : 0;
}

void DeviceLink::MarkLost(DeviceHandle device) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_ || device != device_) return;
    connected_ = false;
    abandon_.store(true);
  }
  changed_.notify_all();
}

DeviceLink::Read DeviceLink::ReadOrReconnect(std::uint8_t* buffer, std::size_t capacity) {
  if (stopped_.load()) return {0, false};
  DeviceHandle device;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    device = device_;
    if (!connected_) device = kInvalidDevice;
  }
  if (device == kInvalidDevice) {
    Reconnect();
    return {0, false};
  }
  bool lost = false;
  // Only this thread closes the port, so it stays open while read.
  const std::size_t count = ReadDevice(device, buffer, capacity, &lost);
  if (lost) MarkLost(device);
  std::lock_guard<std::mutex> lock(mutex_);
  const bool new_port = std::exchange(new_port_, false);
  return {count, new_port};
}

void DeviceLink::Reconnect() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // The writer lets go within its next look at abandon_.
    changed_.wait(lock, [this] { return writers_ == 0; });
    if (device_ != kInvalidDevice) {
      // Closed first: a returning adapter cannot be opened while the old
      // handle holds it, and Linux names it anew (ttyUSB1) meanwhile.
      CloseDevicePort(device_);
      device_ = kInvalidDevice;
      path_.clear();
    }
  }
  if (stopped_.load()) return;
  if (listener_) listener_(false);
  WriteMessage(Message::DeviceLost);
  for (;;) {
    std::string path;
    const DeviceHandle found = FindDevicePort(&stopped_, &path);
    if (found != kInvalidDevice) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        device_ = found;
        path_ = path;
        connected_ = true;
        new_port_ = true;
        last_write_error_ = 0;
        abandon_.store(stopped_.load());
      }
      if (listener_) listener_(true);
      WriteMessage(Message::DeviceReconnected);
      return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(kDeviceSearchIntervalMs),
                      [this] { return stopped_.load(); });
    if (stopped_.load()) return;
  }
}

void DeviceLink::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_.store(true);
    abandon_.store(true);
  }
  changed_.notify_all();
}

void DeviceLink::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (device_ != kInvalidDevice) CloseDevicePort(device_);
  device_ = kInvalidDevice;
  connected_ = false;
  path_.clear();
}

std::string DeviceLink::path() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return path_;
}

bool DeviceLink::connected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}
