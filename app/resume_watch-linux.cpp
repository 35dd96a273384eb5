#include "app/resume_watch.h"

bool WatchForResume(std::function<void()>) { return false; }
