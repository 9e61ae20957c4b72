#include "runtime/report.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace corx_internal {

namespace {

// A fixed buffer that takes a piece only if the whole piece fits.
struct ReportBuffer {
    char text[kReportCapacity];
    std::size_t used = 0;

    void append(const char* piece, std::size_t length) noexcept {
        if (length > kReportCapacity - used) return;
        std::memcpy(text + used, piece, length);
        used += length;
    }
    void append(const char* piece) noexcept { append(piece, std::strlen(piece)); }
    void append(const std::string& piece) noexcept { append(piece.data(), piece.size()); }
};

void fill(ReportBuffer& out, const CorxError& e) noexcept {
    for (const RaiseSite& site : e.trace()) {
        char line[32];
        int n = std::snprintf(line, sizeof line, "(%u) ", site.line);
        std::string entry = site.file;
        entry.append(line, static_cast<std::size_t>(n));
        entry += site.function;
        entry += '\n';
        out.append(entry);
    }
    out.append("Error: unhandled exception: ");
    out.append(e.message());
    out.append(" [");
    out.append(e.kind());
    out.append("]\n");
}

[[noreturn]] void writeAndExit(const ReportBuffer& out) noexcept {
    ssize_t ignored = ::write(STDERR_FILENO, out.text, out.used);
    (void)ignored;
    std::fflush(stderr);
    std::exit(1);
}

}  // namespace

std::string formatUnhandled(const CorxError& e) {
    ReportBuffer out;
    fill(out, e);
    return std::string(out.text, out.used);
}

void reportUnhandled(const CorxError& e) noexcept {
    static ReportBuffer out;  // no allocation needed on this path
    out.used = 0;
    fill(out, e);
    writeAndExit(out);
}

void reportUnhandledForeign() noexcept {
    static ReportBuffer out;
    out.used = 0;
    out.append("Error: unhandled exception: unknown error [Exception]\n");
    writeAndExit(out);
}

}  // namespace corx_internal
