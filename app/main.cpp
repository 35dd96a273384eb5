// artnet-serial-bridge: carries Art-Net between this computer's IP stack and
// an Art-Net device on a serial port.
//
// It takes no arguments and reads no configuration. Start-up sets up the
// network side before any serial port is touched and finds the device; then
// each direction runs on threads of its own until the user asks it to stop:
//   network to device:
//     capture thread: CaptureSocket::Receive (every adapter) -> RunCaptureLoop
//                     (MatchArtNet) -> DeviceWriter::Offer, into its DeviceQueue
//                     (only the universes the device outputs); an ArtPoll's
//                     sender joins the PollerSet
//     writer thread:  DeviceWriter::Run, at the wire's pace (LinePacer), news
//                     first -> DeviceLink::Write -> WriteDevice
//   device to network:
//     main thread:    DeviceReadLoop: DeviceLink::ReadOrReconnect -> ReadDevice
//                     -> FrameAssembler -> AnswersFor (each poller, else the
//                     host name's address) -> SendLocalDatagram; and each
//                     frame to DeviceWriter::DeviceSent (its ArtPollReplies
//                     name the universes the device outputs)
// The device may go and come back meanwhile (DeviceLink). This file is the
// only one that sees both the network side (net/) and the device side
// (serial/): it joins them.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>

#include "app/privileges.h"
#include "app/resume_watch.h"
#include "app/status.h"
#include "app/stop_request.h"
#include "app/timed_waits.h"
#include "artnet/artnet.h"
#include "console/console.h"
#include "net/adapters.h"
#include "net/capture_loop.h"
#include "net/capture_socket.h"
#include "net/inject_socket.h"
#include "net/local_address.h"
#include "serial/device_link.h"
#include "serial/device_reader.h"
#include "serial/device_writer.h"
#include "serial/serial_port.h"

namespace {

// Milliseconds of the steady clock, as the PollerSet counts them.
std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The network-to-device direction's first half, the capture thread's body:
// every captured Art-Net packet the device is to see goes to the writer, and
// the sender of an ArtPoll is noted as a controller to answer. A failed
// receive ends the direction for good, with CommunicationError.
void CaptureToDevice(CaptureSocket& capture, DeviceWriter& writer, PollerSet& pollers) {
  const std::uint32_t error = RunCaptureLoop(
      [&capture](std::uint8_t* buffer, std::size_t capacity) {
        return capture.Receive(buffer, capacity);
      },
      [&writer, &pollers](std::uint32_t source, const std::uint8_t* payload, std::size_t size) {
        if (ArtNetOpCode(payload) == kOpPoll) pollers.Note(source, NowMs());
        writer.Offer(source, payload, size);
      });
  WriteMessage(Message::CommunicationError, error);
}

// Ends the process once the bridge has let go of its port. The capture
// thread may still be waiting for a packet and holds on to objects of
// main's: the process ends without unwinding, which nothing here needs.
// Lines still on their way to a console that holds them (a selection in its
// window) get a moment to get there.
[[noreturn]] void Exit(int code) {
  FlushConsole();
  StopCompleted();
  std::_Exit(code);
}

}  // namespace

int main() {
  InstallStopRequests();

  CaptureSocket capture;
  capture.Init();
  if (!capture.ready()) {
    WriteMessage(Message::NetworkInitFailed);
    ListenForStopRequests();
    Pause();
    return 1;
  }

  // From here on a request to stop waits until the port is let go. The
  // probe is the device's first message, before any captured packet.
  SetStopHandler([] {});
  std::string path;
  const DeviceHandle device = FindDevicePort(&StopRequested(), &path);
  if (device == kInvalidDevice) {
    if (StopRequested().load()) Exit(0);
    WriteMessage(Message::NoDeviceFound);
    // Nothing to let go of: a request at the prompt ends the process.
    SetStopHandler(nullptr);
    ListenForStopRequests();
    Pause();
    return 1;
  }

  // The last thing that needs a right: the raw socket for the device's
  // frames. Without a usable one every send says so later.
  const NativeSocket inject = CreateInjectSocket();
  DropPrivileges();
  ListenForStopRequests();
  // From here on no thread that carries traffic waits on the console: the
  // console's own thread writes every line.
  StartConsoleWriter();

  PollerSet pollers;
  DeviceLink link(device, path);
  DeviceWriter writer(link);
  link.SetListener([&writer](bool connected) { writer.SetConnected(connected); });
  SetStopHandler([&link, &writer] {
    link.Stop();
    writer.Stop();
  });
  // A port may come back from the computer's sleep open but dead: it is let
  // go and the device looked for again, as after an unplug.
  WatchForResume([&link] { link.Reopen(); });
  if (StopRequested().load()) {
    link.Stop();
    writer.Stop();
  }

  // Network to device: the capture thread for good, the writer until the
  // bridge stops.
  KeepTimedWaitsPrecise();
  std::thread writing;
  try {
    writing = std::thread(&DeviceWriter::Run, &writer);
    std::thread(CaptureToDevice, std::ref(capture), std::ref(writer), std::ref(pollers)).detach();
  } catch (const std::system_error& error) {
    // Without the threads only the device-to-network direction runs, as
    // after a capture failure, and the user is told the same way.
    WriteMessage(Message::CommunicationError, static_cast<std::uint32_t>(error.code().value()));
  }

  WriteMessage(Message::Running);
  NotifyReady();
  // The device's frames sent to the network, the sends that failed, and the
  // device's bytes that made no frame (line noise): counted on the main
  // thread, shown by the status thread.
  std::atomic<std::uint64_t> frames_to_network{0};
  std::atomic<std::uint64_t> failed_sends{0};
  std::atomic<std::uint64_t> line_noise{0};
  std::thread status;
  try {
    status = std::thread(RunStatusReporter,
                         [&link, &writer, &frames_to_network, &failed_sends, &line_noise, &capture,
                          wire = WireLoad()]() mutable {
                           const WriterCounts& counts = writer.counts();
                           StatusSnapshot snapshot{link.path(), counts.to_device.load(), counts.dropped.load(),
                                                   frames_to_network.load(), failed_sends.load()};
                           snapshot.line_noise = line_noise.load();
                           snapshot.capturing = FormatAddresses(capture.captured());
                           snapshot.universes = writer.Universes();
                           const auto now = std::chrono::steady_clock::now().time_since_epoch();
                           snapshot.wire_percent = wire.Percent(
                               std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(),
                               counts.wire_busy_ns.load());
                           snapshot.other_universes = counts.other_universes.load();
                           return snapshot;
                         },
                         [&link] { return link.stopped(); });
  } catch (const std::system_error&) {
    // The status is a convenience: the bridge runs without it.
  }

  // Device to network, on the main thread. The device's frames go to every
  // controller that polled lately, from the host's address it can accept;
  // with none, from and to the host name's address. The capture thread
  // follows both as the adapters change. The frames also tell the writer
  // which universes the device outputs.
  DeviceReadLoop(
      link,
      [inject, &capture, &pollers, &writer, &frames_to_network, &failed_sends](const std::uint8_t* frame,
                                                                               std::size_t size) {
        writer.DeviceSent(frame, size);
        bool sent_once = false;
        for (const Answer& answer : AnswersFor(pollers.Current(NowMs()), capture.captured(), capture.address())) {
          const bool sent = SendLocalDatagram(inject, answer.source, answer.destination, frame, size) >= 0;
          if (!sent) failed_sends.fetch_add(1);
          sent_once = sent_once || sent;
        }
        if (sent_once) frames_to_network.fetch_add(1);
      },
      &line_noise);

  // Stopped: the writer lets go of the port within its next look, then the
  // port is released (on Linux its exclusive mark included).
  NotifyStopping();
  writer.Stop();
  if (writing.joinable()) writing.join();
  if (status.joinable()) status.join();
  link.Close();
  Exit(0);
}
