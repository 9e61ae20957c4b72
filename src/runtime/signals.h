/* SPDX-License-Identifier: BSD-3-Clause */
// Process signal dispositions installed by the start-up.
#pragma once

namespace corx_internal {

// SIGINT, SIGSEGV, SIGABRT, SIGFPE and SIGILL: write a one-line message to
// standard error, restore the default disposition and raise the signal
// again; a signal whose disposition is SIG_IGN when this runs is left
// ignored. SIGPIPE: ignored.
void installSignalHandlers() noexcept;

// The message written for a signal, without the newline.
const char* signalMessage(int sig) noexcept;

}  // namespace corx_internal
