// Resume from sleep: a serial port can come back from the computer's sleep
// open but dead (its driver lost the device and answers nothing, or fails
// every call). The bridge lets go of the port and looks for the device
// again each time the computer resumes.
#ifndef ARTNET_APP_RESUME_WATCH_H_
#define ARTNET_APP_RESUME_WATCH_H_

#include <functional>

// From now on `on_resume` runs, on a thread of the watch's own, each time the
// computer resumes from sleep or hibernation; it must return soon.
// Windows: a hidden window of its own receives the system's WM_POWERBROADCAST.
// Linux: nothing is watched (a USB adapter is usually reset on resume and its
// old port fails, which the device link notices); returns false. False too
// when the watch cannot be set up; the bridge runs on without it. Writes
// nothing. Main thread, once, after DropPrivileges.
bool WatchForResume(std::function<void()> on_resume);

#endif  // ARTNET_APP_RESUME_WATCH_H_
