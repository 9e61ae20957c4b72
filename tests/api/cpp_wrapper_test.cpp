// SPDX-License-Identifier: BSD-3-Clause
// The C++ layer <corx/corx.hpp>: ownership of handles, the mapping of every
// failure to corx::Error, and that each operation reaches the right C
// function with its arguments intact.
//
// Ownership is observed directly: this program defines the two destroy
// functions itself, so the dynamic linker binds every call of them to these
// definitions, which log the handle and then forward to the library's own.
#include <corx/corx.hpp>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "support/bits.h"

namespace {

// Every non-null handle passed to a destroy function, in order. malloc may
// hand a freed box's address to a later handle, so counts are taken over
// stretches in which the handles of interest are alive.
std::vector<const void*>& destroyed() {
    static std::vector<const void*> log;
    return log;
}

template <class Fn>
Fn nextDefinition(const char* name) {
    void* f = dlsym(RTLD_NEXT, name);
    if (f == nullptr) std::abort();
    return reinterpret_cast<Fn>(f);
}

}  // namespace

extern "C" void corx_matrix_destroy(CorxMatrix m) {
    static const auto real = nextDefinition<void (*)(CorxMatrix)>("corx_matrix_destroy");
    if (m != nullptr) destroyed().push_back(m);
    real(m);
}

extern "C" void corx_sparse_destroy(CorxSparse s) {
    static const auto real = nextDefinition<void (*)(CorxSparse)>("corx_sparse_destroy");
    if (s != nullptr) destroyed().push_back(s);
    real(s);
}

namespace {

using corx::Matrix;
using corx::SparseMatrix;
using corx_test::sameBits;

static_assert(!std::is_copy_constructible_v<Matrix> && !std::is_copy_assignable_v<Matrix>);
static_assert(std::is_nothrow_move_constructible_v<Matrix> && std::is_nothrow_move_assignable_v<Matrix>);
static_assert(!std::is_copy_constructible_v<SparseMatrix> && !std::is_copy_assignable_v<SparseMatrix>);
static_assert(std::is_nothrow_move_constructible_v<SparseMatrix> &&
              std::is_nothrow_move_assignable_v<SparseMatrix>);

class Ownership : public ::testing::Test {
protected:
    void SetUp() override { destroyed().clear(); }
    static long timesDestroyed(const void* h) { return std::count(destroyed().begin(), destroyed().end(), h); }
};

TEST_F(Ownership, MovesHandOverTheHandleAndEachIsDestroyedOnce) {
    CorxMatrix h = nullptr, g = nullptr;
    {
        Matrix a(2, 2, {1, 2, 3, 4});
        h = a.get();
        Matrix b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_EQ(a.get(), nullptr);
        EXPECT_EQ(b.get(), h);

        Matrix c(1, 1);
        g = c.get();
        c = std::move(b);  // c's own handle goes at once, b's moves in
        EXPECT_EQ(timesDestroyed(g), 1);
        EXPECT_EQ(timesDestroyed(h), 0);
        EXPECT_EQ(c.get(), h);

        auto& same = c;
        c = std::move(same);  // self-move keeps the handle
        EXPECT_EQ(c.get(), h);
        EXPECT_EQ(timesDestroyed(h), 0);

        destroyed().clear();
        std::vector<Matrix> many;
        for (int i = 0; i < 40; ++i) many.emplace_back(3, 3);  // regrowth moves the elements
        EXPECT_TRUE(destroyed().empty());
    }
    EXPECT_EQ(timesDestroyed(h), 1);
    EXPECT_EQ(destroyed().size(), 41u);  // h and the forty in the vector
}

TEST_F(Ownership, ReleaseAndAdoptPassTheHandleThroughCCode) {
    Matrix a(2, 3);
    CorxMatrix h = a.release();
    EXPECT_FALSE(a);
    EXPECT_EQ(corx_matrix_rows(h), 2);  // still alive: release did not destroy it
    {
        Matrix back = Matrix::adopt(h);
        EXPECT_EQ(back.cols(), 3);
    }
    EXPECT_EQ(timesDestroyed(h), 1);

    destroyed().clear();
    Matrix r(1, 1);
    CorxMatrix old = r.get();
    CorxMatrix fresh = corx_matrix_create(2, 2);
    r.reset(fresh);
    EXPECT_EQ(timesDestroyed(old), 1);
    r.reset();
    EXPECT_EQ(timesDestroyed(fresh), 1);
    EXPECT_FALSE(r);
}

TEST_F(Ownership, TemporariesAndDecompositionsReleaseEveryHandle) {
    {
        Matrix a(2, 2, {4, 2, 2, 5});
        Matrix r = (a + a) * transpose(a) - scale(cholesky(a), 2.0);
        auto [q, rr] = corx::qr(a);
        auto [u, s, v] = corx::svd(a);
        EXPECT_EQ(s.size(), 2u);
    }
    // a; a+a, transpose, their product, cholesky, scale, r; q, r; u, v.
    EXPECT_EQ(destroyed().size(), 11u);
}

TEST_F(Ownership, SparseHandlesFollowTheSameRules) {
    CorxSparse h = nullptr;
    {
        Matrix d(2, 2, {0, 2, 3, 0});
        SparseMatrix s(d);
        h = s.get();
        SparseMatrix t(std::move(s));
        EXPECT_FALSE(s);
        EXPECT_EQ(s.rows(), 0);
        EXPECT_EQ(t.rows(), 2);
        SparseMatrix u(Matrix(1, 1, {5}));
        u = std::move(t);
        EXPECT_EQ(u.get(), h);
        EXPECT_EQ(timesDestroyed(h), 0);

        CorxSparse raw = u.release();
        SparseMatrix back = SparseMatrix::adopt(raw);  // shape read back from the handle
        EXPECT_EQ(back.rows(), 2);
        EXPECT_EQ(back.cols(), 2);
        EXPECT_EQ(back.matvec(std::vector<double>{1, 1}), (std::vector<double>{2, 3}));
    }
    EXPECT_EQ(timesDestroyed(h), 1);
}

// ---- failure mapping ----------------------------------------------------------

template <class Fn>
corx::Error thrownBy(Fn&& fn) {
    try {
        fn();
    } catch (const corx::Error& e) {
        return e;
    }
    ADD_FAILURE() << "no corx::Error thrown";
    return corx::Error(CORX_SUCCESS, "none");
}

void expectError(const corx::Error& e, CorxStatus code, const std::string& function) {
    EXPECT_EQ(e.code(), code);
    EXPECT_STREQ(e.status_text(), corx_get_error_string(code));
    const std::string what = e.what();
    EXPECT_EQ(what.rfind(function + ": " + corx_get_error_string(code), 0), 0u) << what;
}

TEST(WrapperFailures, CreationAndCopyOut) {
    expectError(thrownBy([] { Matrix(0, 5); }), CORX_SHAPE_MISMATCH, "corx_matrix_create");
    expectError(thrownBy([] { Matrix(46341, 46341); }), CORX_SHAPE_MISMATCH, "corx_matrix_create");
    auto e = thrownBy([] { Matrix(2, 2, {1, 2, 3}); });
    expectError(e, CORX_SHAPE_MISMATCH, "corx_matrix_create_from_buffer");
    EXPECT_NE(std::string(e.what()).find("holds 3 values"), std::string::npos) << e.what();
    expectError(thrownBy([] { Matrix(2, 2, std::vector<double>{}); }), CORX_SHAPE_MISMATCH,
                "corx_matrix_create_from_buffer");

    Matrix m(2, 2, {1, 2, 3, 4});
    std::vector<double> out(3, -7.0);
    expectError(thrownBy([&] { m.copy_to(out); }), CORX_BUFFER_TOO_SMALL, "corx_matrix_get_buffer");
    EXPECT_EQ(out, std::vector<double>(3, -7.0));  // nothing written
    expectError(thrownBy([&] { m.copy_to({}); }), CORX_BUFFER_TOO_SMALL, "corx_matrix_get_buffer");

    EXPECT_THROW(m.at(2, 0), std::out_of_range);
    EXPECT_THROW(m.at(0, -1), std::out_of_range);
    EXPECT_THROW(m.set(0, 2, 9.0), std::out_of_range);
    EXPECT_EQ(m.to_vector(), (std::vector<double>{1, 2, 3, 4}));
}

TEST(WrapperFailures, EmptyObjectsAreNullHandles) {
    Matrix a(2, 2, {1, 2, 3, 4});
    Matrix gone = std::move(a);
    const Matrix& e = a;  // moved from
    const SparseMatrix none;
    const std::vector<double> b{1, 2};
    std::vector<double> x(2);
    expectError(thrownBy([&] { (void)e.to_vector(); }), CORX_NULL_HANDLE, "corx_matrix_get_buffer");
    expectError(thrownBy([&] { (void)e.copy_to(x); }), CORX_NULL_HANDLE, "corx_matrix_get_buffer");
    expectError(thrownBy([&] { (void)e.clone(); }), CORX_NULL_HANDLE, "corx_matrix_get_buffer");
    expectError(thrownBy([&] { (void)e.at(0, 0); }), CORX_NULL_HANDLE, "corx_matrix_get");
    expectError(thrownBy([&] { (void)(gone + e); }), CORX_NULL_HANDLE, "corx_matrix_add");
    expectError(thrownBy([&] { (void)(e - gone); }), CORX_NULL_HANDLE, "corx_matrix_sub");
    expectError(thrownBy([&] { (void)(e * gone); }), CORX_NULL_HANDLE, "corx_matrix_mul");
    expectError(thrownBy([&] { (void)(2.0 * e); }), CORX_NULL_HANDLE, "corx_matrix_scale");
    expectError(thrownBy([&] { (void)transpose(e); }), CORX_NULL_HANDLE, "corx_matrix_transpose");
    expectError(thrownBy([&] { (void)almost_equal(e, gone, 1.0); }), CORX_NULL_HANDLE, "corx_matrix_almost_equal");
    expectError(thrownBy([&] { (void)determinant(e); }), CORX_NULL_HANDLE, "corx_matrix_determinant");
    expectError(thrownBy([&] { (void)solve(e, b); }), CORX_NULL_HANDLE, "corx_matrix_lu_solve");
    expectError(thrownBy([&] { (void)cholesky(e); }), CORX_NULL_HANDLE, "corx_matrix_cholesky");
    expectError(thrownBy([&] { (void)corx::qr(e); }), CORX_NULL_HANDLE, "corx_matrix_qr");
    expectError(thrownBy([&] { (void)corx::svd(e); }), CORX_NULL_HANDLE, "corx_matrix_svd");
    expectError(thrownBy([&] { SparseMatrix s(e); }), CORX_NULL_HANDLE, "corx_sparse_from_dense");
    expectError(thrownBy([&] { (void)none.to_dense(); }), CORX_NULL_HANDLE, "corx_sparse_to_dense");
    expectError(thrownBy([&] { (void)none.matvec(b); }), CORX_NULL_HANDLE, "corx_sparse_matvec");
    EXPECT_EQ(e.rows(), 0);
    EXPECT_EQ(none.nnz(), 0);
}

TEST(WrapperFailures, ShapesSingularityAndDefiniteness) {
    const Matrix wide(2, 3), tall(3, 2), square(2, 2, {1, 2, 3, 4});
    auto e = thrownBy([&] { (void)(wide + tall); });
    expectError(e, CORX_SHAPE_MISMATCH, "corx_matrix_add");
    EXPECT_NE(std::string(e.what()).find("2x3 + 3x2"), std::string::npos) << e.what();
    expectError(thrownBy([&] { (void)(wide - tall); }), CORX_SHAPE_MISMATCH, "corx_matrix_sub");
    expectError(thrownBy([&] { (void)(wide * wide); }), CORX_SHAPE_MISMATCH, "corx_matrix_mul");
    // Results past the element limit: refused, with the reason named.
    const Matrix column(65536, 1), row(1, 65536);
    e = thrownBy([&] { (void)(column * row); });
    expectError(e, CORX_SHAPE_MISMATCH, "corx_matrix_mul");
    EXPECT_NE(std::string(e.what()).find("more than 2147483647 elements"), std::string::npos) << e.what();
    e = thrownBy([&] { (void)qr(column); });
    expectError(e, CORX_SHAPE_MISMATCH, "corx_matrix_qr");
    EXPECT_NE(std::string(e.what()).find("q would hold more than"), std::string::npos) << e.what();
    EXPECT_FALSE(almost_equal(wide, tall, 1.0));      // a predicate, not a failure
    EXPECT_FALSE(almost_equal(square, square, -1.0));

    expectError(thrownBy([&] { (void)determinant(tall); }), CORX_SHAPE_MISMATCH, "corx_matrix_determinant");
    EXPECT_EQ(determinant(Matrix(2, 2, {1, 2, 1, 2})), 0.0);  // singular is a value

    const std::vector<double> b2{1, 2}, b3{1, 2, 3};
    expectError(thrownBy([&] { (void)solve(tall, b2); }), CORX_SHAPE_MISMATCH, "corx_matrix_lu_solve");
    expectError(thrownBy([&] { (void)solve(square, b3); }), CORX_SHAPE_MISMATCH, "corx_matrix_lu_solve");
    expectError(thrownBy([&] { (void)solve(square, {}); }), CORX_SHAPE_MISMATCH, "corx_matrix_lu_solve");
    std::vector<double> x1(1, -7.0);
    expectError(thrownBy([&] { (void)solve_into(square, b2, x1); }), CORX_BUFFER_TOO_SMALL, "corx_matrix_lu_solve");
    EXPECT_EQ(x1[0], -7.0);
    const Matrix singular(2, 2, {1, 2, 2, 4});
    expectError(thrownBy([&] { (void)solve(singular, b2); }), CORX_SINGULAR, "corx_matrix_lu_solve");
    EXPECT_EQ(solve(square, b2).size(), 2u);  // nothing lingers after the failure

    expectError(thrownBy([&] { (void)cholesky(tall); }), CORX_SHAPE_MISMATCH, "corx_matrix_cholesky");
    expectError(thrownBy([&] { (void)cholesky(Matrix(2, 2, {4, 1, 2, 3})); }), CORX_NOT_SPD, "corx_matrix_cholesky");
    expectError(thrownBy([&] { (void)cholesky(Matrix(2, 2, {1, 2, 2, 1})); }), CORX_NOT_SPD, "corx_matrix_cholesky");
    expectError(thrownBy([&] { (void)corx::qr(wide); }), CORX_SHAPE_MISMATCH, "corx_matrix_qr");
    expectError(thrownBy([&] { (void)corx::svd(wide); }), CORX_SHAPE_MISMATCH, "corx_matrix_svd");

    const SparseMatrix s(Matrix(2, 3, {0, 2, 0, 3, 0, 1}));
    expectError(thrownBy([&] { (void)s.matvec(b2); }), CORX_SHAPE_MISMATCH, "corx_sparse_matvec");
    expectError(thrownBy([&] { (void)(s * std::vector<double>{1, 2, 3, 4}); }), CORX_SHAPE_MISMATCH,
                "corx_sparse_matvec");
    std::vector<double> y1(1, -7.0);
    expectError(thrownBy([&] { (void)s.matvec_into(b3, y1); }), CORX_BUFFER_TOO_SMALL, "corx_sparse_matvec");
    EXPECT_EQ(y1[0], -7.0);
}

// ---- results reach the caller intact -------------------------------------------

TEST(WrapperResults, DenseArithmetic) {
    const Matrix a(2, 2, {1, 2, 3, 4}), b(2, 2, {5, 6, 7, 8});
    EXPECT_EQ((a * b).to_vector(), (std::vector<double>{19, 22, 43, 50}));
    EXPECT_EQ((a + b).to_vector(), (std::vector<double>{6, 8, 10, 12}));
    EXPECT_EQ((a - b).to_vector(), (std::vector<double>{-4, -4, -4, -4}));
    EXPECT_EQ((a * 0.5).to_vector(), (0.5 * a).to_vector());
    EXPECT_EQ((a * 0.5).to_vector(), (std::vector<double>{0.5, 1, 1.5, 2}));
    const Matrix t = transpose(Matrix(1, 3, {1, 2, 3}));
    EXPECT_EQ(t.rows(), 3);
    EXPECT_EQ(t.cols(), 1);
    EXPECT_TRUE(almost_equal(a, b, 4.0));
    EXPECT_FALSE(almost_equal(a, b, 3.5));

    Matrix c = a.clone();
    c.set(0, 0, -0.0);
    EXPECT_TRUE(sameBits(c.at(0, 0), -0.0));
    EXPECT_EQ(a.at(0, 0), 1.0);  // the clone has its own storage
    std::vector<double> wide(6, 9.0);
    EXPECT_EQ(a.copy_to(wide), 4u);
    EXPECT_EQ(wide, (std::vector<double>{1, 2, 3, 4, 9, 9}));
}

TEST(WrapperResults, SolversAndDecompositions) {
    const Matrix a(2, 2, {3, 1, 1, 3});
    const std::vector<double> b{1, 2};
    // The refinement flag reaches the library: only the refined solution is exact.
    EXPECT_TRUE(sameBits(solve(a, b, false), {0.12499999999999996, 0.6250000000000001}));
    EXPECT_TRUE(sameBits(solve(a, b), {0.125, 0.625}));
    std::vector<double> x(3, 9.0);
    EXPECT_EQ(solve_into(a, b, x), 2u);
    EXPECT_EQ(x[2], 9.0);

    EXPECT_EQ(determinant(Matrix(2, 2, {0, 1, 1, 0})), -1.0);
    EXPECT_EQ(cholesky(Matrix(2, 2, {4, 2, 2, 5})).to_vector(), (std::vector<double>{2, 0, 1, 2}));

    const Matrix m(2, 2, {3, 1, 4, 2});
    const auto [q, r] = corx::qr(m);
    EXPECT_TRUE(sameBits(q.to_vector(), {-0.6000000000000001, -0.8, -0.8, 0.6}));
    EXPECT_TRUE(sameBits(r.to_vector(), {-5.0, -2.2, 0.0, 0.3999999999999999}));

    const auto [u, s, v] = corx::svd(Matrix(2, 2, {3, 0, 4, 5}));
    EXPECT_TRUE(sameBits(s, {6.708203932499369, 2.2360679774997894}));
    EXPECT_TRUE(almost_equal(u * Matrix(2, 2, {s[0], 0, 0, s[1]}) * transpose(v), Matrix(2, 2, {3, 0, 4, 5}), 1e-14));
    EXPECT_EQ(u.rows(), 2);
    EXPECT_EQ(v.cols(), 2);
}

TEST(WrapperResults, SparseAndVectors) {
    const SparseMatrix s(Matrix(2, 3, {0, 2, 0, 3, 0, -0.0}));
    EXPECT_EQ(s.nnz(), 2);
    EXPECT_EQ(s.rows(), 2);
    EXPECT_EQ(s.cols(), 3);
    EXPECT_EQ(s * std::vector<double>({1, 1, 5}), (std::vector<double>{2, 3}));
    EXPECT_EQ(s.to_dense().to_vector(), (std::vector<double>{0, 2, 0, 3, 0, 0}));
    std::vector<double> y(3, 9.0);
    EXPECT_EQ(s.matvec_into(std::vector<double>{1, 1, 1}, y), 2u);
    EXPECT_EQ(y, (std::vector<double>{2, 3, 9}));

    using corx::Vec2, corx::Vec3, corx::Vec4;
    // Double parentheses keep the braces' commas away from the macros.
    EXPECT_TRUE((Vec2{1, 2} + Vec2{3, 5} == Vec2{4, 7}));
    EXPECT_TRUE((Vec2{1, 2} - Vec2{3, 5} == Vec2{-2, -3}));
    EXPECT_TRUE((2.0 * Vec3{1, 2, 3} == Vec3{2, 4, 6}));
    const Vec2 ccw = corx::perp(Vec2{1, 0}), cw = corx::perp_cw(Vec2{1, 0});
    EXPECT_TRUE(sameBits(ccw.x, -0.0) && ccw.y == 1.0);
    EXPECT_TRUE(sameBits(cw.x, 0.0) && cw.y == -1.0);
    EXPECT_EQ(corx::cross2d(Vec2{0, 1}, Vec2{1, 0}), -1.0);
    EXPECT_TRUE((corx::cross(Vec3{0, 1, 0}, Vec3{1, 0, 0}) == Vec3{0, 0, -1}));
    EXPECT_TRUE((corx::normalize(Vec2{3, 4}) == Vec2{0.6, 0.8}));
    EXPECT_EQ(corx::length(Vec4{1, 1, 1, 1}), 2.0);
    EXPECT_EQ(corx::dot(Vec4{1, 2, 3, 4}, Vec4{1, 1, 1, 1} * 2.0), 20.0);
    EXPECT_FALSE(corx::almost_equal(Vec2{1, 1}, Vec2{1.5, 1}, 0.5));
    EXPECT_TRUE(corx::almost_equal(Vec3{1, 1, 1}, Vec3{1, 1, 1.25}, 0.5));
    EXPECT_TRUE((corx::from_c(corx_vec3_add(Vec3{1, 2, 3}, Vec3{1, 1, 1})) == Vec3{2, 3, 4}));
}

}  // namespace
