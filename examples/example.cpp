// SPDX-License-Identifier: BSD-3-Clause
// corx from C++: owning matrix types, exceptions for failures.
// Build: c++ -std=c++20 example.cpp -Iinclude -Lbuild -lcorx
#include <corx/corx.hpp>

#include <cstdio>
#include <vector>

static void print(const char* name, const corx::Matrix& m) {
    std::printf("%s (%d x %d):\n", name, m.rows(), m.cols());
    for (int i = 0; i < m.rows(); ++i) {
        std::printf("  [");
        for (int j = 0; j < m.cols(); ++j) std::printf(" %.17g", m.at(i, j));
        std::printf(" ]\n");
    }
}

int main() {
    std::printf("corx %s\n", corx::version().data());

    // Handles are released by the destructors; nothing to destroy by hand.
    const corx::Matrix a(3, 3, {4, 2, 0,
                                2, 5, 1,
                                0, 1, 3});
    const std::vector<double> b{2, 1, 3};

    const std::vector<double> x = corx::solve(a, b);  // LU, one refinement step
    std::printf("solve a*x = b: x = [%.17g %.17g %.17g]\n", x[0], x[1], x[2]);
    std::printf("det(a) = %.17g\n", corx::determinant(a));
    print("a * transpose(a) - 2a", a * corx::transpose(a) - 2.0 * a);

    const corx::Matrix l = corx::cholesky(a);
    print("cholesky(a)", l);
    std::printf("L*L^T == a within 1e-15: %s\n", corx::almost_equal(l * corx::transpose(l), a, 1e-15) ? "yes" : "no");

    const auto [q, r] = corx::qr(a);
    print("R of a = Q*R", r);
    const auto [u, s, v] = corx::svd(a);
    std::printf("singular values: %.17g %.17g %.17g\n", s[0], s[1], s[2]);

    const corx::SparseMatrix sp(a);
    const std::vector<double> y = sp * x;  // back to b, up to rounding
    std::printf("sparse (%d stored): a*x = [%.17g %.17g %.17g]\n", sp.nnz(), y[0], y[1], y[2]);

    const corx::Vec3 n = corx::cross(corx::Vec3{1, 0, 0}, corx::Vec3{0, 1, 0});
    std::printf("cross(x, y) = (%g, %g, %g)\n", n.x, n.y, n.z);

    // Failures arrive as corx::Error with the library's status text.
    try {
        (void)corx::solve(corx::Matrix(2, 2, {1, 2, 2, 4}), std::vector<double>{1, 1});
        return 1;
    } catch (const corx::Error& e) {
        std::printf("caught: %s (status %d)\n", e.what(), e.code());
    }
    try {
        (void)corx::cholesky(corx::Matrix(2, 2, {1, 2, 2, 1}));
        return 1;
    } catch (const corx::Error& e) {
        std::printf("caught: %s (status %d)\n", e.what(), e.code());
    }
    return 0;
}
