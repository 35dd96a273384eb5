// artnet-bench-peer: the controller and the device of bench/run, timed on
// one clock. Usage: artnet-bench-peer latency|stream|flood|usage --name value...
// Each subcommand prints one JSON line of results (see latency.cpp,
// stream.cpp and flood.cpp for their options; "usage --watch-pid PID" gives
// a process's CPU time and memory as ReadProcessUsage reads them).
#include <cstring>

#include "bench/peer.h"

int main(int argc, char** argv) {
  if (argc < 2) Die("usage: artnet-bench-peer latency|stream|flood|usage --name value...");
  const Options options(argc - 2, argv + 2);
  if (std::strcmp(argv[1], "latency") == 0) return RunLatency(options);
  if (std::strcmp(argv[1], "stream") == 0) return RunStream(options);
  if (std::strcmp(argv[1], "flood") == 0) return RunFlood(options);
  if (std::strcmp(argv[1], "usage") == 0) {
    const ProcessUsage usage = ReadProcessUsage(static_cast<int>(options.Number("watch-pid", 0)));
    JsonLine().Add("cpu_ns", static_cast<double>(usage.cpu_ns))
        .Add("rss_kb", static_cast<double>(usage.rss_kb))
        .Add("hwm_kb", static_cast<double>(usage.hwm_kb))
        .Print();
    return 0;
  }
  Die(std::string("unknown subcommand ") + argv[1]);
}
