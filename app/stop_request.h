// Requests to end the bridge from outside: SIGINT (Ctrl+C), SIGTERM and
// SIGHUP on Linux; Ctrl+C, Ctrl+Break and closing the console window on
// Windows. They end up in one place, so that the bridge lets go of its port
// before it ends, whenever the request comes.
#ifndef ARTNET_APP_STOP_REQUEST_H_
#define ARTNET_APP_STOP_REQUEST_H_

#include <atomic>
#include <functional>

// Installs the handling. Also makes a standard output that has closed (a pipe
// to a logger that ended) harmless: writes to it fail instead of ending the
// process. Main thread, first thing, before any other thread starts.
void InstallStopRequests();

// From now on requests are acted on. On Linux the signals are taken by a
// thread of its own, started here, and wait until then: start it after
// DropPrivileges, since a thread keeps the capabilities it started with.
// Main thread, once.
void ListenForStopRequests();

// `on_stop` runs once, on the thread that took the request, and must only
// ask the bridge to stop (it returns at once). Until one is set, a request
// ends the process with exit code 1, after putting the console back as it
// was (the start-up failure's key prompt changes it).
void SetStopHandler(std::function<void()> on_stop);

// True once a request has come. Any thread.
const std::atomic<bool>& StopRequested();

// Main thread: the bridge has let go of everything. On Windows, closing the
// console window waits for this (a few seconds at most) before the process
// ends.
void StopCompleted();

// The platforms' handling calls this for each request. Returns false when no
// handler is set yet (the caller then ends the process itself).
bool OnStopRequest();

#endif  // ARTNET_APP_STOP_REQUEST_H_
