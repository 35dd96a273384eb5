#include "net/capture_socket.h"

#include <utility>

std::vector<AdapterAddress> CaptureSocket::captured() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return captured_;
}

void CaptureSocket::Publish(LocalAddress host, std::vector<AdapterAddress> captured) {
  address_.store(host, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(mutex_);
  captured_ = std::move(captured);
}
