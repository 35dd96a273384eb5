#include "serial/device_writer.h"

#include <chrono>

namespace {

Nanoseconds Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::chrono::steady_clock::time_point AsTimePoint(Nanoseconds at) {
  return std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(at)));
}

}  // namespace

DeviceWriter::DeviceWriter(DeviceLink& link)
    : link_(link), pacer_(kDeviceBaudRate, kLead, kDrainEvery, kDrain) {}

void DeviceWriter::Offer(std::uint32_t source, const std::uint8_t* payload, std::size_t size) {
  DeviceQueue::Offered offered;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_ || stopped_) {
      counts_.dropped.fetch_add(1);
      return;
    }
    offered = queue_.Offer(source, payload, size);
  }
  if (offered == DeviceQueue::Offered::kQueued || offered == DeviceQueue::Offered::kDisplaced) {
    wake_.notify_one();
  }
  if (offered != DeviceQueue::Offered::kQueued) counts_.dropped.fetch_add(1);
}

void DeviceWriter::SetConnected(bool connected) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = connected;
    if (!connected) counts_.dropped.fetch_add(queue_.Clear());
    // A new port's wire starts idle.
    pacer_.Reset();
  }
  wake_.notify_one();
}

void DeviceWriter::Run() {
  QueuedPacket packet;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopped_ || (connected_ && !queue_.empty()); });
    if (stopped_) return;
    // Wait for the wire with the packet still in the queue, where newer DMX
    // of its stream replaces it.
    lock.unlock();
    const std::size_t driver_queued = link_.OutputQueued();
    const Nanoseconds now = Now();
    lock.lock();
    const Nanoseconds at = pacer_.NextWriteAt(now, driver_queued);
    if (at > now) {
      wake_.wait_until(lock, AsTimePoint(at), [this] { return stopped_; });
      continue;  // Look again: the port may have gone meanwhile.
    }
    if (!connected_ || !queue_.Take(&packet)) continue;
    lock.unlock();
    const Nanoseconds started = Now();
    const WriteResult result = link_.Write(packet.bytes.data(), packet.size);
    lock.lock();
    if (result == WriteResult::kWritten) {
      // Counted from when the write started: where a write returns only once
      // the bytes are on their way (Windows), it has used up the wire's time.
      pacer_.Wrote(packet.size, started);
      counts_.to_device.fetch_add(1);
    } else {
      counts_.dropped.fetch_add(1);
    }
  }
}

void DeviceWriter::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  wake_.notify_one();
}
