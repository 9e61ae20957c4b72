/* SPDX-License-Identifier: BSD-3-Clause */
// An owning test wrapper around a dense matrix handle of the C interface.
#pragma once

#include <corx/corx.h>

#include <cstdint>
#include <vector>

namespace corx_test {

struct Handle {
    CorxMatrix h;
    explicit Handle(CorxMatrix m) : h(m) {}
    Handle(int32_t rows, int32_t cols, const std::vector<double>& data)
        : h(corx_matrix_create_from_buffer(rows, cols, data.data(), static_cast<int64_t>(data.size()))) {}
    ~Handle() { corx_matrix_destroy(h); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    // The elements, row-major, copied out through the interface.
    std::vector<double> data() const {
        std::vector<double> out(static_cast<std::size_t>(corx_matrix_rows(h)) * corx_matrix_cols(h));
        corx_matrix_get_buffer(h, out.data(), static_cast<int64_t>(out.size()));
        return out;
    }
};

}  // namespace corx_test
