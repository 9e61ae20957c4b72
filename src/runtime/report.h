/* SPDX-License-Identifier: BSD-3-Clause */
// The report of an unhandled error, written just before the process ends.
#pragma once

#include <cstddef>
#include <string>

#include "runtime/errors.h"

namespace corx_internal {

// Capacity of the report: pieces that would not fit are left out whole.
inline constexpr std::size_t kReportCapacity = 2000;

// The report text: one line per recorded raise site, then
// "Error: unhandled exception: <message> [<kind>]" and a newline.
std::string formatUnhandled(const CorxError& e);

// Formats the report into a static buffer without allocating and ends the
// process with it the way exhaustion of memory does (endProcess in
// runtime/memory.h): one write to standard error, then status 1 at once.
[[noreturn]] void reportUnhandled(const CorxError& e) noexcept;

// The same for an exception that is not one of the library's kinds.
[[noreturn]] void reportUnhandledForeign() noexcept;

}  // namespace corx_internal
