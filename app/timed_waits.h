// How precisely the process's timed waits end. The writer waits for the
// wire a few milliseconds at a time (serial/line_pacer.h); a wait that ends
// a whole scheduler tick late leaves the wire idle for the rest of it.
#ifndef ARTNET_APP_TIMED_WAITS_H_
#define ARTNET_APP_TIMED_WAITS_H_

// Makes timed waits end within about a millisecond of their time, for the
// rest of the process's life. Linux: nothing to do, its timed waits run on
// high-resolution timers. Windows: a wait ends on a timer tick, 15.6 ms
// apart unless the process asks for finer ones, so it asks for 1 ms, and
// for keeping them while its console is minimized or hidden. Writes
// nothing; where Windows refuses, waits stay as they were. Main thread,
// before the writer starts.
void KeepTimedWaitsPrecise();

#endif  // ARTNET_APP_TIMED_WAITS_H_
