#include "serial/port_loss.h"

namespace {

// Windows system error codes, as winerror.h names them ("System Error Codes",
// https://learn.microsoft.com/windows/win32/debug/system-error-codes).
constexpr std::uint32_t kErrorAccessDenied = 5;         // ERROR_ACCESS_DENIED
constexpr std::uint32_t kErrorNotReady = 21;            // ERROR_NOT_READY
constexpr std::uint32_t kErrorBadCommand = 22;          // ERROR_BAD_COMMAND
constexpr std::uint32_t kErrorGenFailure = 31;          // ERROR_GEN_FAILURE
constexpr std::uint32_t kErrorOperationAborted = 995;   // ERROR_OPERATION_ABORTED
constexpr std::uint32_t kErrorDeviceNotConnected = 1167;  // ERROR_DEVICE_NOT_CONNECTED
constexpr std::uint32_t kErrorDeviceRemoved = 1617;     // ERROR_DEVICE_REMOVED

}  // namespace

PortOutcome OutcomeOfWindowsError(std::uint32_t error, bool cancelled_by_bridge) {
  switch (error) {
    case 0:
      return PortOutcome::kWorked;
    case kErrorOperationAborted:
      // usbser.sys fails every call with it once its device is gone; only a
      // call the bridge cancelled itself ends so for no fault of the port.
      return cancelled_by_bridge ? PortOutcome::kCancelled : PortOutcome::kGone;
    // Serial drivers have no common way to say their device has gone. These
    // are what USB serial drivers give after a surprise removal (the last
    // two say so in as many words), and Wine gives ERROR_NOT_READY for a port
    // whose pty has hung up: the port is let go at once.
    case kErrorAccessDenied:
    case kErrorNotReady:
    case kErrorBadCommand:
    case kErrorGenFailure:
    case kErrorDeviceNotConnected:
    case kErrorDeviceRemoved:
      return PortOutcome::kGone;
    default:
      // Anything else (ERROR_INVALID_FUNCTION, ERROR_FILE_NOT_FOUND,
      // ERROR_INVALID_HANDLE and ERROR_SEM_TIMEOUT are reported from unplugged
      // adapters and from ports after a resume from sleep) counts once it
      // keeps coming.
      return PortOutcome::kFailed;
  }
}

bool FailureRun::Record(PortOutcome outcome, std::int64_t now_ms) {
  switch (outcome) {
    case PortOutcome::kWorked:
      failing_ = false;
      return false;
    case PortOutcome::kCancelled:
      return false;
    case PortOutcome::kGone:
      return true;
    case PortOutcome::kFailed:
      break;
  }
  if (!failing_) {
    failing_ = true;
    first_failure_ms_ = now_ms;
  }
  return now_ms - first_failure_ms_ > kLostAfterMs;
}
