#include "tools/device_sim_options.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <optional>

#include "tools/artnet_packets.h"

namespace {

bool ParseCount(const std::string& option, const std::string& value, std::size_t low, std::size_t high,
                std::size_t* out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long number = strtoull(value.c_str(), &end, 10);
  if (value.empty() || value[0] == '-' || *end != '\0' || errno != 0 || number < low || number > high) {
    fprintf(stderr, "artnet-device-sim: %s takes a whole number from %zu to %zu: %s\n", option.c_str(), low, high,
            value.c_str());
    return false;
  }
  *out = static_cast<std::size_t>(number);
  return true;
}

// "none", or a list ParsePortAddresses reads.
bool ParseUniverses(const std::string& option, const std::string& value, std::vector<std::uint16_t>* out) {
  if (value == "none") {
    out->clear();
    return true;
  }
  const std::optional<std::vector<std::uint16_t>> addresses = ParsePortAddresses(value);
  if (!addresses) {
    fprintf(stderr, "artnet-device-sim: %s takes \"none\" or Port-Addresses from 0 to 32767 such as 0-3,8: %s\n",
            option.c_str(), value.c_str());
    return false;
  }
  *out = *addresses;
  return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options* options, bool* help) {
  std::string wire_only;  // An option that means nothing without a wire.
  std::size_t number = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      *help = true;
      return false;
    }
    if (option == "--timestamps") {
      options->timestamps = true;
      continue;
    }
    if (option == "--realtime") {
      options->realtime = true;
      continue;
    }
    if (i + 1 >= argc) {
      fprintf(stderr, "artnet-device-sim: %s needs a value\n", option.c_str());
      return false;
    }
    const std::string value = argv[++i];
    if (option == "--address") {
      if (inet_pton(AF_INET, value.c_str(), options->address) != 1) {  // Network order: as written.
        fprintf(stderr, "artnet-device-sim: not an IPv4 address: %s\n", value.c_str());
        return false;
      }
    } else if (option == "--short-name") {
      options->short_name = value;
    } else if (option == "--long-name") {
      options->long_name = value;
    } else if (option == "--send-hex") {
      const std::optional<std::vector<std::uint8_t>> frame = ParseHex(value);
      if (!frame) {
        fprintf(stderr, "artnet-device-sim: not hex: %s\n", value.c_str());
        return false;
      }
      options->send_on_first_bytes.push_back(*frame);
    } else if (option == "--log") {
      options->log_path = value;
    } else if (option == "--link") {
      options->link_path = value;
    } else if (option == "--ports") {
      // BindIndex, which tells the replies apart, is one byte.
      if (!ParseCount(option, value, 1, 255, &number)) return false;
      options->outputs.clear();
      for (std::size_t port = 0; port < number; ++port) options->outputs.push_back(static_cast<std::uint16_t>(port));
      options->ports_per_reply = 1;
    } else if (option == "--outputs") {
      if (!ParseUniverses(option, value, &options->outputs)) return false;
    } else if (option == "--inputs") {
      if (!ParseUniverses(option, value, &options->inputs)) return false;
    } else if (option == "--ports-per-reply") {
      if (!ParseCount(option, value, 1, 4, &number)) return false;
      options->ports_per_reply = number;
    } else if (option == "--baud") {
      if (!ParseCount(option, value, 50, 20000000, &number)) return false;
      options->baud = static_cast<std::uint32_t>(number);
    } else if (option == "--buffer") {
      if (!ParseCount(option, value, 1, 1 << 20, &number)) return false;
      options->buffer = number;
      wire_only = option;
    } else if (option == "--chunk") {
      if (!ParseCount(option, value, 1, 4096, &number)) return false;
      options->chunk = number;
      wire_only = option;
    } else if (option == "--latency-ms") {
      // An FTDI's latency timer runs from 1 to 255 ms.
      if (!ParseCount(option, value, 1, 255, &number)) return false;
      options->latency_ms = static_cast<int>(number);
      wire_only = option;
    } else {
      fprintf(stderr, "artnet-device-sim: unknown option %s\n", option.c_str());
      return false;
    }
  }
  if (PollReplyPages(PollReplyNode{}, options->outputs, options->inputs, options->ports_per_reply).size() > 255) {
    // BindIndex, which tells a node's pages apart, is one byte.
    fprintf(stderr, "artnet-device-sim: more ports than 255 replies describe\n");
    return false;
  }
  if (!wire_only.empty() && options->baud == 0) {
    fprintf(stderr, "artnet-device-sim: %s needs --baud\n", wire_only.c_str());
    return false;
  }
  return true;
}

void PrintUsage() {
  fprintf(stderr,
          "usage: artnet-device-sim [--address A.B.C.D] [--short-name TEXT] [--long-name TEXT]\n"
          "                         [--send-hex HEX]... [--log FILE] [--link PATH]\n"
          "                         [--outputs LIST] [--inputs LIST] [--ports-per-reply N]\n"
          "                         [--ports K] [--timestamps] [--realtime]\n"
          "                         [--baud N [--buffer BYTES] [--chunk BYTES] [--latency-ms MS]]\n"
          "A simulated Art-Net device on a pty: prints the pty's path, logs what it\n"
          "receives, answers ArtPoll (with K replies, one a port), and sends each line of\n"
          "hex given on standard input.\n"
          "  --outputs LIST  the Port-Addresses of its DMX outputs, such as 0-3,8, or\n"
          "                  none (none); its ArtPollReplies describe them\n"
          "  --inputs LIST   the same for DMX inputs (none)\n"
          "  --ports-per-reply N  ports a reply describes, 1 to 4 (1): a node of more\n"
          "                  sends one reply a page, told apart by BindIndex\n"
          "  --ports K       outputs 0 to K-1, one a reply\n"
          "  --baud N        the link's pace: N/10 bytes a second each way (8N1)\n"
          "  --buffer BYTES  the adapter's buffer towards the device (4096); when full,\n"
          "                  the bridge's writes block\n"
          "  --chunk BYTES   the device's bytes reach the pty in chunks of this (62)...\n"
          "  --latency-ms MS ...or sooner once the wire has been quiet this long (1)\n"
          "  --timestamps    CLOCK_MONOTONIC nanoseconds before each log line\n"
          "  --realtime      run at a real-time priority (SCHED_FIFO), so that a busy\n"
          "                  machine does not make the device late (needs root)\n"
          "Standard input: HEX (a frame to send), \"outputs LIST\" (its outputs change:\n"
          "it says so at once, in replies of its own), \"stall MS\" (with --baud),\n"
          "\"stats\", \"hangup\" (the pty goes away, then the simulator ends) and \"quit\";\n"
          "SIGINT and SIGTERM stop it too.\n");
}
