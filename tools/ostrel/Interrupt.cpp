#include "Interrupt.h"

#include <csignal>

namespace ostrel_tool {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int signalNumber) {
    g_interrupted = 1;
    // The next Ctrl-C takes the default way out.
    std::signal(signalNumber, SIG_DFL);
}

} // namespace

InterruptGuard::InterruptGuard() {
    g_interrupted = 0;
    std::signal(SIGINT, OnInterrupt);
}

InterruptGuard::~InterruptGuard() {
    std::signal(SIGINT, SIG_DFL);
}

bool InterruptRequested() {
    return g_interrupted != 0;
}

} // namespace ostrel_tool
