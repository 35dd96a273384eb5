// artnet-bench-peer: the controller and the device of bench/run, timed on
// one clock. Usage: artnet-bench-peer latency|stream|flood --name value...
// Each subcommand prints one JSON line of results (see latency.cpp,
// stream.cpp and flood.cpp for their options).
#include <cstring>

#include "bench/peer.h"

int main(int argc, char** argv) {
  if (argc < 2) Die("usage: artnet-bench-peer latency|stream|flood --name value...");
  const Options options(argc - 2, argv + 2);
  if (std::strcmp(argv[1], "latency") == 0) return RunLatency(options);
  if (std::strcmp(argv[1], "stream") == 0) return RunStream(options);
  if (std::strcmp(argv[1], "flood") == 0) return RunFlood(options);
  Die(std::string("unknown subcommand ") + argv[1]);
}
