// Ctrl-C during a stream: the first one asks the stream to stop, so the
// device is stopped and closed and the files are finished; a second one ends
// the program at once, as usual.
#pragma once

namespace ostrel_tool {

// Catches SIGINT from now on until the guard is destroyed.
class InterruptGuard {
  public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard &) = delete;
    InterruptGuard &operator=(const InterruptGuard &) = delete;
};

bool InterruptRequested();

} // namespace ostrel_tool
