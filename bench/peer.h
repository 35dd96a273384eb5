// The benchmark's peer: the controller, and on a bare pty the device too, so
// that one process times both ends of a hop on one clock; on the wire the
// simulated device is the device and its timed log the other end. This
// header holds what its measurements share: clocks, sockets opened in other
// network namespaces, reads of the device's end of the pty and the frames the
// device sends. The packets themselves come from tools/artnet_packets.
//
// Linux only, like the benchmark itself; run as root (it enters network
// namespaces).
#ifndef ARTNET_BENCH_PEER_H_
#define ARTNET_BENCH_PEER_H_

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/artnet_packets.h"

// CLOCK_MONOTONIC in nanoseconds.
std::int64_t NowNs();
// Sleeps until NowNs() reaches `deadline` (returns at once when it has).
void SleepUntilNs(std::int64_t deadline);

// The options of a subcommand, given as "--name value" pairs.
class Options {
 public:
  Options(int argc, char** argv);
  std::string Text(const std::string& name, const std::string& fallback = "") const;
  long long Number(const std::string& name, long long fallback) const;
  double Real(const std::string& name, double fallback) const;
  bool Has(const std::string& name) const { return values_.count(name) != 0; }

 private:
  std::map<std::string, std::string> values_;
};

// Keeps the calling thread on processor `cpu`; does nothing for a negative one.
void PinThisThread(int cpu);

// Ends the process with a message on stderr and exit code 2.
[[noreturn]] void Die(const std::string& what);

// "10.77.0.1:6454" as a socket address.
sockaddr_in ParseEndpoint(const std::string& text);

// A UDP socket created inside the network namespace at `netns_path` (a file
// under /run/netns, or "" for this process's own), optionally bound to
// `bind_to` ("" for none). Receive buffer set to `receive_buffer` bytes when
// not 0. Call before starting threads: it switches this thread's namespace
// and back.
int OpenUdp(const std::string& netns_path, const std::string& bind_to, int receive_buffer = 0);

// Polls `fd` for input at most `timeout_ms` and reads what is there.
// Returns the count read, 0 on a time-out, -1 on an error (EIO from a pty
// master whose slave is closed counts as an error).
long ReadWithin(int fd, std::uint8_t* buffer, std::size_t capacity, int timeout_ms);
// Reads and drops whatever `fd` holds, waiting at most `quiet_ms` for more.
std::size_t Drain(int fd, int quiet_ms);
// Writes all of `data`, retrying short writes. False on an error.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t size);

// The frame the device sends: an ArtPollReply whose node report carries
// `sequence`, then CR LF; `size` bytes (at least kPollReplyFrameSize), the
// reply padded with printable filler before the CR LF where it is longer.
std::vector<std::uint8_t> DeviceFrame(std::uint64_t sequence, std::size_t size = kPollReplyFrameSize);

// Writes one JSON object per line to stdout: the orchestrator's input.
class JsonLine {
 public:
  JsonLine& Add(const std::string& key, double value);
  JsonLine& Add(const std::string& key, const std::string& value);
  void Print() const;

 private:
  std::string body_;
};

// The subcommands (latency.cpp, stream.cpp, frames.cpp, flood.cpp).
int RunLatency(const Options& options);
int RunStream(const Options& options);
int RunParse(const Options& options);
int RunFrames(const Options& options);
int RunListen(const Options& options);
int RunFlood(const Options& options);
int RunFloodCheck(const Options& options);

#endif  // ARTNET_BENCH_PEER_H_
