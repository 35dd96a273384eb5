#include "net/adapters.h"

#include <algorithm>
#include <cstring>

namespace {

// An address in host byte order, for the arithmetic of prefixes. Network
// byte order is big-endian whatever the host is: the first byte in memory
// is the most significant.
std::uint32_t HostOrder(LocalAddress address) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address);
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

bool OnNetworkOf(const AdapterAddress& own, LocalAddress peer) {
  if (own.prefix_length <= 0) return true;
  const int length = own.prefix_length > 32 ? 32 : own.prefix_length;
  const std::uint32_t mask = length == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> length);
  return (HostOrder(own.address) & mask) == (HostOrder(peer) & mask);
}

const AdapterAddress* Find(const std::vector<AdapterAddress>& captured, LocalAddress address) {
  for (const AdapterAddress& entry : captured) {
    if (entry.address == address) return &entry;
  }
  return nullptr;
}

// The source for a controller on the host itself, at `own`.
LocalAddress SourceForLocal(const AdapterAddress& own, const std::vector<AdapterAddress>& captured,
                            LocalAddress host) {
  for (const AdapterAddress& other : captured) {
    if (other.address != own.address && other.interface_index == own.interface_index) return other.address;
  }
  if (host != own.address && Find(captured, host) != nullptr) return host;
  for (const AdapterAddress& other : captured) {
    if (other.address != own.address) return other.address;
  }
  if (host != 0 && host != own.address) return host;
  return own.address;
}

// The source for a poller elsewhere.
LocalAddress SourceForRemote(LocalAddress poller, const std::vector<AdapterAddress>& captured,
                             LocalAddress host) {
  const AdapterAddress* best = nullptr;
  for (const AdapterAddress& own : captured) {
    if (OnNetworkOf(own, poller) && (best == nullptr || own.prefix_length > best->prefix_length)) best = &own;
  }
  if (best != nullptr) return best->address;
  if (IsLoopbackAddress(host) && !captured.empty()) return captured.front().address;
  return host;
}

}  // namespace

bool IsLoopbackAddress(LocalAddress address) { return (HostOrder(address) >> 24) == 127; }

std::vector<AdapterAddress> AddressesToCapture(const std::vector<AdapterAddress>& found) {
  std::vector<AdapterAddress> captured;
  for (const AdapterAddress& entry : found) {
    if (captured.size() == kMaxCapturedAddresses) break;
    if (!entry.up || entry.loopback || entry.address == 0 || IsLoopbackAddress(entry.address)) continue;
    if (Find(captured, entry.address) != nullptr) continue;
    captured.push_back(entry);
  }
  return captured;
}

bool HostAddressIsHeld(LocalAddress host, const std::vector<AdapterAddress>& captured) {
  return host != 0 && (IsLoopbackAddress(host) || Find(captured, host) != nullptr);
}

std::string FormatAddress(LocalAddress address) {
  const std::uint32_t value = HostOrder(address);
  return std::to_string(value >> 24) + "." + std::to_string((value >> 16) & 0xFF) + "." +
         std::to_string((value >> 8) & 0xFF) + "." + std::to_string(value & 0xFF);
}

std::string FormatAddresses(const std::vector<AdapterAddress>& addresses) {
  std::string text;
  for (const AdapterAddress& entry : addresses) {
    if (!text.empty()) text += ' ';
    text += FormatAddress(entry.address);
  }
  return text;
}

void PollerSet::Note(LocalAddress poller, std::int64_t now_ms) {
  // No datagram can be sent to 0.0.0.0: a host without an address yet.
  if (poller == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  for (Entry& entry : entries_) {
    if (entry.address == poller) {
      entry.last_ms = now_ms;
      return;
    }
  }
  if (entries_.size() < kCapacity) {
    entries_.push_back({poller, now_ms});
    return;
  }
  // Full: the one heard from longest ago gives way.
  auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                 [](const Entry& a, const Entry& b) { return a.last_ms < b.last_ms; });
  *oldest = {poller, now_ms};
}

std::vector<LocalAddress> PollerSet::Current(std::int64_t now_ms) const {
  std::vector<Entry> recent;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& entry : entries_) {
      if (now_ms - entry.last_ms <= kKeepMs) recent.push_back(entry);
    }
  }
  std::stable_sort(recent.begin(), recent.end(),
                   [](const Entry& a, const Entry& b) { return a.last_ms > b.last_ms; });
  std::vector<LocalAddress> addresses;
  for (const Entry& entry : recent) addresses.push_back(entry.address);
  return addresses;
}

std::vector<Answer> AnswersFor(const std::vector<LocalAddress>& pollers,
                               const std::vector<AdapterAddress>& captured, LocalAddress host) {
  if (pollers.empty()) return {{host, host}};
  std::vector<Answer> answers;
  for (const LocalAddress poller : pollers) {
    const AdapterAddress* own = Find(captured, poller);
    const LocalAddress source =
        own != nullptr ? SourceForLocal(*own, captured, host) : SourceForRemote(poller, captured, host);
    answers.push_back({source, poller});
  }
  return answers;
}

bool TakeCaptured(std::size_t from, const std::vector<HeldCapture>& held, const std::uint8_t* packet,
                  std::size_t size) {
  if (from >= held.size() || held[from].interface_index == 0) return true;
  const HeldCapture& own = held[from];
  for (std::size_t i = 0; i < held.size(); ++i) {
    const HeldCapture& other = held[i];
    if (!other.receive_all || other.interface_index != own.interface_index) continue;
    // The adapter's first socket in receive-all mode takes everything.
    if (i == from) return true;
    if (size < 20) return true;  // No IPv4 header: the filter drops it.
    LocalAddress source = 0, destination = 0;
    std::memcpy(&source, packet + 12, sizeof source);
    std::memcpy(&destination, packet + 16, sizeof destination);
    if (destination != own.address) return false;
    for (const HeldCapture& capture : held) {
      if (capture.address == source) return true;
    }
    return false;
  }
  return true;
}

CaptureVerdict JudgeCapture(const std::vector<AdapterOutcome>& outcomes) {
  CaptureVerdict verdict;
  bool kept = false;
  for (const AdapterOutcome& outcome : outcomes) {
    switch (outcome.step) {
      case AdapterOutcome::Step::kNoSocket:
        verdict = CaptureVerdict{};
        verdict.need_administrator = true;
        verdict.administrator_error = outcome.error;
        verdict.failed = true;
        return verdict;
      case AdapterOutcome::Step::kNotBound:
        verdict.refused.push_back(outcome);
        break;
      case AdapterOutcome::Step::kReceiveAllRefused:
        verdict.refused.push_back(outcome);
        kept = true;
        break;
      case AdapterOutcome::Step::kCapturing:
        verdict.completed = true;
        kept = true;
        break;
    }
  }
  verdict.failed = !kept;
  return verdict;
}
