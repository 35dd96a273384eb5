#include "console/line_writer.h"

#include <system_error>
#include <utility>

LineWriter::LineWriter(Sink sink) : sink_(std::move(sink)) {
  try {
    thread_ = std::thread(&LineWriter::Run, this);
    threaded_ = true;
  } catch (const std::system_error&) {
    // Out of threads: the lines are still written, by whoever writes them.
  }
}

LineWriter::~LineWriter() {
  if (!threaded_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  waiting_changed_.notify_all();
  thread_.join();
}

void LineWriter::Hand(std::string text) {
  if (!threaded_) {
    std::lock_guard<std::mutex> lock(direct_mutex_);
    sink_(text);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_.push_back(std::move(text));
    ++handed_;
  }
  waiting_changed_.notify_one();
}

bool LineWriter::Flush(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::uint64_t target = handed_;
  return written_changed_.wait_for(lock, limit, [&] { return written_ >= target; });
}

void LineWriter::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    waiting_changed_.wait(lock, [this] { return !waiting_.empty() || stopping_; });
    if (waiting_.empty()) return;  // Stopping, with everything written.
    std::string text = std::move(waiting_.front());
    waiting_.pop_front();
    // The sink may block for as long as the console does: never with the
    // lock held, so that handing over never waits.
    lock.unlock();
    sink_(text);
    lock.lock();
    ++written_;
    written_changed_.notify_all();
  }
}
