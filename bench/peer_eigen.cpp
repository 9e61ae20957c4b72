// SPDX-License-Identifier: BSD-3-Clause
#include "peer_eigen.h"

#include <Eigen/Dense>
#include <Eigen/Sparse>
#include <Eigen/SVD>

namespace eigen_peer {

using Mat = Eigen::MatrixXd;
using Map = Eigen::Map<const Mat>;

double product(const std::vector<double>& a, const std::vector<double>& b, int n) {
    Mat c(n, n);
    c.noalias() = Map(a.data(), n, n) * Map(b.data(), n, n);
    return c(n - 1, n - 1);
}

double luSolve(const std::vector<double>& a, const std::vector<double>& b, int n) {
    Eigen::PartialPivLU<Mat> lu(Map(a.data(), n, n));
    Eigen::VectorXd x = lu.solve(Eigen::Map<const Eigen::VectorXd>(b.data(), n));
    return x(n - 1);
}

double cholesky(const std::vector<double>& a, int n) {
    Eigen::LLT<Mat> llt(Map(a.data(), n, n));
    return llt.matrixLLT()(n - 1, n - 1);
}

double qrWithQ(const std::vector<double>& a, int n) {
    Eigen::HouseholderQR<Mat> qr(Map(a.data(), n, n));
    Mat q = qr.householderQ();
    return q(n - 1, n - 1) + qr.matrixQR()(n - 1, n - 1);
}

double jacobiSvd(const std::vector<double>& a, int n) {
    Eigen::JacobiSVD<Mat> svd(Map(a.data(), n, n), Eigen::ComputeThinU | Eigen::ComputeThinV);
    return svd.singularValues()(n - 1) + svd.matrixU()(0, 0) + svd.matrixV()(0, 0);
}

struct Sparse {
    Eigen::SparseMatrix<double, Eigen::RowMajor> m;
};

Sparse* sparseFromTriplets(int rows, int cols, const std::vector<std::int64_t>& rowIdx,
                           const std::vector<std::int64_t>& colIdx, const std::vector<double>& values) {
    std::vector<Eigen::Triplet<double>> t;
    t.reserve(values.size());
    for (std::size_t k = 0; k < values.size(); ++k)
        t.emplace_back(static_cast<int>(rowIdx[k]), static_cast<int>(colIdx[k]), values[k]);
    auto* s = new Sparse{Eigen::SparseMatrix<double, Eigen::RowMajor>(rows, cols)};
    s->m.setFromTriplets(t.begin(), t.end());
    s->m.makeCompressed();
    return s;
}

void sparseProduct(const Sparse* s, const std::vector<double>& x, std::vector<double>& y) {
    Eigen::Map<Eigen::VectorXd> out(y.data(), static_cast<Eigen::Index>(y.size()));
    out.noalias() = s->m * Eigen::Map<const Eigen::VectorXd>(x.data(), static_cast<Eigen::Index>(x.size()));
}

void sparseDestroy(Sparse* s) { delete s; }

}  // namespace eigen_peer
