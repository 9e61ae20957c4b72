// SPDX-License-Identifier: BSD-3-Clause
#include "runtime/report.h"

#include <cstring>

#include "runtime/memory.h"

namespace corx_internal {

namespace {

// A fixed buffer that takes a piece only if the whole piece fits. Nothing
// here allocates: the report is written when memory may be exhausted.
struct ReportBuffer {
    char text[kReportCapacity];
    std::size_t used = 0;

    bool fits(std::size_t length) const noexcept { return length <= kReportCapacity - used; }
    void put(const char* piece, std::size_t length) noexcept {
        std::memcpy(text + used, piece, length);
        used += length;
    }
    void append(const char* piece, std::size_t length) noexcept {
        if (fits(length)) put(piece, length);
    }
    void append(const char* piece) noexcept { append(piece, std::strlen(piece)); }
    void append(const std::string& piece) noexcept { append(piece.data(), piece.size()); }
};

// "(<line>) " into digits, without formatting functions; returns its length.
std::size_t lineTag(unsigned line, char (&out)[16]) noexcept {
    char reversed[10];
    std::size_t n = 0;
    do {
        reversed[n++] = static_cast<char>('0' + line % 10);
        line /= 10;
    } while (line != 0);
    std::size_t k = 0;
    out[k++] = '(';
    while (n > 0) out[k++] = reversed[--n];
    out[k++] = ')';
    out[k++] = ' ';
    return k;
}

void fill(ReportBuffer& out, const CorxError& e) noexcept {
    // One trace line per raise site, "<file>(<line>) <function>", taken
    // whole or left out whole.
    for (const RaiseSite& site : e.trace()) {
        char tag[16];
        const std::size_t tagLength = lineTag(site.line, tag);
        const std::size_t length = site.file.size() + tagLength + site.function.size() + 1;
        if (!out.fits(length)) continue;
        out.put(site.file.data(), site.file.size());
        out.put(tag, tagLength);
        out.put(site.function.data(), site.function.size());
        out.put("\n", 1);
    }
    out.append("Error: unhandled exception: ");
    out.append(e.message());
    out.append(" [");
    out.append(e.kind());
    out.append("]\n");
}

// The report goes out in one write straight to the descriptor (nothing of
// it is buffered), and the process ends the way exhaustion of memory ends it.
[[noreturn]] void writeAndExit(const ReportBuffer& out) noexcept { endProcess(out.text, out.used); }

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
