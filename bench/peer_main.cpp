// artnet-bench-peer: the controller (and on a bare pty the device) of
// bench/run, timed on one clock. Usage: artnet-bench-peer SUBCOMMAND
// --name value... Most subcommands print one JSON line of results; see
// latency.cpp, stream.cpp (stream, parse), frames.cpp (frames, listen) and
// flood.cpp (flood, flood-check) for their options and output.
#include <cstring>
#include <utility>

#include "bench/peer.h"

int main(int argc, char** argv) {
  if (argc < 2) Die("usage: artnet-bench-peer SUBCOMMAND --name value...");
  const Options options(argc - 2, argv + 2);
  const std::pair<const char*, int (*)(const Options&)> subcommands[] = {
      {"latency", RunLatency}, {"stream", RunStream}, {"parse", RunParse}, {"frames", RunFrames},
      {"listen", RunListen},   {"flood", RunFlood},   {"flood-check", RunFloodCheck}};
  for (const auto& [name, run] : subcommands) {
    if (std::strcmp(argv[1], name) == 0) return run(options);
  }
  Die(std::string("unknown subcommand ") + argv[1]);
}
