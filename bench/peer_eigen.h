/* SPDX-License-Identifier: BSD-3-Clause */
// Eigen side of the peer benchmark, compiled in its own translation unit
// with the build machine's full instruction set (see CMakeLists.txt). Each
// function runs one operation on column-major n x n data and returns a value
// derived from the result, so nothing can be optimised away.
#pragma once

#include <cstdint>
#include <vector>

namespace eigen_peer {

double product(const std::vector<double>& a, const std::vector<double>& b, int n);
double luSolve(const std::vector<double>& a, const std::vector<double>& b, int n);
double cholesky(const std::vector<double>& a, int n);
double qrWithQ(const std::vector<double>& a, int n);
double jacobiSvd(const std::vector<double>& a, int n);

// Row-major sparse matrix built once from triplets; product() is timed.
struct Sparse;
Sparse* sparseFromTriplets(int rows, int cols, const std::vector<std::int64_t>& rowIdx,
                           const std::vector<std::int64_t>& colIdx, const std::vector<double>& values);
void sparseProduct(const Sparse* s, const std::vector<double>& x, std::vector<double>& y);
void sparseDestroy(Sparse* s);

}  // namespace eigen_peer
