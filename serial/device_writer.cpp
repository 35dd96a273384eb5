#include "serial/device_writer.h"

#include <chrono>
#include <optional>

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
  bool wake = false;
  const std::optional<UniverseKey> universe = DmxUniverse(payload, size);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_ || stopped_) {
      counts_.dropped.fetch_add(1);
      return;
    }
    if (universe && !outputs_.Outputs(universe->port_address())) {
      counts_.other_universes.fetch_add(1);
      return;
    }
    offered = queue_.Offer(source, payload, size);
    if (offered != DeviceQueue::Offered::kDropped) ++offers_;
    // A packet that took a waiting one's place may be news where a repeat
    // waited: that wakes a writer waiting for the wire with repeats alone.
    wake = offered == DeviceQueue::Offered::kQueued || offered == DeviceQueue::Offered::kDisplaced ||
           (offered == DeviceQueue::Offered::kReplaced && repeats_wait_);
  }
  if (wake) wake_.notify_one();
  if (offered != DeviceQueue::Offered::kQueued) counts_.dropped.fetch_add(1);
}

void DeviceWriter::SetConnected(bool connected) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = connected;
    if (!connected) counts_.dropped.fetch_add(queue_.Clear());
    // Another port may hold another device, and the same one may come back
    // with other settings: it says again what it outputs.
    outputs_.Forget();
    // A new port's wire starts idle.
    pacer_.Reset();
  }
  wake_.notify_one();
}

void DeviceWriter::DeviceSent(const std::uint8_t* frame, std::size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  outputs_.Learn(frame, size);
}

std::vector<std::uint16_t> DeviceWriter::Universes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outputs_.PortAddresses();
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
    // Only repeats waiting: they wait for an idle wire, and news that comes
    // meanwhile is looked at at once.
    const bool repeats = queue_.OnlyRepeatsWait(now);
    const Nanoseconds at = pacer_.NextWriteAt(now, driver_queued, repeats);
    if (at > now) {
      const std::uint64_t offers = offers_;
      repeats_wait_ = repeats;
      wake_.wait_until(lock, AsTimePoint(at), [this, repeats, offers] {
        return stopped_ || (repeats && offers_ != offers);
      });
      repeats_wait_ = false;
      continue;  // Look again: the port may have gone meanwhile.
    }
    if (!connected_ || !queue_.Take(now, &packet)) continue;
    const std::optional<UniverseKey> universe = DmxUniverse(packet.bytes.data(), packet.size);
    if (universe && !outputs_.Outputs(universe->port_address())) {
      // Waiting since before the device's reply said it is not its.
      counts_.other_universes.fetch_add(1);
      continue;
    }
    lock.unlock();
    const Nanoseconds started = Now();
    const WriteResult result = link_.Write(packet.bytes.data(), packet.size);
    lock.lock();
    if (result == WriteResult::kWritten) {
      // Counted from when the write started: where a write returns only once
      // the bytes are on their way (Windows), it has used up the wire's time.
      pacer_.Wrote(packet.size, started);
      counts_.to_device.fetch_add(1);
      counts_.wire_busy_ns.fetch_add(static_cast<std::uint64_t>(pacer_.WireTime(packet.size)));
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
