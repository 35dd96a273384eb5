// The console's own writer: a thread that writes the text other threads
// hand it, in the order they handed it, so that no thread that carries the
// bridge's traffic ever waits on the console.
//
// A console can hold a write for as long as it likes: on Windows, while a
// selection is being made in its window (QuickEdit mode's click into the
// window starts one) or its output is paused, every thread that writes to
// it waits until the selection ends (microsoft/terminal issues #34 and #408);
// a pipe to a logger that stopped reading holds a write just as long. Here
// only this thread waits; the lines wait with it, and none is lost or
// reordered.
//
// Portable: the sink is the platform's blocking write.
#ifndef ARTNET_CONSOLE_LINE_WRITER_H_
#define ARTNET_CONSOLE_LINE_WRITER_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class LineWriter {
 public:
  // Writes one piece of text, however long that takes. Called on the
  // writer's thread only.
  using Sink = std::function<void(const std::string& text)>;

  // Starts the thread. Should that fail, Hand writes through `sink` itself,
  // one piece at a time, as the console was written before.
  explicit LineWriter(Sink sink);

  // Waits until everything handed over is written, then ends the thread.
  ~LineWriter();

  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Any thread: queues `text` to be written after everything handed over
  // before it, and returns without waiting for the sink.
  void Hand(std::string text);

  // Any thread: waits until everything handed over before this call has been
  // written, for at most `limit`. True when it has.
  bool Flush(std::chrono::milliseconds limit);

 private:
  void Run();

  Sink sink_;
  std::mutex mutex_;
  std::condition_variable waiting_changed_;
  std::condition_variable written_changed_;
  std::deque<std::string> waiting_;
  std::uint64_t handed_ = 0;   // Pieces handed over so far.
  std::uint64_t written_ = 0;  // Pieces the sink has finished.
  bool stopping_ = false;
  bool threaded_ = false;
  std::mutex direct_mutex_;  // Without the thread: one piece at a time.
  std::thread thread_;
};

#endif  // ARTNET_CONSOLE_LINE_WRITER_H_
