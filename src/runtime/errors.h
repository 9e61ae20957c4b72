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

#include <source_location>
#include <string>
#include <vector>

namespace corx_internal {

// Where an error was raised (or re-raised): one line of the trace.
struct RaiseSite {
    std::string file;
    std::string function;
    unsigned line = 0;
};

class CorxError {
public:
    CorxError(const char* kind, std::string message, std::source_location where);
    virtual ~CorxError() = default;

    const char* kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    const std::vector<RaiseSite>& trace() const noexcept { return trace_; }

    // Records a further site the error passed through (a re-raise).
    void addSite(std::source_location where);

private:
    const char* kind_;
    std::string message_;
    std::vector<RaiseSite> trace_;
};

class ValueError : public CorxError {
public:
    explicit ValueError(std::string message,
                        std::source_location where = std::source_location::current())
        : CorxError("ValueError", std::move(message), where) {}

protected:
    ValueError(const char* kind, std::string message, std::source_location where)
        : CorxError(kind, std::move(message), where) {}
};

class Defect : public CorxError {
protected:
    Defect(const char* kind, std::string message, std::source_location where)
        : CorxError(kind, std::move(message), where) {}
};

class ArithmeticDefect : public Defect {
protected:
    ArithmeticDefect(const char* kind, std::string message, std::source_location where)
        : Defect(kind, std::move(message), where) {}
};

class DivByZeroDefect : public ArithmeticDefect {
public:
    explicit DivByZeroDefect(std::string message,
                             std::source_location where = std::source_location::current())
        : ArithmeticDefect("DivByZeroDefect", std::move(message), where) {}
};

class OverflowDefect : public ArithmeticDefect {
public:
    explicit OverflowDefect(std::string message,
                            std::source_location where = std::source_location::current())
        : ArithmeticDefect("OverflowDefect", std::move(message), where) {}
};

class UnderflowDefect : public Defect {
public:
    explicit UnderflowDefect(std::string message,
                             std::source_location where = std::source_location::current())
        : Defect("UnderflowDefect", std::move(message), where) {}
};

}  // namespace corx_internal
