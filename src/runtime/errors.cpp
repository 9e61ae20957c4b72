// SPDX-License-Identifier: BSD-3-Clause
#include "runtime/errors.h"

namespace corx_internal {

CorxError::CorxError(const char* kind, std::string message, SourceLocation where)
    : kind_(kind), message_(std::move(message)) {
    trace_.push_back(RaiseSite{where.file_name(), where.function_name(), where.line()});
}

}  // namespace corx_internal
