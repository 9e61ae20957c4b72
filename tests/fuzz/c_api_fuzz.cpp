// SPDX-License-Identifier: BSD-3-Clause
// Differential fuzz target for the C interface.
//
// The input bytes are decoded into a sequence of calls over every exported
// function. Shapes come from a pool that includes 0, negative and huge
// values; buffer lengths are exact, one short, one long or wild; any pointer
// may be NULL, and the two handle outputs of QR and SVD may be one pointer;
// doubles come from a pool of special values (signed zeros, infinities,
// NaN, subnormals, the largest finite, values that tie in
// pivoting) or straight from the input. For every call the target checks:
//  - the documented result kind (handle or NULL, count, status, flag);
//  - on failure, caller buffers and out-parameters are untouched (they are
//    filled with a canary before the call);
//  - handle invariants: every live handle keeps the shape and the bits its
//    shadow copy says it has, and operands are never changed;
//  - for the small shapes used here, the numerical results are bit-equal to
//    the plain reference forms.
// Any mismatch aborts, which libFuzzer reports as a crash with the input.
#include <corx/corx.h>

#include <cmath>
#include <csignal>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

// References: the plain forms kept in the test tree (products, LU and its
// solve, residual, Cholesky, QR, SVD).
#include "algorithms/lu.h"
#include "arithmetic/primitives.h"
#include "runtime/errors.h"
#include "support/reference.h"
#include "support/reference_cholesky.h"
#include "support/reference_lu.h"
#include "support/reference_qr.h"
#include "support/reference_residual.h"
#include "support/reference_svd.h"
#include "types/matrix.h"

namespace {

constexpr std::int64_t kMaxElements = 2147483647;
// Shapes that would really allocate are kept this small (up to 24 x 24,
// past the lowered large-block size of the fuzz builds, so that blocks are
// mapped, kept and reused); larger shapes only reach the library where the
// call must fail before allocating anything.
constexpr std::int64_t kSmallElements = 576;
constexpr int kSlots = 6;
constexpr double kCanary = -1234.5678e-77;

#define CHECK(cond)                                                                    \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            std::fprintf(stderr, "fuzz check failed at line %d: %s\n", __LINE__, #cond); \
            std::abort();                                                              \
        }                                                                              \
    } while (0)

std::uint64_t bitsOf(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Bit-equal, except that any NaN matches any NaN: the payload a NaN operand
// leaves behind depends on operand order, which the contract does not fix.
bool same(double a, double b) { return bitsOf(a) == bitsOf(b) || (std::isnan(a) && std::isnan(b)); }

bool sameSeq(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same(a[i], b[i])) return false;
    return true;
}

class Input {
public:
    Input(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    bool done() const { return pos_ >= n_; }
    std::uint8_t byte() { return pos_ < n_ ? p_[pos_++] : 0; }
    bool flag() { return byte() & 1; }

    double value() {
        static const double pool[] = {
            0.0, -0.0, 1.0, -1.0, 2.0, -2.0, 0.5, 3.0, 4.0, -4.0, 1e-3, 7.0,
            std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
            std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::denorm_min(),
            -std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
            std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
            1e-300, 1e300, std::numeric_limits<double>::epsilon(), 1.0 + std::numeric_limits<double>::epsilon(),
            // pairs of equal magnitude: ties for the partial pivot search
            5.0, -5.0, 0.1, -0.1,
        };
        const std::uint8_t k = byte();
        constexpr std::size_t poolSize = sizeof pool / sizeof pool[0];
        if (k < 224) return pool[k % poolSize];
        std::uint64_t raw = 0;
        for (int i = 0; i < 8; ++i) raw = (raw << 8) | byte();
        double v;
        std::memcpy(&v, &raw, sizeof v);
        return v;
    }

    std::int32_t dim() {
        static const std::int32_t pool[] = {0, -1, std::numeric_limits<std::int32_t>::min(),
                                            std::numeric_limits<std::int32_t>::max(), 46341, 65536};
        const std::uint8_t k = byte();
        if (k < 192) return 1 + k % 5;    // 1..5
        if (k < 200) return 17 + k % 8;   // 17..24: large blocks
        return pool[k % 6];
    }

    // A length for a buffer that should hold `exact` elements.
    std::int64_t length(std::int64_t exact) {
        switch (byte() % 8) {
            case 0: return exact - 1;
            case 1: return exact + 1;
            case 2: return 0;
            case 3: return -1;
            case 4: return std::numeric_limits<std::int64_t>::min();
            case 5: return std::numeric_limits<std::int64_t>::max();
            default: return exact;
        }
    }

private:
    const std::uint8_t* p_;
    std::size_t n_;
    std::size_t pos_ = 0;
};

struct DenseSlot {
    CorxMatrix h = nullptr;
    std::int64_t rows = 0, cols = 0;
    std::vector<double> data;
};

struct SparseSlot {
    CorxSparse h = nullptr;
    std::int64_t rows = 0, cols = 0;
    std::vector<double> dense;  // the dense matrix it was made from
};

corx_internal::Matrix toMatrix(const DenseSlot& s) { return corx_internal::matrix(s.rows, s.cols, s.data); }

// The determinant from the reference factors; a singular matrix has
// determinant 0.0.
double referenceDet(const corx_internal::Matrix& a) {
    corx_internal::LuFactors f;
    try {
        f = corx_test::referenceLuDecompose(a);
    } catch (const corx_internal::ValueError&) {
        return 0.0;
    }
    return corx_test::referenceDeterminant(f);
}

// Solve with the reference factors and, when asked, one refinement step on
// the reference exact residual. Throws ValueError for a singular matrix.
std::vector<double> referenceSolve(const corx_internal::Matrix& a, const std::vector<double>& b, bool refine) {
    const corx_internal::LuFactors f = corx_test::referenceLuDecompose(a);
    std::vector<double> x = corx_test::referenceLuSolve(f, b);
    if (!refine) return x;
    const std::vector<double> r = corx_test::referenceResidual(a, b, x);
    const std::vector<double> d = corx_test::referenceLuSolve(f, r);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = x[i] + d[i];
    return x;
}

// A handle agrees with its shadow: shape, every element and the buffer copy.
void checkHandle(const DenseSlot& s) {
    if (s.h == nullptr) return;
    CHECK(corx_matrix_rows(s.h) == s.rows);
    CHECK(corx_matrix_cols(s.h) == s.cols);
    std::vector<double> out(s.data.size() + 1, kCanary);
    CHECK(corx_matrix_get_buffer(s.h, out.data(), static_cast<std::int64_t>(out.size())) ==
          static_cast<std::int32_t>(s.data.size()));
    CHECK(bitsOf(out.back()) == bitsOf(kCanary));
    for (std::size_t k = 0; k < s.data.size(); ++k) CHECK(bitsOf(out[k]) == bitsOf(s.data[k]));
}

void checkResult(CorxMatrix h, std::int64_t rows, std::int64_t cols, const std::vector<double>& expected) {
    CHECK(h != nullptr);
    CHECK(corx_matrix_rows(h) == rows && corx_matrix_cols(h) == cols);
    std::vector<double> out(static_cast<std::size_t>(rows * cols));
    CHECK(corx_matrix_get_buffer(h, out.data(), static_cast<std::int64_t>(out.size())) == rows * cols);
    CHECK(sameSeq(out, expected));
}

std::vector<double> matrixData(CorxMatrix h) {
    std::vector<double> out(static_cast<std::size_t>(corx_matrix_rows(h)) * corx_matrix_cols(h));
    CHECK(corx_matrix_get_buffer(h, out.data(), static_cast<std::int64_t>(out.size())) ==
          static_cast<std::int32_t>(out.size()));
    return out;
}

bool allCanary(const std::vector<double>& v) {
    for (double x : v)
        if (bitsOf(x) != bitsOf(kCanary)) return false;
    return true;
}

class Session {
public:
    explicit Session(Input& in) : in_(in) {}
    ~Session() {
        for (auto& s : dense_) corx_matrix_destroy(s.h);
        for (auto& s : sparse_) corx_sparse_destroy(s.h);
    }

    void run() {
        int steps = 0;
        while (!in_.done() && steps++ < 64) {
            step();
            for (const auto& s : dense_) checkHandle(s);
        }
    }

private:
    Input& in_;
    DenseSlot dense_[kSlots];
    SparseSlot sparse_[kSlots];

    DenseSlot& slot() { return dense_[in_.byte() % kSlots]; }
    // An operand: a slot's handle, or NULL now and then.
    const DenseSlot* operand() {
        const std::uint8_t k = in_.byte();
        if (k % 16 == 15) return nullptr;
        return &dense_[k % kSlots];
    }
    static CorxMatrix handleOf(const DenseSlot* s) { return s == nullptr ? nullptr : s->h; }

    void store(DenseSlot& dst, CorxMatrix h, std::int64_t rows, std::int64_t cols, std::vector<double> data) {
        corx_matrix_destroy(dst.h);
        dst.h = h;
        dst.rows = rows;
        dst.cols = cols;
        dst.data = std::move(data);
    }

    // Keeps a checked result handle in a slot, or releases it. The shadow
    // takes the handle's own bits (NaN payloads included), which later
    // checks then hold exactly.
    void keepOrDrop(CorxMatrix h, std::int64_t rows, std::int64_t cols, const std::vector<double>&) {
        const std::uint8_t k = in_.byte();
        if (k % 2 == 0) {
            corx_matrix_destroy(h);
            return;
        }
        store(dense_[k / 2 % kSlots], h, rows, cols, matrixData(h));
    }

    void step() {
        const int op = in_.byte() % 25;
        if (std::getenv("CORX_FUZZ_TRACE")) std::fprintf(stderr, "step %d\n", op);
        switch (op) {
            case 0: create(); break;
            case 1:
            case 2: createFromBuffer(); break;
            case 3: destroy(); break;
            case 4: query(); break;
            case 5: set(); break;
            case 6: getBuffer(); break;
            case 7: elementwise(true); break;
            case 8: elementwise(false); break;
            case 9: mul(); break;
            case 10: scaleOrTranspose(); break;
            case 11: almostEqual(); break;
            case 12: determinant(); break;
            case 13: luSolve(); break;
            case 14: cholesky(); break;
            case 15: qr(); break;
            case 16: svd(); break;
            case 17: in_.flag() ? sparseFromDense() : sparseFromCsr(); break;
            case 18: sparseQueries(); break;
            case 19: matvec(); break;
            case 20: vectors2(); break;
            case 21: vectors34(); break;
            case 22: limbs(); break;
            case 23: tiles(); break;
            default: lifecycle(); break;
        }
    }

    void create() {
        const std::int32_t r = in_.dim(), c = in_.dim();
        const std::int64_t n = static_cast<std::int64_t>(r) * c;
        const bool valid = r > 0 && c > 0 && n <= kMaxElements;
        if (valid && n > kSmallElements) return;  // would really allocate gigabytes
        CorxMatrix h = corx_matrix_create(r, c);
        CHECK((h != nullptr) == valid);
        if (!valid) return;
        std::vector<double> zeros(static_cast<std::size_t>(n), 0.0);
        checkResult(h, r, c, zeros);
        keepOrDrop(h, r, c, zeros);
    }

    void createFromBuffer() {
        const std::int32_t r = in_.dim(), c = in_.dim();
        const std::int64_t n = static_cast<std::int64_t>(r) * c;
        const bool shapeOk = r > 0 && c > 0 && n <= kMaxElements;
        const std::int64_t exact = shapeOk ? n : 4;
        const std::int64_t len = in_.length(exact);
        const bool nullData = in_.byte() % 16 == 0;
        const bool valid = !nullData && shapeOk && len == n;
        if (valid && n > kSmallElements) return;
        // The buffer holds what the call may read when it succeeds; on
        // failure the library must read nothing (ASan checks that).
        const std::size_t have = valid ? static_cast<std::size_t>(n) : 1;
        std::vector<double> data(have);
        for (auto& v : data) v = in_.value();
        const std::vector<double> before = data;
        CorxMatrix h = corx_matrix_create_from_buffer(r, c, nullData ? nullptr : data.data(), len);
        CHECK((h != nullptr) == valid);
        CHECK(sameSeq(data, before));
        if (!valid) return;
        checkResult(h, r, c, data);
        // The handle keeps its own copy: overwriting the caller's buffer
        // changes nothing.
        for (auto& v : data) v = 99.0;
        checkResult(h, r, c, before);
        keepOrDrop(h, r, c, before);
    }

    void destroy() {
        if (in_.flag()) {
            corx_matrix_destroy(nullptr);
            corx_sparse_destroy(nullptr);
            return;
        }
        DenseSlot& s = slot();
        corx_matrix_destroy(s.h);
        s = DenseSlot{};
    }

    void query() {
        const DenseSlot* s = operand();
        const std::int32_t row = in_.flag() ? in_.dim() : static_cast<std::int32_t>(in_.byte() % 7) - 1;
        const std::int32_t col = in_.flag() ? in_.dim() : static_cast<std::int32_t>(in_.byte() % 7) - 1;
        CorxMatrix h = handleOf(s);
        const bool inRange = h != nullptr && row >= 0 && col >= 0 && row < s->rows && col < s->cols;
        const double got = corx_matrix_get(h, row, col);
        if (inRange) {
            CHECK(bitsOf(got) == bitsOf(s->data[static_cast<std::size_t>(row * s->cols + col)]));
        } else {
            CHECK(bitsOf(got) == bitsOf(0.0));
        }
        CHECK(corx_matrix_rows(h) == (h ? s->rows : 0));
        CHECK(corx_matrix_cols(h) == (h ? s->cols : 0));
    }

    void set() {
        DenseSlot& s = dense_[in_.byte() % kSlots];
        const bool useNull = in_.byte() % 8 == 0;
        const std::int32_t row = in_.flag() ? in_.dim() : static_cast<std::int32_t>(in_.byte() % 7) - 1;
        const std::int32_t col = in_.flag() ? in_.dim() : static_cast<std::int32_t>(in_.byte() % 7) - 1;
        const double v = in_.value();
        corx_matrix_set(useNull ? nullptr : s.h, row, col, v);
        if (!useNull && s.h != nullptr && row >= 0 && col >= 0 && row < s.rows && col < s.cols)
            s.data[static_cast<std::size_t>(row * s.cols + col)] = v;  // checked by checkHandle
    }

    void getBuffer() {
        const DenseSlot* s = operand();
        CorxMatrix h = handleOf(s);
        const std::int64_t exact = h ? s->rows * s->cols : 4;
        const std::int64_t len = in_.length(exact);
        const bool nullOut = in_.byte() % 8 == 0;
        const std::size_t room = static_cast<std::size_t>(len >= 0 && len <= exact + 1 ? len : exact + 1);
        std::vector<double> out(room + 1, kCanary);
        const std::int32_t got = corx_matrix_get_buffer(h, nullOut ? nullptr : out.data(), len);
        if (h == nullptr || nullOut) {
            CHECK(got == -1);
            CHECK(allCanary(out));
        } else if (len < exact) {
            CHECK(got == -5);
            CHECK(allCanary(out));
        } else {
            CHECK(got == exact);
            for (std::int64_t k = 0; k < exact; ++k)
                CHECK(bitsOf(out[static_cast<std::size_t>(k)]) == bitsOf(s->data[static_cast<std::size_t>(k)]));
            for (std::size_t k = static_cast<std::size_t>(exact); k < out.size(); ++k)
                CHECK(bitsOf(out[k]) == bitsOf(kCanary));
        }
    }

    void elementwise(bool add) {
        const DenseSlot* a = operand();
        const DenseSlot* b = operand();
        CorxMatrix ha = handleOf(a), hb = handleOf(b);
        CorxMatrix r = add ? corx_matrix_add(ha, hb) : corx_matrix_sub(ha, hb);
        const bool valid = ha && hb && a->rows == b->rows && a->cols == b->cols;
        CHECK((r != nullptr) == valid);
        if (!valid) return;
        std::vector<double> expected(a->data.size());
        for (std::size_t k = 0; k < expected.size(); ++k)
            expected[k] = add ? a->data[k] + b->data[k] : a->data[k] - b->data[k];
        checkResult(r, a->rows, a->cols, expected);
        keepOrDrop(r, a->rows, a->cols, expected);
    }

    void mul() {
        const DenseSlot* a = operand();
        const DenseSlot* b = operand();
        CorxMatrix ha = handleOf(a), hb = handleOf(b);
        CorxMatrix r = corx_matrix_mul(ha, hb);
        const bool valid = ha && hb && a->cols == b->rows && a->rows * b->cols <= kMaxElements;
        CHECK((r != nullptr) == valid);
        if (!valid) return;
        const std::vector<double> expected = corx_test::referenceProduct(a->data, b->data, a->rows, a->cols, b->cols);
        checkResult(r, a->rows, b->cols, expected);
        keepOrDrop(r, a->rows, b->cols, expected);
    }

    // The tile steps against plain loops in their documented orders.
    void tiles() {
        const DenseSlot* c = operand();
        const DenseSlot* a = operand();
        const DenseSlot* b = operand();
        CorxMatrix hc = handleOf(c), ha = handleOf(a), hb = handleOf(b);
        const int which = in_.byte() % 5;
        if (which <= 1) {
            const bool sub = which == 1;
            CorxMatrix r = sub ? corx_matrix_mul_sub_t(hc, ha, hb) : corx_matrix_mul_add(hc, ha, hb);
            const bool valid = hc && ha && hb && c->rows == a->rows &&
                               (sub ? a->cols == b->cols && c->cols == b->rows : a->cols == b->rows && c->cols == b->cols);
            CHECK((r != nullptr) == valid);
            if (!valid) return;
            std::vector<double> expected = c->data;
            for (std::int64_t i = 0; i < c->rows; ++i)
                for (std::int64_t j = 0; j < c->cols; ++j) {
                    double& e = expected[static_cast<std::size_t>(i * c->cols + j)];
                    for (std::int64_t k = 0; k < a->cols; ++k) {
                        const double x = a->data[static_cast<std::size_t>(i * a->cols + k)];
                        const double y = sub ? b->data[static_cast<std::size_t>(j * b->cols + k)]
                                             : b->data[static_cast<std::size_t>(k * b->cols + j)];
                        const double p = y * x;
                        e = sub ? e - p : p + e;
                    }
                }
            checkResult(r, c->rows, c->cols, expected);
            keepOrDrop(r, c->rows, c->cols, expected);
        } else if (which == 2) {
            CorxMatrix l = corx_matrix_cholesky_lower(ha);
            bool valid = ha && a->rows == a->cols;
            corx_internal::Matrix expected;
            if (valid) {
                corx_internal::Matrix sym = toMatrix(*a);  // the lower triangle, mirrored
                for (std::int64_t i = 0; i < a->rows; ++i)
                    for (std::int64_t j = i + 1; j < a->rows; ++j) sym(i, j) = sym(j, i);
                for (std::int64_t i = 0; i < a->rows && valid; ++i)
                    for (std::int64_t j = 0; j < i; ++j) valid = valid && !std::isnan(sym(i, j));
                try {
                    if (valid) expected = corx_test::referenceCholesky(sym);
                } catch (const corx_internal::ValueError&) {
                    valid = false;
                }
            }
            // A NaN below the diagonal fails the reference's symmetry test,
            // not the step: only the step's success is then unchecked.
            if (ha && a->rows == a->cols && !valid && l != nullptr) {
                corx_matrix_destroy(l);
                return;
            }
            CHECK((l != nullptr) == valid);
            if (!valid) return;
            checkResult(l, a->rows, a->cols, expected.data);
            keepOrDrop(l, a->rows, a->cols, expected.data);
        } else if (which == 3) {
            CorxMatrix x = corx_matrix_cholesky_below(hc, ha);
            const bool valid = hc && ha && a->rows == a->cols && c->cols == a->rows;
            CHECK((x != nullptr) == valid);
            if (!valid) return;
            std::vector<double> expected = c->data;
            const std::int64_t n = c->cols;
            for (std::int64_t i = 0; i < c->rows; ++i)
                for (std::int64_t j = 0; j < n; ++j) {
                    double& e = expected[static_cast<std::size_t>(i * n + j)];
                    for (std::int64_t k = 0; k < j; ++k) {
                        const double p = expected[static_cast<std::size_t>(i * n + k)] *
                                         a->data[static_cast<std::size_t>(j * n + k)];
                        e = e - p;
                    }
                    e = e / a->data[static_cast<std::size_t>(j * n + j)];
                }
            checkResult(x, c->rows, c->cols, expected);
            keepOrDrop(x, c->rows, c->cols, expected);
        } else {
            const std::int64_t n = ha ? a->rows : 2;
            const std::int32_t nrhs = 1 + in_.byte() % 3;
            const std::int64_t bLen = in_.length(n * nrhs), xLen = in_.length(n * nrhs);
            std::vector<double> bv(static_cast<std::size_t>(n * nrhs + 1));
            for (auto& v : bv) v = in_.value();
            std::vector<double> x(static_cast<std::size_t>(n * nrhs + 1), kCanary);
            const std::int32_t got = corx_matrix_cholesky_solve(ha, bv.data(), bLen, nrhs, x.data(), xLen);
            std::int32_t expected = static_cast<std::int32_t>(n);
            corx_internal::Matrix l;
            if (!ha) {
                expected = -1;
            } else if (a->rows != a->cols || bLen != n * nrhs) {
                expected = -2;
            } else if (xLen < bLen) {
                expected = -5;
            } else {
                try {
                    l = corx_test::referenceCholesky(toMatrix(*a));
                } catch (const corx_internal::ValueError&) {
                    expected = -4;
                }
            }
            CHECK(got == expected);
            if (got < 0) {
                CHECK(allCanary(x));
                return;
            }
            for (std::int32_t col = 0; col < nrhs; ++col) {
                std::vector<double> y(static_cast<std::size_t>(n));
                for (std::int64_t i = 0; i < n; ++i) {
                    double v = bv[static_cast<std::size_t>(i * nrhs + col)];
                    for (std::int64_t k = 0; k < i; ++k) {
                        const double p = l(i, k) * y[static_cast<std::size_t>(k)];
                        v = v - p;
                    }
                    y[static_cast<std::size_t>(i)] = v / l(i, i);
                }
                for (std::int64_t i = n - 1; i >= 0; --i) {
                    double v = y[static_cast<std::size_t>(i)];
                    for (std::int64_t k = n - 1; k > i; --k) {
                        const double p = l(k, i) * y[static_cast<std::size_t>(k)];
                        v = v - p;
                    }
                    y[static_cast<std::size_t>(i)] = v / l(i, i);
                    CHECK(same(x[static_cast<std::size_t>(i * nrhs + col)], y[static_cast<std::size_t>(i)]));
                }
            }
            CHECK(bitsOf(x[static_cast<std::size_t>(n * nrhs)]) == bitsOf(kCanary));
        }
    }

    void scaleOrTranspose() {
        const DenseSlot* a = operand();
        CorxMatrix ha = handleOf(a);
        if (in_.flag()) {
            const double f = in_.value();
            CorxMatrix r = corx_matrix_scale(ha, f);
            CHECK((r != nullptr) == (ha != nullptr));
            if (!r) return;
            std::vector<double> expected(a->data.size());
            for (std::size_t k = 0; k < expected.size(); ++k) expected[k] = a->data[k] * f;
            checkResult(r, a->rows, a->cols, expected);
            keepOrDrop(r, a->rows, a->cols, expected);
        } else {
            CorxMatrix r = corx_matrix_transpose(ha);
            CHECK((r != nullptr) == (ha != nullptr));
            if (!r) return;
            std::vector<double> expected(a->data.size());
            for (std::int64_t i = 0; i < a->rows; ++i)
                for (std::int64_t j = 0; j < a->cols; ++j)
                    expected[static_cast<std::size_t>(j * a->rows + i)] = a->data[static_cast<std::size_t>(i * a->cols + j)];
            // A transpose moves bits: NaN payloads must survive too.
            std::vector<double> out = matrixData(r);
            CHECK(corx_matrix_rows(r) == a->cols && corx_matrix_cols(r) == a->rows);
            for (std::size_t k = 0; k < out.size(); ++k) CHECK(bitsOf(out[k]) == bitsOf(expected[k]));
            keepOrDrop(r, a->cols, a->rows, expected);
        }
    }

    void almostEqual() {
        const DenseSlot* a = operand();
        const DenseSlot* b = operand();
        const double tol = in_.value();
        const bool got = corx_matrix_almost_equal(handleOf(a), handleOf(b), tol);
        bool expected = handleOf(a) && handleOf(b) && tol >= 0.0 && tol != INFINITY && a->rows == b->rows &&
                        a->cols == b->cols;
        if (expected)
            for (std::size_t k = 0; k < a->data.size(); ++k) {
                const double d = a->data[k] - b->data[k];
                if (!(std::fabs(d) <= tol)) expected = false;
            }
        CHECK(got == expected);
    }

    void determinant() {
        const DenseSlot* a = operand();
        CorxMatrix h = handleOf(a);
        const bool withOk = in_.byte() % 8 != 0;
        std::int32_t ok = -77;
        const double d = corx_matrix_determinant(h, withOk ? &ok : nullptr);
        const bool valid = h && a->rows == a->cols;
        if (withOk) CHECK(ok == (valid ? 1 : 0));
        if (!valid) {
            CHECK(bitsOf(d) == bitsOf(0.0));
            return;
        }
        CHECK(same(d, referenceDet(toMatrix(*a))));
    }

    // The single solve, or (high bit of the null selector) the solve of
    // several right-hand sides, whose column j must be the single solve of
    // column j of the row-major b.
    void luSolve() {
        const DenseSlot* a = operand();
        CorxMatrix h = handleOf(a);
        const std::int64_t n = h ? a->rows : 3;
        const std::uint8_t nulls = in_.byte();
        const bool many = nulls >= 128;
        std::int32_t nrhs = 1;
        if (many) {
            const std::uint8_t k = in_.byte();
            nrhs = k % 8 == 0 ? (k / 8 % 2 == 0 ? 0 : std::numeric_limits<std::int32_t>::min()) : 1 + k % 4;
        }
        const std::int64_t cols = nrhs < 1 ? 1 : nrhs;
        const std::int64_t bLen = in_.length(n * cols);
        const std::int64_t xLen = in_.length(n * cols);
        const bool nullB = nulls % 16 == 1, nullX = nulls % 16 == 2;
        const bool refine = in_.flag();
        std::vector<double> b(static_cast<std::size_t>(n * cols + 1));
        for (auto& v : b) v = in_.value();
        const std::vector<double> bBefore = b;
        std::vector<double> x(static_cast<std::size_t>(n * cols + 2), kCanary);
        const double* bp = nullB ? nullptr : b.data();
        double* xp = nullX ? nullptr : x.data();
        const std::int32_t got = many ? corx_matrix_lu_solve_many(h, bp, bLen, nrhs, xp, xLen, refine)
                                      : corx_matrix_lu_solve(h, bp, bLen, xp, xLen, refine);
        CHECK(sameSeq(b, bBefore));
        std::int32_t expected;
        std::vector<std::vector<double>> solution;
        if (!h || nullB || nullX) {
            expected = -1;
        } else if (a->rows != a->cols || nrhs < 1 || bLen != a->rows * nrhs) {
            expected = -2;
        } else if (xLen < bLen) {
            expected = -5;
        } else {
            try {
                for (std::int64_t j = 0; j < cols; ++j) {
                    std::vector<double> column(static_cast<std::size_t>(n));
                    for (std::int64_t i = 0; i < n; ++i)
                        column[static_cast<std::size_t>(i)] = b[static_cast<std::size_t>(i * cols + j)];
                    solution.push_back(referenceSolve(toMatrix(*a), column, refine));
                }
                expected = static_cast<std::int32_t>(n);
            } catch (const corx_internal::ValueError&) {
                expected = -3;
            }
        }
        CHECK(got == expected);
        if (h && a->rows == a->cols) solveAsStack(*a, b, bLen, nrhs, xLen, nullB, nullX, refine, 1 + nulls % 3, got, x);
        if (got < 0) {
            CHECK(allCanary(x));
            return;
        }
        for (std::int64_t i = 0; i < n; ++i)
            for (std::int64_t j = 0; j < cols; ++j)
                CHECK(same(x[static_cast<std::size_t>(i * cols + j)],
                           solution[static_cast<std::size_t>(j)][static_cast<std::size_t>(i)]));
        CHECK(bitsOf(x[static_cast<std::size_t>(n * cols)]) == bitsOf(kCanary));
        CHECK(bitsOf(x[static_cast<std::size_t>(n * cols + 1)]) == bitsOf(kCanary));
    }

    // The system just solved, as a stack of `count` copies: the same status
    // (the checks correspond one to one), and on success every copy's
    // solution is the single call's, bit for bit.
    void solveAsStack(const DenseSlot& a, const std::vector<double>& b, std::int64_t bLen, std::int32_t nrhs,
                      std::int64_t xLen, bool nullB, bool nullX, bool refine, std::int64_t count, std::int32_t got,
                      const std::vector<double>& x) {
        constexpr std::int64_t kSane = std::int64_t{1} << 40;
        if (bLen < -kSane || bLen > kSane || xLen < -kSane || xLen > kSane) return;
        const std::int64_t n = a.rows, nb = n * (nrhs < 1 ? 1 : nrhs);
        std::vector<double> as, bs, xs(static_cast<std::size_t>(count * nb + 1), kCanary);
        for (std::int64_t s = 0; s < count; ++s) {
            as.insert(as.end(), a.data.begin(), a.data.end());
            bs.insert(bs.end(), b.begin(), b.begin() + nb);
        }
        std::int64_t singular = -7;
        const std::int32_t stacked = corx_lu_solve_stack(
            static_cast<std::int32_t>(n), count, as.data(), count * n * n, nullB ? nullptr : bs.data(), count * bLen,
            nrhs, nullX ? nullptr : xs.data(), count * xLen, refine, &singular);
        CHECK(stacked == got);
        CHECK(singular == (got == -3 ? 0 : -7));
        if (got < 0) return;
        for (std::int64_t s = 0; s < count; ++s)
            for (std::int64_t i = 0; i < nb; ++i)
                CHECK(same(xs[static_cast<std::size_t>(s * nb + i)], x[static_cast<std::size_t>(i)]));
        CHECK(bitsOf(xs[static_cast<std::size_t>(count * nb)]) == bitsOf(kCanary));
    }

    void cholesky() {
        const DenseSlot* a = operand();
        CorxMatrix h = handleOf(a);
        CorxMatrix l = corx_matrix_cholesky(h);
        bool valid = h && a->rows == a->cols;
        corx_internal::Matrix expected;
        if (valid) {
            try {
                expected = corx_test::referenceCholesky(toMatrix(*a));
            } catch (const corx_internal::ValueError&) {
                valid = false;
            }
        }
        CHECK((l != nullptr) == valid);
        if (!valid) return;
        checkResult(l, a->rows, a->cols, expected.data);
        keepOrDrop(l, a->rows, a->cols, expected.data);
    }

    void qr() {
        const DenseSlot* a = operand();
        CorxMatrix h = handleOf(a);
        const std::uint8_t nulls = in_.byte();
        CorxMatrix canaryHandle = reinterpret_cast<CorxMatrix>(static_cast<std::uintptr_t>(0x5a5a5a5a));
        CorxMatrix q = canaryHandle, r = canaryHandle;
        const bool nullQ = nulls % 16 == 1, nullR = nulls % 16 == 2, sameQR = nulls % 16 == 3;
        const CorxStatus st = corx_matrix_qr(h, nullQ ? nullptr : &q, nullR ? nullptr : sameQR ? &q : &r);
        CorxStatus expected = CORX_SUCCESS;
        if (!h || nullQ || nullR || sameQR)
            expected = CORX_NULL_HANDLE;
        else if (a->rows < a->cols || a->rows * a->rows > kMaxElements)
            expected = CORX_SHAPE_MISMATCH;
        CHECK(st == expected);
        if (st != CORX_SUCCESS) {
            CHECK(q == canaryHandle && r == canaryHandle);
            return;
        }
        const corx_internal::QrFactors f = corx_test::referenceQrDecompose(toMatrix(*a));
        // Read before the first result may replace the operand's slot.
        const std::int64_t rows = a->rows, cols = a->cols;
        checkResult(q, rows, rows, f.q.data);
        checkResult(r, rows, cols, f.r.data);
        keepOrDrop(q, rows, rows, f.q.data);
        keepOrDrop(r, rows, cols, f.r.data);
    }

    void svd() {
        const DenseSlot* a = operand();
        CorxMatrix h = handleOf(a);
        const std::uint8_t nulls = in_.byte();
        const bool nullU = nulls % 16 == 1, nullV = nulls % 16 == 2, nullS = nulls % 16 == 3,
                   sameUV = nulls % 16 == 4;
        const std::int64_t n = h ? a->cols : 3;
        const std::int64_t sLen = in_.length(n);
        CorxMatrix canaryHandle = reinterpret_cast<CorxMatrix>(static_cast<std::uintptr_t>(0x5a5a5a5a));
        CorxMatrix u = canaryHandle, v = canaryHandle;
        std::vector<double> s(static_cast<std::size_t>(n + 2), kCanary);
        const CorxStatus st =
            corx_matrix_svd(h, nullU ? nullptr : &u, nullS ? nullptr : s.data(), sLen,
                            nullV ? nullptr : sameUV ? &u : &v);
        CorxStatus expected = CORX_SUCCESS;
        if (!h || nullU || nullV || nullS || sameUV)
            expected = CORX_NULL_HANDLE;
        else if (a->rows < a->cols || a->rows * a->rows > kMaxElements)
            expected = CORX_SHAPE_MISMATCH;
        else if (sLen < n)
            expected = CORX_BUFFER_TOO_SMALL;
        CHECK(st == expected);
        if (st != CORX_SUCCESS) {
            CHECK(u == canaryHandle && v == canaryHandle);
            CHECK(allCanary(s));
            return;
        }
        const corx_internal::SvdFactors f = corx_test::referenceSvdDecompose(toMatrix(*a), 60, 1e-12);
        checkResult(u, a->rows, a->cols, f.u.data);
        checkResult(v, a->cols, a->cols, f.v.data);
        for (std::int64_t j = 0; j < n; ++j) CHECK(same(s[static_cast<std::size_t>(j)], f.s[static_cast<std::size_t>(j)]));
        CHECK(bitsOf(s[static_cast<std::size_t>(n)]) == bitsOf(kCanary));
        const std::int64_t rows = a->rows;  // the slot may be replaced below
        keepOrDrop(u, rows, n, f.u.data);
        keepOrDrop(v, n, n, f.v.data);
    }

    void sparseFromDense() {
        const DenseSlot* a = operand();
        CorxSparse sp = corx_sparse_from_dense(handleOf(a));
        CHECK((sp != nullptr) == (handleOf(a) != nullptr));
        if (!sp) return;
        SparseSlot& dst = sparse_[in_.byte() % kSlots];
        corx_sparse_destroy(dst.h);
        dst = SparseSlot{sp, a->rows, a->cols, a->data};
    }

    // The CSR arrays of a dense slot (explicit zeros among the entries as
    // the input chooses), possibly with one fault; the handle must hold the
    // slot's non-zero entries, and each fault give its own fault value.
    void sparseFromCsr() {
        const DenseSlot* a = operand();
        if (a == nullptr || a->h == nullptr) return;
        std::vector<std::int64_t> indptr{0};
        std::vector<std::int32_t> indices;
        std::vector<double> data;
        for (std::int64_t i = 0; i < a->rows; ++i) {
            for (std::int64_t j = 0; j < a->cols; ++j) {
                const double x = a->data[static_cast<std::size_t>(i * a->cols + j)];
                if (x != 0.0 || in_.byte() % 4 == 0) {
                    indices.push_back(static_cast<std::int32_t>(j));
                    data.push_back(x);
                }
            }
            indptr.push_back(static_cast<std::int64_t>(data.size()));
        }
        const auto rows = static_cast<std::int32_t>(a->rows), cols = static_cast<std::int32_t>(a->cols);
        std::int64_t nnz = static_cast<std::int64_t>(data.size()), ipLen = rows + 1;
        std::int32_t want = CORX_CSR_VALID;
        const std::uint8_t k = in_.byte();
        const std::size_t at = data.empty() ? 0 : in_.byte() % data.size();
        switch (k % 8) {
            case 1: indptr[0] = 1; want = CORX_CSR_ROW_START; break;
            case 2:
                if (rows > 1) {
                    indptr[1] = indptr[2] + 1;  // above the next pointer: a decrease
                    want = CORX_CSR_ROW_ORDER;
                }
                break;
            case 3:  // one entry more than the pointers end at (and than the arrays hold)
                ++nnz;
                want = indices.data() == nullptr || data.data() == nullptr ? CORX_CSR_POINTER : CORX_CSR_ROW_END;
                break;
            case 4:
                if (!data.empty()) {
                    indices[at] = in_.flag() ? -1 : cols;
                    want = CORX_CSR_COLUMN_RANGE;
                }
                break;
            case 5:
                if (!data.empty()) {  // a duplicate of the entry before, or one out of order
                    const bool first = std::find(indptr.begin(), indptr.end(), static_cast<std::int64_t>(at)) != indptr.end();
                    if (!first) {
                        indices[at] = indices[at - 1] - (in_.flag() ? 0 : 1);
                        want = indices[at] < 0 ? CORX_CSR_COLUMN_RANGE : CORX_CSR_COLUMN_ORDER;
                    }
                }
                break;
            case 6: ipLen = in_.length(ipLen); want = ipLen == rows + 1 ? CORX_CSR_VALID : CORX_CSR_LENGTH; break;
            default: break;
        }
        CorxSparse sp = nullptr;
        std::int32_t fault = -1;
        const CorxStatus st = corx_sparse_from_csr(rows, cols, indptr.data(), ipLen, indices.data(), data.data(), nnz,
                                                   &sp, &fault);
        CHECK(fault == want);
        CHECK(st == (want == CORX_CSR_VALID ? CORX_SUCCESS : want == CORX_CSR_POINTER ? CORX_NULL_HANDLE : CORX_SHAPE_MISMATCH));
        CHECK((sp != nullptr) == (want == CORX_CSR_VALID));
        if (!sp) return;
        SparseSlot& dst = sparse_[in_.byte() % kSlots];
        corx_sparse_destroy(dst.h);
        dst = SparseSlot{sp, a->rows, a->cols, a->data};
    }

    void sparseQueries() {
        const std::uint8_t k = in_.byte();
        const SparseSlot* s = k % 16 == 15 ? nullptr : &sparse_[k % kSlots];
        CorxSparse h = s ? s->h : nullptr;
        std::int32_t nnz = 0;
        std::vector<double> dense;
        if (h) {
            dense = s->dense;
            for (auto& v : dense) {
                if (v != 0.0) ++nnz;
                else v = 0.0;  // stored entries only; -0.0 comes back as +0.0
            }
        }
        CHECK(corx_sparse_nnz(h) == nnz);
        CorxMatrix d = corx_sparse_to_dense(h);
        CHECK((d != nullptr) == (h != nullptr));
        if (d) {
            std::vector<double> out = matrixData(d);
            CHECK(corx_matrix_rows(d) == s->rows && corx_matrix_cols(d) == s->cols);
            for (std::size_t i = 0; i < out.size(); ++i) CHECK(bitsOf(out[i]) == bitsOf(dense[i]));
            keepOrDrop(d, s->rows, s->cols, out);
        }
        if (in_.byte() % 4 == 0 && s) {
            corx_sparse_destroy(s->h);
            sparse_[k % kSlots] = SparseSlot{};
        }
    }

    void matvec() {
        const std::uint8_t k = in_.byte();
        const SparseSlot* s = k % 16 == 15 ? nullptr : &sparse_[k % kSlots];
        CorxSparse h = s ? s->h : nullptr;
        const std::int64_t cols = h ? s->cols : 3, rows = h ? s->rows : 3;
        const std::int64_t xLen = in_.length(cols);
        const std::int64_t yLen = in_.length(rows);
        const std::uint8_t nulls = in_.byte();
        const bool nullX = nulls % 16 == 1, nullY = nulls % 16 == 2;
        std::vector<double> x(static_cast<std::size_t>(cols + 1));
        for (auto& v : x) v = in_.value();
        const std::vector<double> xBefore = x;
        std::vector<double> y(static_cast<std::size_t>(rows + 2), kCanary);
        const std::int32_t got = corx_sparse_matvec(h, nullX ? nullptr : x.data(), xLen, nullY ? nullptr : y.data(), yLen);
        CHECK(sameSeq(x, xBefore));
        const bool valid = h && !nullX && !nullY && xLen == cols && yLen >= rows;
        if (!valid) {
            CHECK(got == -1);
            CHECK(allCanary(y));
            return;
        }
        CHECK(got == rows);
        const std::vector<double> expected = corx_test::referenceSparseProduct(
            s->dense, rows, cols, std::vector<double>(x.begin(), x.begin() + cols));
        for (std::int64_t i = 0; i < rows; ++i) CHECK(same(y[static_cast<std::size_t>(i)], expected[static_cast<std::size_t>(i)]));
        CHECK(bitsOf(y[static_cast<std::size_t>(rows)]) == bitsOf(kCanary));
    }

    // Fixed-size vectors against their definitions, written out plainly.
    static double sum2(double a, double b) {
        volatile double s = 0.0;
        s = s + a;
        s = s + b;
        return s;
    }

    void vectors2() {
        const CorxVec2 a{in_.value(), in_.value()}, b{in_.value(), in_.value()};
        const double f = in_.value();
        auto eq = [](CorxVec2 p, double x, double y) { return same(p.x, x) && same(p.y, y); };
        CHECK(eq(corx_vec2_add(a, b), a.x + b.x, a.y + b.y));
        CHECK(eq(corx_vec2_sub(a, b), a.x - b.x, a.y - b.y));
        CHECK(eq(corx_vec2_scale(a, f), a.x * f, a.y * f));
        volatile double px = a.x * b.x, py = a.y * b.y;
        const double dot = sum2(px, py);
        CHECK(same(corx_vec2_dot(a, b), dot));
        volatile double sx = a.x * a.x, sy = a.y * a.y;
        const double len = std::sqrt(sum2(sx, sy));
        CHECK(same(corx_vec2_length(a), len));
        const CorxVec2 n = corx_vec2_normalize(a);
        if (len == 0.0)
            CHECK(eq(n, 0.0, 0.0));
        else
            CHECK(eq(n, a.x / len, a.y / len));
        CHECK(corx_vec2_almost_equal(a, b, f) == (f > std::fabs(a.x - b.x) && f > std::fabs(a.y - b.y)));
        volatile double c1 = a.x * b.y, c2 = a.y * b.x;
        CHECK(same(corx_vec2_cross2d(a, b), c1 - c2));
        CHECK(eq(corx_vec2_perp(a), -a.y, a.x));
        CHECK(eq(corx_vec2_perp_cw(a), a.y, -a.x));
    }

    void vectors34() {
        const CorxVec4 a{in_.value(), in_.value(), in_.value(), in_.value()};
        const CorxVec4 b{in_.value(), in_.value(), in_.value(), in_.value()};
        const double f = in_.value();
        const CorxVec3 a3{a.x, a.y, a.z}, b3{b.x, b.y, b.z};
        auto eq3 = [](CorxVec3 p, double x, double y, double z) { return same(p.x, x) && same(p.y, y) && same(p.z, z); };
        auto eq4 = [](CorxVec4 p, double x, double y, double z, double w) {
            return same(p.x, x) && same(p.y, y) && same(p.z, z) && same(p.w, w);
        };
        auto dotN = [](const double* p, const double* q, int n) {
            volatile double s = 0.0;
            for (int i = 0; i < n; ++i) {
                volatile double t = p[i] * q[i];
                s = s + t;
            }
            return static_cast<double>(s);
        };
        const double pa[4] = {a.x, a.y, a.z, a.w}, pb[4] = {b.x, b.y, b.z, b.w};
        CHECK(eq3(corx_vec3_add(a3, b3), a.x + b.x, a.y + b.y, a.z + b.z));
        CHECK(eq3(corx_vec3_sub(a3, b3), a.x - b.x, a.y - b.y, a.z - b.z));
        CHECK(eq3(corx_vec3_scale(a3, f), a.x * f, a.y * f, a.z * f));
        CHECK(same(corx_vec3_dot(a3, b3), dotN(pa, pb, 3)));
        const double len3 = std::sqrt(dotN(pa, pa, 3));
        CHECK(same(corx_vec3_length(a3), len3));
        const CorxVec3 n3 = corx_vec3_normalize(a3);
        if (len3 == 0.0)
            CHECK(eq3(n3, 0.0, 0.0, 0.0));
        else
            CHECK(eq3(n3, a.x / len3, a.y / len3, a.z / len3));
        CHECK(corx_vec3_almost_equal(a3, b3, f) ==
              (f > std::fabs(a.x - b.x) && f > std::fabs(a.y - b.y) && f > std::fabs(a.z - b.z)));
        volatile double t[6] = {a.y * b.z, a.z * b.y, a.z * b.x, a.x * b.z, a.x * b.y, a.y * b.x};
        CHECK(eq3(corx_vec3_cross(a3, b3), t[0] - t[1], t[2] - t[3], t[4] - t[5]));
        CHECK(eq4(corx_vec4_add(a, b), a.x + b.x, a.y + b.y, a.z + b.z, a.w + b.w));
        CHECK(eq4(corx_vec4_sub(a, b), a.x - b.x, a.y - b.y, a.z - b.z, a.w - b.w));
        CHECK(eq4(corx_vec4_scale(a, f), a.x * f, a.y * f, a.z * f, a.w * f));
        CHECK(same(corx_vec4_dot(a, b), dotN(pa, pb, 4)));
        const double len4 = std::sqrt(dotN(pa, pa, 4));
        CHECK(same(corx_vec4_length(a), len4));
        const CorxVec4 n4 = corx_vec4_normalize(a);
        if (len4 == 0.0)
            CHECK(eq4(n4, 0.0, 0.0, 0.0, 0.0));
        else
            CHECK(eq4(n4, a.x / len4, a.y / len4, a.z / len4, a.w / len4));
    }

    void limbs() {
        std::uint64_t w[3];
        for (auto& x : w) {
            x = 0;
            const std::uint8_t k = in_.byte();
            if (k < 64) {
                x = std::uint64_t{1} << (k % 64);
            } else if (k < 128) {
                x = ~std::uint64_t{0} >> (k % 64);
            } else {
                for (int i = 0; i < 8; ++i) x = (x << 8) | in_.byte();
            }
        }
        const std::uint64_t hi = w[0], lo = w[1], d = w[2] % 4 == 0 ? 0 : w[2];
        std::uint64_t q = 0xdeadbeef, r = 0xfeedface;
        const std::uint8_t mode = in_.byte() % 4;
        if (mode == 0) {
            corvane_udiv128(hi, lo, d, &q, &r);
        } else if (mode == 1) {
            corvane_udiv128(hi, lo, d, nullptr, &r);
        } else if (mode == 2) {
            corvane_udiv128(hi, lo, d, &q, nullptr);
        } else {
            std::uint64_t both = 1;
            corvane_udiv128(hi, lo, d, &both, &both);
            r = both;
            q = 0xdeadbeef;
        }
        std::uint64_t eq = UINT64_MAX, er = lo;
        if (d != 0) {
            const corx_internal::DoubleLimb v = (static_cast<corx_internal::DoubleLimb>(hi) << 64) | lo;
            eq = static_cast<std::uint64_t>(v / d);
            er = static_cast<std::uint64_t>(v % d);
        }
        if (mode == 0 || mode == 2) CHECK(q == eq);
        if (mode != 2) CHECK(r == er);
        if (mode == 1) CHECK(q == 0xdeadbeef);
        if (mode == 2) CHECK(r == 0xfeedface);
        CHECK(corvane_clz64(hi) == (hi == 0 ? 64 : __builtin_clzll(hi)));
    }

    void lifecycle() {
        CHECK(corx_init() == 1);
        CHECK(std::strcmp(corx_version(), "1.0.0") == 0);
        corx_cleanup();
        const std::int32_t code = static_cast<std::int32_t>(in_.byte()) - 128 + (in_.flag() ? 0 : 128);
        const char* text = corx_get_error_string(code);
        CHECK(text != nullptr);
        if (code < 0 || code > 5) CHECK(std::strcmp(text, "Unknown error") == 0);
        static const char* const texts[] = {"Success", "Null handle", "Shape mismatch", "Singular matrix",
                                            "Matrix is not symmetric positive-definite", "Output buffer too small"};
        if (code >= 0 && code <= 5) CHECK(std::strcmp(text, texts[code]) == 0);
        CHECK(std::strcmp(corx_get_error_string(INT32_MIN), "Unknown error") == 0);
        threads();
    }

    // A host parallel-for that runs the tasks on the calling thread, last
    // first: any dependence between the parts of a split shows as a result
    // that differs from the reference form.
    static void reverseExecutor(void*, std::int64_t count, CorxTask task, void* data) {
        for (std::int64_t i = count - 1; i >= 0; --i) task(data, i);
    }

    // The thread settings. Every later call's results are still held to the
    // reference forms, whichever is in effect (LLVMFuzzerTestOneInput puts
    // the defaults back for each input).
    void threads() {
        const std::uint8_t k = in_.byte();
        const std::int32_t before = corx_get_threads();
        switch (k % 6) {
            case 0:
            case 1: {
                const std::int32_t n = 1 + k / 6 % 3;  // 1..3
                CHECK(corx_set_threads(n) == n);
                CHECK(corx_get_threads() == n);
                break;
            }
            case 2: {
                const std::int32_t n = k / 6 % 2 == 0 ? -1 : INT32_MIN;
                CHECK(corx_set_threads(n) == -1);
                CHECK(corx_get_threads() == before);
                break;
            }
            case 3: CHECK(corx_set_executor(reverseExecutor, nullptr, 1 + k / 6 % 4) == 0); break;
            case 4:
                CHECK(corx_set_executor(reverseExecutor, nullptr, k / 6 % 2 == 0 ? 0 : INT32_MIN) == -1);
                CHECK(corx_get_threads() == before);
                break;
            default: CHECK(corx_set_executor(nullptr, nullptr, 0) == 0); break;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The start-up runs here, once, before libFuzzer installs its signal
    // handlers. libFuzzer leaves a signal alone when a handler is already in
    // place, so the library's handlers are put back to the default first:
    // a crash is then reported by the fuzzer with its input. Later
    // corx_init calls in the target do nothing.
    corx_init();
    for (int sig : {SIGINT, SIGSEGV, SIGABRT, SIGFPE, SIGILL}) std::signal(sig, SIG_DFL);
    // With threads or an executor set, every split the small shapes allow
    // is made (a test setting of the library's, read once).
    setenv("CORX_SPLIT_SMALL", "1", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Each input starts from the default thread settings, so that a failing
    // input fails on its own.
    corx_set_executor(nullptr, nullptr, 0);
    corx_set_threads(1);
    Input in(data, size);
    Session session(in);
    session.run();
    return 0;
}
