// SPDX-License-Identifier: BSD-3-Clause
// An outside C++ program built against an installed corx through
// find_package, with no language standard of its own: the corx::corx target
// must bring the C++20 that corx.hpp needs.
#include <corx/corx.hpp>
#include <corx/version.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main() {
    corx::Matrix a(2, 2, {3, 1, 1, 3});
    std::vector<double> x = corx::solve(a, std::vector<double>{1, 2});
    if (std::strcmp(corx_version(), CORX_VERSION_STRING) != 0 || x.size() != 2 || x[0] != 0.125 ||
        x[1] != 0.625) {
        std::printf("C++ consumer: unexpected results\n");
        return 1;
    }
    std::printf("C++ consumer: corx %s (headers %d.%d.%d), x = [%g, %g]\n", corx_version(), CORX_VERSION_MAJOR,
                CORX_VERSION_MINOR, CORX_VERSION_PATCH, x[0], x[1]);
    return 0;
}
