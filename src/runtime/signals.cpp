// SPDX-License-Identifier: BSD-3-Clause
#include "runtime/signals.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>

namespace corx_internal {

const char* signalMessage(int sig) noexcept {
    switch (sig) {
        case SIGINT: return "SIGINT: Interrupted by Ctrl-C.";
        case SIGSEGV: return "SIGSEGV: Illegal storage access. (Attempt to read from nil?)";
        case SIGABRT: return "SIGABRT: Abnormal termination.";
        case SIGFPE: return "SIGFPE: Arithmetic error.";
        case SIGILL: return "SIGILL: Illegal operation.";
        default: return "unknown signal";
    }
}

namespace {

// Only async-signal-safe calls: write, signal, raise.
void onSignal(int sig) {
    char line[96];
    const char* message = signalMessage(sig);
    std::size_t n = std::strlen(message);
    std::memcpy(line, message, n);
    line[n++] = '\n';
    ssize_t ignored = ::write(STDERR_FILENO, line, n);
    (void)ignored;
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

}  // namespace

void installSignalHandlers() noexcept {
    for (int sig : {SIGINT, SIGSEGV, SIGABRT, SIGFPE, SIGILL}) {
        // A signal the process was started with ignored (a shell's
        // background job ignores SIGINT) stays ignored.
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        ::signal(sig, onSignal);
    }
    ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace corx_internal
