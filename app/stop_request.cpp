#include "app/stop_request.h"

#include <mutex>
#include <utility>

namespace {

std::mutex g_mutex;
std::function<void()> g_on_stop;
bool g_handled = false;
std::atomic<bool> g_requested{false};

}  // namespace

void SetStopHandler(std::function<void()> on_stop) {
  std::function<void()> run_now;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_on_stop = std::move(on_stop);
    // A request that came while none was set still counts.
    if (g_requested.load() && !g_handled && g_on_stop) {
      g_handled = true;
      run_now = g_on_stop;
    }
  }
  if (run_now) run_now();
}

const std::atomic<bool>& StopRequested() { return g_requested; }

bool OnStopRequest() {
  std::function<void()> on_stop;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_requested.store(true);
    if (!g_on_stop) return false;
    if (g_handled) return true;
    g_handled = true;
    on_stop = g_on_stop;
  }
  on_stop();
  return true;
}
