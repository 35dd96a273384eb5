#include "app/timed_waits.h"

void KeepTimedWaitsPrecise() {}
