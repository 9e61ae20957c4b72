// SPDX-License-Identifier: BSD-3-Clause
// corx for C++: a header-only layer over the C interface of <corx/corx.h>.
//
// What it adds to the C functions, and nothing more:
//  - corx::Matrix and corx::SparseMatrix own one handle each. They are
//    move-only: a move hands the handle over and leaves the source empty,
//    and the destructor releases the handle, so every handle is destroyed
//    exactly once and none is lost, exceptions included.
//  - Buffers go in as std::span<const double> and come out as
//    std::vector<double> (or into a caller std::span for the *_into forms).
//  - Every failure is thrown as corx::Error, which carries the status code
//    and the library's text for it (corx_get_error_string). Where the C
//    function gives only a null handle or -1, the wrapper finds the cause
//    from the operands and reports the matching code: a Cholesky
//    factorisation refused for a matrix that is not symmetric positive
//    definite, for instance, comes back as CORX_NOT_SPD.
//  - An empty object (default-constructed or moved from) passed to an
//    operation fails with CORX_NULL_HANDLE, as a null handle does in C.
//
// The results are those of the C functions, bit for bit: the wrapper does no
// arithmetic of its own. The header needs only <corx/corx.h> and the
// standard library; link with the shared library (-lcorx, or corx::corx).
#ifndef CORX_CORX_HPP
#define CORX_CORX_HPP

// std::span and the other C++20 pieces below need it. The CMake target
// corx::corx asks for C++20 on its own; by hand, compile with -std=c++20.
#if !defined(__cplusplus) || __cplusplus < 202002L
#error "corx.hpp needs C++20 or later: compile with -std=c++20 (or link the CMake target corx::corx)"
#endif

#include <corx/corx.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corx {

// A failed call. code() is the CorxStatus (1 null handle, 2 shape mismatch,
// 3 singular, 4 not symmetric positive-definite, 5 buffer too small);
// what() reads "<C function>: <status text>" with the details, if any, in
// parentheses.
class Error : public std::runtime_error {
public:
    Error(CorxStatus code, std::string_view function, std::string_view detail = {})
        : std::runtime_error(compose(code, function, detail)), code_(code) {}

    CorxStatus code() const noexcept { return code_; }
    // The library's text for code(), e.g. "Singular matrix".
    const char* status_text() const noexcept { return corx_get_error_string(code_); }

private:
    static std::string compose(CorxStatus code, std::string_view function, std::string_view detail) {
        std::string text(function);
        text += ": ";
        text += corx_get_error_string(code);
        if (!detail.empty()) {
            text += " (";
            text += detail;
            text += ")";
        }
        return text;
    }

    CorxStatus code_;
};

// The library version, "1.0.0".
inline std::string_view version() noexcept { return corx_version(); }

// Runs the library start-up once. Optional: nothing else needs it. It
// installs process-wide signal handlers (SIGINT, SIGSEGV, SIGABRT, SIGFPE,
// SIGILL; SIGPIPE ignored), so a program with handlers of its own should
// install them after this call or not call it at all.
inline void init() noexcept { (void)corx_init(); }

namespace detail {

inline constexpr std::int64_t kMaxElements = std::numeric_limits<std::int32_t>::max();

inline std::string shapeText(std::int32_t rows, std::int32_t cols) {
    return std::to_string(rows) + "x" + std::to_string(cols);
}

inline constexpr std::string_view kEmptyOperand = "the object holds no handle (moved from or default-constructed)";

// The library tests pointers for null before it looks at lengths, so an
// empty span (whose data() may be null) would be reported as a null pointer
// rather than as the wrong length it is. An empty span is passed as this
// valid address instead; with a length of 0 nothing is ever read from or
// written to it.
inline double* placeholder() noexcept {
    static double slot = 0.0;
    return &slot;
}
inline const double* pointerOf(std::span<const double> s) noexcept {
    return s.empty() ? placeholder() : s.data();
}
inline double* pointerOf(std::span<double> s) noexcept { return s.empty() ? placeholder() : s.data(); }
inline std::int64_t lengthOf(std::span<const double> s) noexcept { return static_cast<std::int64_t>(s.size()); }

// A count-returning C function failed with the negated status `result`.
[[noreturn]] inline void failCount(std::int32_t result, std::string_view function, std::string_view detail = {}) {
    throw Error(static_cast<CorxStatus>(-static_cast<std::int64_t>(result)), function, detail);
}

}  // namespace detail

class SparseMatrix;

// A dense matrix of doubles, row-major, behind one owned CorxMatrix handle.
class Matrix {
public:
    // An empty object: it holds no handle and every operation on it fails
    // with CORX_NULL_HANDLE.
    Matrix() noexcept = default;

    // rows x cols zeros. Both must be at least 1 and rows*cols at most
    // 2147483647; otherwise throws CORX_SHAPE_MISMATCH.
    Matrix(std::int32_t rows, std::int32_t cols) : h_(corx_matrix_create(rows, cols)) {
        if (h_ == nullptr)
            throw Error(CORX_SHAPE_MISMATCH, "corx_matrix_create", invalidShape(rows, cols));
    }

    // rows x cols copied from data, row-major; data must hold exactly
    // rows*cols values (CORX_SHAPE_MISMATCH otherwise).
    Matrix(std::int32_t rows, std::int32_t cols, std::span<const double> data)
        : h_(corx_matrix_create_from_buffer(rows, cols, detail::pointerOf(data), detail::lengthOf(data))) {
        if (h_ != nullptr) return;
        if (rows >= 1 && cols >= 1 && static_cast<std::int64_t>(rows) * cols <= detail::kMaxElements)
            throw Error(CORX_SHAPE_MISMATCH, "corx_matrix_create_from_buffer",
                        "the buffer holds " + std::to_string(data.size()) + " values, a " +
                            detail::shapeText(rows, cols) + " matrix needs " +
                            std::to_string(static_cast<std::int64_t>(rows) * cols));
        throw Error(CORX_SHAPE_MISMATCH, "corx_matrix_create_from_buffer", invalidShape(rows, cols));
    }

    Matrix(std::int32_t rows, std::int32_t cols, std::initializer_list<double> data)
        : Matrix(rows, cols, std::span<const double>(data.begin(), data.size())) {}

    // Takes over a handle returned by a C function (null gives an empty
    // object). The handle must not be destroyed by anyone else.
    static Matrix adopt(CorxMatrix handle) noexcept {
        Matrix m;
        m.h_ = handle;
        return m;
    }

    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;
    Matrix(Matrix&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    Matrix& operator=(Matrix&& other) noexcept {
        if (this != &other) reset(std::exchange(other.h_, nullptr));
        return *this;
    }
    ~Matrix() { reset(); }

    // The handle, still owned by this object (valid for C calls that only
    // read it, or for corx_matrix_set).
    CorxMatrix get() const noexcept { return h_; }
    // Gives up ownership: the caller must destroy the returned handle.
    [[nodiscard]] CorxMatrix release() noexcept { return std::exchange(h_, nullptr); }
    // Destroys the current handle, if any, and takes over `handle`.
    void reset(CorxMatrix handle = nullptr) noexcept {
        CorxMatrix old = std::exchange(h_, handle);
        if (old != nullptr) corx_matrix_destroy(old);
    }
    explicit operator bool() const noexcept { return h_ != nullptr; }

    // 0 for an empty object.
    std::int32_t rows() const noexcept { return corx_matrix_rows(h_); }
    std::int32_t cols() const noexcept { return corx_matrix_cols(h_); }

    // Element (row, col), zero-based. Throws std::out_of_range for a position
    // outside the matrix (the C function would answer 0.0).
    double at(std::int32_t row, std::int32_t col) const {
        checkPosition(row, col, "corx_matrix_get");
        return corx_matrix_get(h_, row, col);
    }
    // Stores value at (row, col), bit for bit. Throws std::out_of_range for
    // a position outside the matrix (the C function would ignore it).
    void set(std::int32_t row, std::int32_t col, double value) {
        checkPosition(row, col, "corx_matrix_set");
        corx_matrix_set(h_, row, col, value);
    }

    // All elements, row-major.
    std::vector<double> to_vector() const {
        if (h_ == nullptr) throw Error(CORX_NULL_HANDLE, "corx_matrix_get_buffer", detail::kEmptyOperand);
        const std::int64_t n = static_cast<std::int64_t>(rows()) * cols();
        if (n > detail::kMaxElements)  // the library copies out at most this many
            throw Error(CORX_BUFFER_TOO_SMALL, "corx_matrix_get_buffer",
                        detail::shapeText(rows(), cols()) + " holds more than 2147483647 elements");
        std::vector<double> out(static_cast<std::size_t>(n));
        copy_to(out);
        return out;
    }
    // Copies all elements, row-major, into the front of out and returns their
    // number. Throws CORX_BUFFER_TOO_SMALL (out unchanged) if out is shorter.
    std::size_t copy_to(std::span<double> out) const {
        const std::int32_t r =
            corx_matrix_get_buffer(h_, detail::pointerOf(out), static_cast<std::int64_t>(out.size()));
        if (r < 0)
            detail::failCount(r, "corx_matrix_get_buffer",
                              h_ == nullptr ? std::string(detail::kEmptyOperand)
                                            : detail::shapeText(rows(), cols()) + " into " +
                                                  std::to_string(out.size()) + " values");
        return static_cast<std::size_t>(r);
    }

    // An independent copy with its own handle.
    Matrix clone() const {
        if (h_ == nullptr) throw Error(CORX_NULL_HANDLE, "corx_matrix_get_buffer", detail::kEmptyOperand);
        const std::vector<double> data = to_vector();
        return Matrix(rows(), cols(), data);
    }

private:
    static std::string invalidShape(std::int32_t rows, std::int32_t cols) {
        return "invalid dimensions " + detail::shapeText(rows, cols) +
               ": both must be at least 1 and rows*cols at most 2147483647";
    }

    void checkPosition(std::int32_t row, std::int32_t col, std::string_view function) const {
        if (h_ == nullptr) throw Error(CORX_NULL_HANDLE, function, detail::kEmptyOperand);
        if (row < 0 || col < 0 || row >= rows() || col >= cols())
            throw std::out_of_range(std::string(function) + ": position (" + std::to_string(row) + ", " +
                                    std::to_string(col) + ") is outside a " +
                                    detail::shapeText(rows(), cols()) + " matrix");
    }

    CorxMatrix h_ = nullptr;
};

namespace detail {

inline void requireHandle(const Matrix& m, std::string_view function) {
    if (!m) throw Error(CORX_NULL_HANDLE, function, kEmptyOperand);
}

// Adopts the new handle of an operation on a and b, or explains why the
// library returned none: an empty operand, else the shapes.
inline Matrix binaryResult(CorxMatrix result, const Matrix& a, const Matrix& b, std::string_view function,
                           std::string_view op, std::string_view rule) {
    if (result != nullptr) return Matrix::adopt(result);
    requireHandle(a, function);
    requireHandle(b, function);
    throw Error(CORX_SHAPE_MISMATCH, function,
                shapeText(a.rows(), a.cols()) + std::string(op) + shapeText(b.rows(), b.cols()) + ": " +
                    std::string(rule));
}

inline Matrix unaryResult(CorxMatrix result, const Matrix& m, std::string_view function) {
    if (result != nullptr) return Matrix::adopt(result);
    requireHandle(m, function);
    throw Error(CORX_NULL_HANDLE, function);  // the library gives no other reason
}

}  // namespace detail

// ---- dense arithmetic ------------------------------------------------------

// a + b and a - b: the shapes must be equal (CORX_SHAPE_MISMATCH).
inline Matrix operator+(const Matrix& a, const Matrix& b) {
    return detail::binaryResult(corx_matrix_add(a.get(), b.get()), a, b, "corx_matrix_add", " + ",
                                "the shapes must be equal");
}
inline Matrix operator-(const Matrix& a, const Matrix& b) {
    return detail::binaryResult(corx_matrix_sub(a.get(), b.get()), a, b, "corx_matrix_sub", " - ",
                                "the shapes must be equal");
}
// The matrix product: a's columns must equal b's rows, and the product may
// hold at most 2147483647 elements (CORX_SHAPE_MISMATCH otherwise).
inline Matrix operator*(const Matrix& a, const Matrix& b) {
    const bool fits = !a || !b || a.cols() != b.rows() ||
                      static_cast<std::int64_t>(a.rows()) * b.cols() <= std::int64_t{2147483647};
    return detail::binaryResult(corx_matrix_mul(a.get(), b.get()), a, b, "corx_matrix_mul", " * ",
                                fits ? "the left operand's columns must equal the right operand's rows"
                                     : "the product would hold more than 2147483647 elements");
}
// Every element times factor.
inline Matrix scale(const Matrix& m, double factor) {
    return detail::unaryResult(corx_matrix_scale(m.get(), factor), m, "corx_matrix_scale");
}
inline Matrix operator*(const Matrix& m, double factor) { return scale(m, factor); }
inline Matrix operator*(double factor, const Matrix& m) { return scale(m, factor); }
inline Matrix transpose(const Matrix& m) {
    return detail::unaryResult(corx_matrix_transpose(m.get()), m, "corx_matrix_transpose");
}
// true when the shapes match and |a - b| <= tolerance everywhere. A
// predicate: false (not an exception) for a negative, NaN or infinite
// tolerance; only an empty operand throws.
inline bool almost_equal(const Matrix& a, const Matrix& b, double tolerance) {
    detail::requireHandle(a, "corx_matrix_almost_equal");
    detail::requireHandle(b, "corx_matrix_almost_equal");
    return corx_matrix_almost_equal(a.get(), b.get(), tolerance);
}

// ---- solvers and decompositions ---------------------------------------------

// The determinant of a square matrix (CORX_SHAPE_MISMATCH otherwise). A
// singular matrix is no failure: its determinant is 0.0.
inline double determinant(const Matrix& m) {
    std::int32_t ok = 0;
    const double d = corx_matrix_determinant(m.get(), &ok);
    if (ok == 1) return d;
    detail::requireHandle(m, "corx_matrix_determinant");
    throw Error(CORX_SHAPE_MISMATCH, "corx_matrix_determinant",
                detail::shapeText(m.rows(), m.cols()) + " is not square");
}

// Solves a*x = b into the front of x and returns the number of values
// written (a's size). With refine, one step of refinement on an exactly
// computed residual follows the LU solve. Throws CORX_SHAPE_MISMATCH (a not
// square, or b's length not a's size), CORX_BUFFER_TOO_SMALL or
// CORX_SINGULAR; x is unchanged then.
inline std::size_t solve_into(const Matrix& a, std::span<const double> b, std::span<double> x, bool refine = true) {
    const std::int32_t r = corx_matrix_lu_solve(a.get(), detail::pointerOf(b), detail::lengthOf(b),
                                                detail::pointerOf(x), static_cast<std::int64_t>(x.size()), refine);
    if (r >= 0) return static_cast<std::size_t>(r);
    std::string why;
    if (!a) why = detail::kEmptyOperand;
    else if (r == -CORX_SHAPE_MISMATCH || r == -CORX_BUFFER_TOO_SMALL)
        why = detail::shapeText(a.rows(), a.cols()) + " system, right-hand side of " + std::to_string(b.size()) +
              ", room for " + std::to_string(x.size());
    detail::failCount(r, "corx_matrix_lu_solve", why);
}
// Solves a*x = b and returns x; failures as for solve_into.
inline std::vector<double> solve(const Matrix& a, std::span<const double> b, bool refine = true) {
    std::vector<double> x(b.size());
    x.resize(solve_into(a, b, x, refine));
    return x;
}

// The lower triangular L with a = L*L^T. Throws CORX_SHAPE_MISMATCH for a
// matrix that is not square, CORX_NOT_SPD for one that is not exactly
// symmetric or not positive definite.
inline Matrix cholesky(const Matrix& a) {
    CorxMatrix l = corx_matrix_cholesky(a.get());
    if (l != nullptr) return Matrix::adopt(l);
    detail::requireHandle(a, "corx_matrix_cholesky");
    if (a.rows() != a.cols())
        throw Error(CORX_SHAPE_MISMATCH, "corx_matrix_cholesky", detail::shapeText(a.rows(), a.cols()) + " is not square");
    throw Error(CORX_NOT_SPD, "corx_matrix_cholesky", "not exactly symmetric, or a pivot is not positive");
}

// Full QR: q is rows x rows and orthogonal, r is rows x cols, a = q*r.
struct QR {
    Matrix q;
    Matrix r;
};
// Needs rows >= cols, and q may hold at most 2147483647 elements (rows <=
// 46340): CORX_SHAPE_MISMATCH otherwise.
inline QR qr(const Matrix& a) {
    CorxMatrix q = nullptr, r = nullptr;
    const CorxStatus status = corx_matrix_qr(a.get(), &q, &r);
    QR out{Matrix::adopt(q), Matrix::adopt(r)};
    if (status != CORX_SUCCESS)
        throw Error(status, "corx_matrix_qr",
                    !a                    ? std::string(detail::kEmptyOperand)
                    : a.rows() < a.cols() ? detail::shapeText(a.rows(), a.cols()) + " has fewer rows than columns"
                                          : detail::shapeText(a.rows(), a.cols()) +
                                                ": q would hold more than 2147483647 elements");
    return out;
}

// Thin SVD a = u*diag(s)*v^T: u is rows x cols, s holds cols values in
// descending order, v is cols x cols.
struct SVD {
    Matrix u;
    std::vector<double> s;
    Matrix v;
};
// Needs rows >= cols (CORX_SHAPE_MISMATCH otherwise).
inline SVD svd(const Matrix& a) {
    std::vector<double> s(static_cast<std::size_t>(a.cols()));
    CorxMatrix u = nullptr, v = nullptr;
    const CorxStatus status = corx_matrix_svd(a.get(), &u, detail::pointerOf(std::span<double>(s)),
                                              static_cast<std::int64_t>(s.size()), &v);
    SVD out{Matrix::adopt(u), std::move(s), Matrix::adopt(v)};
    if (status != CORX_SUCCESS)
        throw Error(status, "corx_matrix_svd",
                    !a ? std::string(detail::kEmptyOperand)
                       : detail::shapeText(a.rows(), a.cols()) + " has fewer rows than columns");
    return out;
}

// ---- sparse matrices (CSR) --------------------------------------------------

// A compressed-sparse-row matrix behind one owned CorxSparse handle. It is
// made from a dense matrix (zeros of either sign are dropped) and never
// changes afterwards.
class SparseMatrix {
public:
    SparseMatrix() noexcept = default;

    explicit SparseMatrix(const Matrix& dense)
        : h_(corx_sparse_from_dense(dense.get())), rows_(dense.rows()), cols_(dense.cols()) {
        if (h_ == nullptr) {
            detail::requireHandle(dense, "corx_sparse_from_dense");
            throw Error(CORX_NULL_HANDLE, "corx_sparse_from_dense");
        }
    }

    // Takes over a handle returned by corx_sparse_from_dense (null gives an
    // empty object). The C interface has no query for the shape of a sparse
    // handle, so it is read from a dense copy once, here.
    static SparseMatrix adopt(CorxSparse handle) {
        SparseMatrix s;
        s.h_ = handle;
        if (handle != nullptr) {
            const Matrix dense = Matrix::adopt(corx_sparse_to_dense(handle));
            s.rows_ = dense.rows();
            s.cols_ = dense.cols();
        }
        return s;
    }

    SparseMatrix(const SparseMatrix&) = delete;
    SparseMatrix& operator=(const SparseMatrix&) = delete;
    SparseMatrix(SparseMatrix&& other) noexcept
        : h_(std::exchange(other.h_, nullptr)),
          rows_(std::exchange(other.rows_, 0)),
          cols_(std::exchange(other.cols_, 0)) {}
    SparseMatrix& operator=(SparseMatrix&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = std::exchange(other.h_, nullptr);
            rows_ = std::exchange(other.rows_, 0);
            cols_ = std::exchange(other.cols_, 0);
        }
        return *this;
    }
    ~SparseMatrix() { reset(); }

    CorxSparse get() const noexcept { return h_; }
    [[nodiscard]] CorxSparse release() noexcept {
        rows_ = cols_ = 0;
        return std::exchange(h_, nullptr);
    }
    void reset() noexcept {
        CorxSparse old = std::exchange(h_, nullptr);
        rows_ = cols_ = 0;
        if (old != nullptr) corx_sparse_destroy(old);
    }
    explicit operator bool() const noexcept { return h_ != nullptr; }

    // 0 for an empty object.
    std::int32_t rows() const noexcept { return rows_; }
    std::int32_t cols() const noexcept { return cols_; }
    std::int32_t nnz() const noexcept { return corx_sparse_nnz(h_); }

    // A dense copy: the stored entries, +0.0 elsewhere.
    Matrix to_dense() const {
        CorxMatrix d = corx_sparse_to_dense(h_);
        if (d == nullptr) throw Error(CORX_NULL_HANDLE, "corx_sparse_to_dense", detail::kEmptyOperand);
        return Matrix::adopt(d);
    }

    // y = this * x into the front of y; returns rows(). x must hold exactly
    // cols() values (CORX_SHAPE_MISMATCH) and y at least rows()
    // (CORX_BUFFER_TOO_SMALL); y is unchanged on failure.
    std::size_t matvec_into(std::span<const double> x, std::span<double> y) const {
        const std::int32_t r = corx_sparse_matvec(h_, detail::pointerOf(x), detail::lengthOf(x), detail::pointerOf(y),
                                                  static_cast<std::int64_t>(y.size()));
        if (r >= 0) return static_cast<std::size_t>(r);
        // The library answers -1 whatever went wrong; the cause is found here.
        if (h_ == nullptr) throw Error(CORX_NULL_HANDLE, "corx_sparse_matvec", detail::kEmptyOperand);
        const std::string shape = detail::shapeText(rows_, cols_);
        if (x.size() != static_cast<std::size_t>(cols_))
            throw Error(CORX_SHAPE_MISMATCH, "corx_sparse_matvec",
                        shape + " times a vector of " + std::to_string(x.size()));
        throw Error(CORX_BUFFER_TOO_SMALL, "corx_sparse_matvec",
                    shape + " product into " + std::to_string(y.size()) + " values");
    }
    std::vector<double> matvec(std::span<const double> x) const {
        std::vector<double> y(static_cast<std::size_t>(rows_));
        matvec_into(x, y);
        return y;
    }

private:
    CorxSparse h_ = nullptr;
    std::int32_t rows_ = 0;
    std::int32_t cols_ = 0;
};

inline std::vector<double> operator*(const SparseMatrix& s, std::span<const double> x) { return s.matvec(x); }

// ---- fixed-size vectors -----------------------------------------------------
// Plain values with the layout of CorxVec2/3/4, converting to and from them.
// Equality (==) is exact; almost_equal is the library's strict test.

struct Vec2 {
    double x = 0, y = 0;
    operator CorxVec2() const noexcept { return {x, y}; }
    bool operator==(const Vec2&) const = default;
};
struct Vec3 {
    double x = 0, y = 0, z = 0;
    operator CorxVec3() const noexcept { return {x, y, z}; }
    bool operator==(const Vec3&) const = default;
};
struct Vec4 {
    double x = 0, y = 0, z = 0, w = 0;
    operator CorxVec4() const noexcept { return {x, y, z, w}; }
    bool operator==(const Vec4&) const = default;
};

inline Vec2 from_c(CorxVec2 v) noexcept { return {v.x, v.y}; }
inline Vec3 from_c(CorxVec3 v) noexcept { return {v.x, v.y, v.z}; }
inline Vec4 from_c(CorxVec4 v) noexcept { return {v.x, v.y, v.z, v.w}; }

inline Vec2 operator+(Vec2 a, Vec2 b) noexcept { return from_c(corx_vec2_add(a, b)); }
inline Vec2 operator-(Vec2 a, Vec2 b) noexcept { return from_c(corx_vec2_sub(a, b)); }
inline Vec2 operator*(Vec2 v, double f) noexcept { return from_c(corx_vec2_scale(v, f)); }
inline Vec2 operator*(double f, Vec2 v) noexcept { return from_c(corx_vec2_scale(v, f)); }
inline double dot(Vec2 a, Vec2 b) noexcept { return corx_vec2_dot(a, b); }
inline double length(Vec2 v) noexcept { return corx_vec2_length(v); }
inline Vec2 normalize(Vec2 v) noexcept { return from_c(corx_vec2_normalize(v)); }
inline bool almost_equal(Vec2 a, Vec2 b, double epsilon) noexcept { return corx_vec2_almost_equal(a, b, epsilon); }
inline double cross2d(Vec2 a, Vec2 b) noexcept { return corx_vec2_cross2d(a, b); }
// A quarter turn counter-clockwise, and clockwise.
inline Vec2 perp(Vec2 v) noexcept { return from_c(corx_vec2_perp(v)); }
inline Vec2 perp_cw(Vec2 v) noexcept { return from_c(corx_vec2_perp_cw(v)); }

inline Vec3 operator+(Vec3 a, Vec3 b) noexcept { return from_c(corx_vec3_add(a, b)); }
inline Vec3 operator-(Vec3 a, Vec3 b) noexcept { return from_c(corx_vec3_sub(a, b)); }
inline Vec3 operator*(Vec3 v, double f) noexcept { return from_c(corx_vec3_scale(v, f)); }
inline Vec3 operator*(double f, Vec3 v) noexcept { return from_c(corx_vec3_scale(v, f)); }
inline double dot(Vec3 a, Vec3 b) noexcept { return corx_vec3_dot(a, b); }
inline double length(Vec3 v) noexcept { return corx_vec3_length(v); }
inline Vec3 normalize(Vec3 v) noexcept { return from_c(corx_vec3_normalize(v)); }
inline bool almost_equal(Vec3 a, Vec3 b, double epsilon) noexcept { return corx_vec3_almost_equal(a, b, epsilon); }
inline Vec3 cross(Vec3 a, Vec3 b) noexcept { return from_c(corx_vec3_cross(a, b)); }

inline Vec4 operator+(Vec4 a, Vec4 b) noexcept { return from_c(corx_vec4_add(a, b)); }
inline Vec4 operator-(Vec4 a, Vec4 b) noexcept { return from_c(corx_vec4_sub(a, b)); }
inline Vec4 operator*(Vec4 v, double f) noexcept { return from_c(corx_vec4_scale(v, f)); }
inline Vec4 operator*(double f, Vec4 v) noexcept { return from_c(corx_vec4_scale(v, f)); }
inline double dot(Vec4 a, Vec4 b) noexcept { return corx_vec4_dot(a, b); }
inline double length(Vec4 v) noexcept { return corx_vec4_length(v); }
inline Vec4 normalize(Vec4 v) noexcept { return from_c(corx_vec4_normalize(v)); }

}  // namespace corx

#endif  // CORX_CORX_HPP
