// SPDX-License-Identifier: BSD-3-Clause
#include "runtime/signals.h"

#include <signal.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

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
#if defined(_WIN32)
    (void)::_write(2, line, static_cast<unsigned>(n));
#else
    ssize_t ignored = ::write(STDERR_FILENO, line, n);
    (void)ignored;
#endif
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

}  // namespace

#if defined(_WIN32)
// Windows has no POSIX signals: its C runtime emulates these five through
// signal() (the faults from structured exceptions, SIGINT from the console's
// Ctrl-C), without sigaction to read a disposition unchanged, so the
// previous one is read by setting ours and put back when it was "ignored".
// There is no SIGPIPE: a write to a closed pipe fails with an error instead.
void installSignalHandlers() noexcept {
    for (int sig : {SIGINT, SIGSEGV, SIGABRT, SIGFPE, SIGILL}) {
        if (::signal(sig, onSignal) == SIG_IGN) ::signal(sig, SIG_IGN);
    }
}
#else
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
#endif

}  // namespace corx_internal
