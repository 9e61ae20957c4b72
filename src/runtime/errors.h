/* SPDX-License-Identifier: BSD-3-Clause */
// Typed errors raised inside the library.
//
// Kinds, as a small hierarchy:
//   CorxError                      root: name of the kind, message, raise sites
//     ValueError                   an invalid value; the recoverable kind
//     Defect                       a violated internal precondition
//       ArithmeticDefect
//         DivByZeroDefect
//         OverflowDefect
//       UnderflowDefect
//
// Errors are C++ exceptions internally. They never cross the C boundary:
// the exported wrappers catch ValueError where their contract says so, and
// anything else that reaches a wrapper ends the process with the
// unhandled-error report (see runtime/report.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>
#include <version>
#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

namespace corx_internal {

// Where the code that raises stands: std::source_location where the
// standard library provides it; otherwise (clang 14 over libstdc++ 12, whose
// header needs a builtin that compiler lacks) the same interface through
// the per-field builtins, which both compilers have.
#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
class SourceLocation {
public:
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            const char* function = __builtin_FUNCTION(),
                                            std::uint_least32_t line = __builtin_LINE()) noexcept {
        SourceLocation s;
        s.file_ = file;
        s.function_ = function;
        s.line_ = line;
        return s;
    }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr const char* function_name() const noexcept { return function_; }
    constexpr std::uint_least32_t line() const noexcept { return line_; }

private:
    const char* file_ = "";
    const char* function_ = "";
    std::uint_least32_t line_ = 0;
};
#endif

// Where an error was raised (or re-raised): one line of the trace.
struct RaiseSite {
    std::string file;
    std::string function;
    unsigned line = 0;
};

class CorxError {
public:
    CorxError(const char* kind, std::string message, SourceLocation where);
    virtual ~CorxError() = default;

    const char* kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    const std::vector<RaiseSite>& trace() const noexcept { return trace_; }

private:
    const char* kind_;
    std::string message_;
    std::vector<RaiseSite> trace_;
};

class ValueError : public CorxError {
public:
    explicit ValueError(std::string message,
                        SourceLocation where = SourceLocation::current())
        : CorxError("ValueError", std::move(message), where) {}

protected:
    ValueError(const char* kind, std::string message, SourceLocation where)
        : CorxError(kind, std::move(message), where) {}
};

class Defect : public CorxError {
protected:
    Defect(const char* kind, std::string message, SourceLocation where)
        : CorxError(kind, std::move(message), where) {}
};

class ArithmeticDefect : public Defect {
protected:
    ArithmeticDefect(const char* kind, std::string message, SourceLocation where)
        : Defect(kind, std::move(message), where) {}
};

class DivByZeroDefect : public ArithmeticDefect {
public:
    explicit DivByZeroDefect(std::string message,
                             SourceLocation where = SourceLocation::current())
        : ArithmeticDefect("DivByZeroDefect", std::move(message), where) {}
};

class OverflowDefect : public ArithmeticDefect {
public:
    explicit OverflowDefect(std::string message,
                            SourceLocation where = SourceLocation::current())
        : ArithmeticDefect("OverflowDefect", std::move(message), where) {}
};

class UnderflowDefect : public Defect {
public:
    explicit UnderflowDefect(std::string message,
                             SourceLocation where = SourceLocation::current())
        : Defect("UnderflowDefect", std::move(message), where) {}
};

}  // namespace corx_internal
