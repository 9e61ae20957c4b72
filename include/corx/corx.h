/* SPDX-License-Identifier: BSD-3-Clause */
/**
 * @file corx/corx.h
 * @brief corx: reproducible numerical linear algebra behind a plain C interface.
 *
 * Every result is determined to the last bit: each floating-point operation
 * is rounded on its own (no fused multiply-add) in a fixed order, so a
 * program gets the same bits on every machine and from every build.
 *
 * Conventions that hold for every function below:
 *  - No function aborts, throws or exits on bad input. Failures come back
 *    through the result: a null handle, a negative count (the negated
 *    CorxStatus), a CorxStatus, 0 / 0.0 / false, or a request silently
 *    ignored, as each function documents.
 *  - Arguments are checked in this order: null pointers, then shapes, then
 *    caller buffer lengths. A failed call creates no handle, never changes
 *    an argument handle and writes nothing into caller buffers.
 *  - Handles are opaque and owned by the caller: every handle a function
 *    returns holds one reference and is released by exactly one call of the
 *    matching destroy function. Caller arrays are copied in and out during
 *    the call; the library keeps no pointer to caller memory.
 *  - No handle holds more than 2147483647 elements. A call whose result
 *    would (a product, the Q of a QR) is refused through its failure
 *    result, as each function documents, before anything is allocated.
 *  - Exhaustion of memory is not reported: when an allocation fails even
 *    after the freed blocks the library keeps for reuse are given back (see
 *    corx_cleanup), the process writes "out of memory" to standard error
 *    and exits with status 1. (A WebAssembly module, which cannot end its
 *    process, traps instead: the call ends in a trap for its JavaScript
 *    caller, and the module must not be used again.)
 *  - Threads: by default the library starts no threads and takes no locks:
 *    no thread ever waits on a lock of the library's, so a thread may be
 *    interrupted anywhere inside a call (by a signal whose handler forks,
 *    say) without stalling other threads or a forked child. (Only
 *    corx_init's first call makes concurrent first callers wait until it
 *    has finished; the C library's allocator has its own locks.) With
 *    threads switched on (see corx_set_threads), a call that splits waits
 *    for its own parts, and corx_set_threads and corx_cleanup wait for such
 *    a call to finish; a forked child still never waits on its parent's
 *    threads. Handles may be read from
 *    several threads at once; corx_matrix_set and the destroy functions
 *    must not overlap any other use of the same handle.
 *  - All functions work without corx_init; see corx_init for what it adds.
 *  - Floating-point environment: every function computes under
 *    round-to-nearest-even with subnormals kept, whatever rounding
 *    direction, flush-to-zero or denormals-are-zero mode the caller set,
 *    and returns with the caller's environment as it was. Status flags
 *    merge: flags the caller had raised stay raised, and a call may raise
 *    others (which ones is not specified). A caller that enables
 *    floating-point traps may receive them from any call.
 *
 * The version of these headers is in <corx/version.h>.
 */
#ifndef CORX_CORX_H
#define CORX_CORX_H

#include <stdbool.h>
#include <stdint.h>

#if defined(__GNUC__)
#define CORX_API __attribute__((visibility("default")))
#else
#define CORX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- types -------------------------------------------------------------- */

/** @brief Opaque dense matrix handle (row-major doubles); NULL means no matrix. */
typedef struct CorxMatrixBox* CorxMatrix;
/** @brief Opaque compressed-sparse-row matrix handle; NULL means no matrix. */
typedef struct CorxSparseBox* CorxSparse;

/** @brief A 2-component vector, passed and returned by value. */
typedef struct CorxVec2 {
    double x; /**< first component */
    double y; /**< second component */
} CorxVec2;
/** @brief A 3-component vector, passed and returned by value. */
typedef struct CorxVec3 {
    double x; /**< first component */
    double y; /**< second component */
    double z; /**< third component */
} CorxVec3;
/** @brief A 4-component vector, passed and returned by value. */
typedef struct CorxVec4 {
    double x; /**< first component */
    double y; /**< second component */
    double z; /**< third component */
    double w; /**< fourth component */
} CorxVec4;

/**
 * @brief Status codes. Count-returning functions report a failure as the
 * negated code (-1, -2, -3, -5); pass the negated result to
 * corx_get_error_string.
 */
typedef int32_t CorxStatus;
/** @brief The values of CorxStatus, with the text corx_get_error_string gives. */
enum {
    CORX_SUCCESS = 0,          /**< "Success" */
    CORX_NULL_HANDLE = 1,      /**< "Null handle": any required pointer was NULL */
    CORX_SHAPE_MISMATCH = 2,   /**< "Shape mismatch" */
    CORX_SINGULAR = 3,         /**< "Singular matrix" */
    CORX_NOT_SPD = 4,          /**< "Matrix is not symmetric positive-definite" (only corx_matrix_cholesky_solve returns it) */
    CORX_BUFFER_TOO_SMALL = 5  /**< "Output buffer too small" */
};

/* ---- lifecycle ---------------------------------------------------------- */

/**
 * @brief Runs the library start-up on the first call: installs process
 * signal handlers (see below) and computes the library's constant tables.
 *
 * Later calls do nothing. Safe to call from several threads.
 * @return 1, always.
 * @warning The start-up installs process-wide signal dispositions. SIGINT,
 * SIGSEGV, SIGABRT, SIGFPE and SIGILL get a handler that writes a one-line
 * message to standard error, restores the default disposition and raises
 * the signal again; SIGPIPE is ignored. A signal already ignored when
 * corx_init runs (SIGINT in a background job) stays ignored. Once loaded,
 * the library stays loaded (dlclose does not unmap it), so the handlers
 * stay valid. A host with its own handlers should install them after
 * corx_init, or not call corx_init at all (no other function needs it).
 */
CORX_API int32_t corx_init(void);
/**
 * @brief The library version, "1.0.0" (CORX_VERSION_STRING of the build
 * that produced the library).
 * @return Static text owned by the library.
 */
CORX_API const char* corx_version(void);
/**
 * @brief Gives back memory the library keeps between calls for speed.
 *
 * The library keeps up to 256 MiB of freed blocks of 1 MiB or more, for the
 * whole process, to hand to later calls (which then skip clearing fresh
 * memory), and each thread that has called it keeps working buffers of up
 * to a dozen megabytes. corx_cleanup unmaps every kept block, whichever
 * thread freed it, frees the calling thread's working buffers (a
 * thread's buffers are also freed when it exits), and ends the library's own
 * threads, if any (waiting for a call that uses them to finish; the next
 * call that splits starts new ones). Call it when the host
 * needs the memory for something else: after a burst of large
 * computations, before a long phase without them, or when the host's own
 * allocations fail. The library gives kept blocks back by itself before any
 * of its own allocations can fail, but it cannot see the host's.
 *
 * Handles stay valid, corx_init is not run again and the next calls work
 * as before (the first large ones a little slower). Safe to call any
 * number of times, from any thread, concurrently with other calls, and
 * before corx_init.
 */
CORX_API void corx_cleanup(void);
/**
 * @brief Static text of a status code.
 * @return The text; "Unknown error" for any code outside 0..5. Owned by the
 * library; never free it.
 */
CORX_API const char* corx_get_error_string(int32_t code);

/* ---- dense matrix handles ----------------------------------------------- */

/**
 * @brief New rows x cols matrix of +0.0. Release with corx_matrix_destroy.
 * @return The handle; NULL if rows <= 0, cols <= 0 or rows*cols > 2147483647.
 */
CORX_API CorxMatrix corx_matrix_create(int32_t rows, int32_t cols);
/**
 * @brief New rows x cols matrix copied from data (row-major, exactly
 * length == rows*cols doubles, read only during the call).
 * @return The handle; NULL if data is NULL, a dimension is <= 0,
 * rows*cols > 2147483647 or length != rows*cols.
 */
CORX_API CorxMatrix corx_matrix_create_from_buffer(int32_t rows, int32_t cols,
                                                   const double* data, int64_t length);
/** @brief Releases the handle. NULL is ignored. The handle is invalid afterwards. */
CORX_API void corx_matrix_destroy(CorxMatrix m);
/** @brief Number of rows; 0 for NULL. */
CORX_API int32_t corx_matrix_rows(CorxMatrix m);
/** @brief Number of columns; 0 for NULL. */
CORX_API int32_t corx_matrix_cols(CorxMatrix m);
/** @brief Element (row, col), zero-based; 0.0 for NULL or a position out of range. */
CORX_API double corx_matrix_get(CorxMatrix m, int32_t row, int32_t col);
/**
 * @brief Stores value (bit for bit) at (row, col) in the handle itself;
 * ignored for NULL or a position out of range.
 */
CORX_API void corx_matrix_set(CorxMatrix m, int32_t row, int32_t col, double value);
/**
 * @brief Copies all rows*cols elements, row-major, into out[0..rows*cols-1];
 * the rest of out is untouched.
 * @return rows*cols, -1 if out or m is NULL, -5 if out_length < rows*cols
 * (nothing written on failure).
 */
CORX_API int32_t corx_matrix_get_buffer(CorxMatrix m, double* out, int64_t out_length);

/* ---- dense arithmetic --------------------------------------------------- */
/**
 * @name Dense arithmetic
 * Each returns a new handle owned by the caller (release with
 * corx_matrix_destroy), or NULL for a NULL operand or a shape mismatch.
 * Operands are never changed; the same handle may be passed twice.
 * @{
 */

/**
 * @brief a + b, element by element; shapes must be equal.
 * @return A new handle owned by the caller, or NULL for a NULL operand or a
 * shape mismatch. Operands are never changed; the same handle may be passed
 * twice (as for every arithmetic function below).
 */
CORX_API CorxMatrix corx_matrix_add(CorxMatrix a, CorxMatrix b);
/** @brief a - b, element by element; shapes must be equal. @return A new handle, or NULL. */
CORX_API CorxMatrix corx_matrix_sub(CorxMatrix a, CorxMatrix b);
/**
 * @brief Matrix product a*b; a's columns must equal b's rows. Each element is
 * accumulated from +0.0 in increasing k; zero factors are not skipped.
 * @return A new handle, or NULL for a NULL operand, a shape mismatch or a
 * product of more than 2147483647 elements (a's rows times b's columns).
 */
CORX_API CorxMatrix corx_matrix_mul(CorxMatrix a, CorxMatrix b);
/** @brief Every element multiplied by factor. @return A new handle, or NULL. */
CORX_API CorxMatrix corx_matrix_scale(CorxMatrix m, double factor);
/** @brief The transpose, bits unchanged. @return A new handle, or NULL. */
CORX_API CorxMatrix corx_matrix_transpose(CorxMatrix m);
/**
 * @brief Element-wise comparison within an absolute tolerance.
 * @return true when shapes match and |a - b| <= tolerance for every element
 * (an absolute test; a NaN difference fails). false for a NULL operand and
 * for a tolerance that is negative, NaN or +infinity.
 */
CORX_API bool corx_matrix_almost_equal(CorxMatrix a, CorxMatrix b, double tolerance);

/** @} */

/* ---- solvers and decompositions ----------------------------------------- */

/**
 * @brief Determinant of a square matrix by LU with partial pivoting.
 *
 * The sign of the row exchanges times the pivots, multiplied left to right
 * with one rounding each. A partial product that would overflow or
 * underflow while a later pivot brings it back into range does not: the
 * product is then carried with a separate exponent, and only a determinant
 * that is itself beyond the largest double is infinite, or below the
 * smallest subnormal zero. Where every partial product stays in the normal
 * range, the result is the plain product, bit for bit.
 * @param m  the matrix.
 * @param ok may be NULL; receives 1 on success, 0 when m is NULL or not
 *           square (result 0.0). A singular matrix gives 0.0 with *ok = 1.
 * @return The determinant.
 */
CORX_API double corx_matrix_determinant(CorxMatrix m, int32_t* ok);
/**
 * @brief Solves m*x = b (m square, b_length == rows) by LU with partial
 * pivoting, with one step of refinement on an exactly computed residual when
 * the low byte of do_refine is non-zero.
 *
 * Writes n values to x and leaves the rest of x untouched. NaN and infinite
 * inputs propagate into x and still return n.
 * @return n. Failures (nothing written), tested in this order: -1 if x, b or
 * m is NULL; -2 if m is not square or b_length != rows; -5 if
 * x_length < b_length; -3 if m is singular (a pivot column exactly zero;
 * nearly singular systems are solved, possibly to huge values).
 */
CORX_API int32_t corx_matrix_lu_solve(CorxMatrix m, const double* b, int64_t b_length,
                                      double* x, int64_t x_length, bool do_refine);
/**
 * @brief Solves m*X = B for nrhs right-hand sides with one LU
 * factorisation of m.
 *
 * B and X are n x nrhs and row-major like every matrix of the library:
 * b[i*nrhs + j] is row i of column j, and so is x[i*nrhs + j]. Column j of
 * X is bit for bit what corx_matrix_lu_solve(m, column j of B, ...,
 * do_refine) writes, NaN and infinite inputs included, for every thread
 * count: the columns are shared out among the threads, each solved (and,
 * when the low byte of do_refine is non-zero, refined once on its exact
 * residual) exactly as the single solve does. The caller owns b and x;
 * nothing is kept.
 *
 * Writes n*nrhs values to x and leaves the rest of x untouched.
 * @return n, the number of rows. Failures (nothing written), tested in
 * this order: -1 if x, b or m is NULL; -2 if m is not square, nrhs < 1 or
 * b_length != rows*nrhs; -5 if x_length < b_length; -3 if m is singular
 * (a pivot column exactly zero).
 */
CORX_API int32_t corx_matrix_lu_solve_many(CorxMatrix m, const double* b, int64_t b_length,
                                           int32_t nrhs, double* x, int64_t x_length,
                                           bool do_refine);
/**
 * @brief Solves a stack of independent systems: for s = 0 .. count-1,
 * A_s*X_s = B_s with A_s the n x n matrix at a + s*n*n, B_s the n x nrhs
 * right-hand sides at b + s*n*nrhs and X_s written to x + s*n*nrhs, all
 * row-major.
 *
 * X_s is bit for bit what corx_matrix_lu_solve_many of a handle holding A_s
 * writes for B_s with the same do_refine (its low byte decides), for every
 * thread count: whole systems are shared out among the threads. The
 * caller owns a, b, x and singular_index; nothing is kept. One call
 * instead of a handle, a call and a destroy per system: for stacks of
 * small matrices the per-call work is most of the time.
 *
 * @param n              the order of every matrix.
 * @param count          the number of systems (0: nothing to do).
 * @param a              count matrices of n*n values, one after the other.
 * @param a_length       the number of values at a, count*n*n.
 * @param b              count blocks of n*nrhs right-hand-side values.
 * @param b_length       the number of values at b, count*n*nrhs.
 * @param nrhs           right-hand sides per system.
 * @param x              receives count blocks of n*nrhs values.
 * @param x_length       the room at x, at least b_length.
 * @param do_refine      non-zero (low byte): one refinement step per
 *                       column, as corx_matrix_lu_solve makes it.
 * @param singular_index may be NULL; on -3, receives the lowest s whose
 *                       matrix is singular.
 * @return n. Failures, tested in this order: -1 if x, b or a is NULL; -2 if
 * n < 1, nrhs < 1, count < 0, a_length != count*n*n or
 * b_length != count*n*nrhs (nothing written); -5 if x_length < b_length
 * (nothing written); -3 if a matrix is singular (a pivot column exactly
 * zero): that system's X_s is not written, and the solutions of other
 * systems may or may not have been.
 */
CORX_API int32_t corx_lu_solve_stack(int32_t n, int64_t count, const double* a, int64_t a_length,
                                     const double* b, int64_t b_length, int32_t nrhs, double* x,
                                     int64_t x_length, bool do_refine, int64_t* singular_index);
/**
 * @brief Lower triangular L with m = L*L^T.
 * @return L as a new handle owned by the caller; NULL if m is NULL, not
 * square, not exactly symmetric or a pivot is <= 0. A NaN pivot does not
 * fail that test: NaN then spreads into L.
 */
CORX_API CorxMatrix corx_matrix_cholesky(CorxMatrix m);
/**
 * @brief Full QR by Householder reflections of m (rows >= cols).
 *
 * *q_out receives the rows x rows orthogonal Q and *r_out the rows x cols R,
 * both new handles owned by the caller. No sign normalisation: diagonal
 * entries of R may be negative.
 *
 * Entries of any magnitude: each reflection is found from its column scaled
 * by a power of two, so every column not exactly zero on and below the
 * diagonal is reflected and R is upper trapezoidal for finite input. A
 * matrix with an entry of 2^(1021 - bits of rows) or more, or a non-zero
 * entry below 2^-400, is factorised scaled by a power of two and R is
 * scaled back exactly (an entry of R is rounded only where it is itself
 * subnormal, and is infinite where it exceeds the largest double). Scaling
 * m by 2^k gives the same Q and R times 2^k, bit for bit, whenever
 * neither m times 2^k nor R times 2^k has a subnormal or infinite entry.
 * Only a matrix with entries near the largest double is scaled down; its
 * entries below about 2^-1000 may then lose low bits.
 * @return 0, or 1 if m, q_out or r_out is NULL or q_out == r_out, 2 if
 * rows < cols or rows*rows > 2147483647 (Q would hold more elements than a
 * handle may: rows > 46340); on failure neither out-parameter is written.
 */
CORX_API CorxStatus corx_matrix_qr(CorxMatrix m, CorxMatrix* q_out, CorxMatrix* r_out);
/**
 * @brief Thin SVD m = U*diag(S)*V^T by one-sided Jacobi (rows >= cols = n).
 *
 * *u_out receives U (rows x n), *v_out V (n x n), both new handles owned by
 * the caller; s[0..n-1] receives S in descending order (the rest of s is
 * untouched). At most 60 sweeps with orthogonality tolerance 1e-12; not
 * converging by then is not reported. No sign normalisation.
 *
 * Entries of any magnitude: a matrix whose largest entry could overflow
 * the sums of squares (2^((1023 - bits of rows*cols) / 2) or more), or
 * with a non-zero entry below 2^-400, is decomposed scaled by the power
 * of two that puts its largest entry just below that bound, and S is
 * scaled back exactly (rounded only where a value is subnormal). Scaling
 * m by 2^k gives the same U and V and S times 2^k, bit for bit, whenever
 * neither m times 2^k nor S times 2^k has a subnormal or infinite entry.
 * Accuracy is normwise relative to the largest entry: what lies more than
 * about 2^-1000 below it is lost like rounding error (a singular value
 * may then be 0, with its column of U all zero).
 * @return 0, or 1 if m, s, u_out or v_out is NULL or u_out == v_out, 2 if
 * rows < cols, 5 if s_length < n (tested in this order); on failure nothing
 * is written. U and V never hold more elements than m, so no operand is too
 * large for them.
 */
CORX_API CorxStatus corx_matrix_svd(CorxMatrix m, CorxMatrix* u_out, double* s,
                                    int64_t s_length, CorxMatrix* v_out);

/* ---- tile steps --------------------------------------------------------- */
/**
 * @defgroup tiles Tile steps
 * @brief The steps of a tiled product, Cholesky factorisation and Cholesky
 * solve, each continuing the chains of the single call.
 *
 * Every element of a product or a factor is one chain of rounded operations
 * in an order the library fixes. Each function here applies a stretch of
 * such chains to a tile, starting from the values the caller hands in, so
 * that a caller who splits a matrix into tiles (of any sizes, on any number
 * of machines) and applies the steps in the order each function documents
 * gets the bits of the single call. Operands are never changed; the result
 * is a new handle owned by the caller (release with corx_matrix_destroy),
 * or NULL for a NULL operand or a shape mismatch, tested in that order.
 * Results have the shape of an operand, so none is too large for a handle.
 * @{
 */

/**
 * @brief c + a*b in the product's order, continuing from c.
 *
 * For k = 0 .. p-1 in increasing order, r(i,j) = b(k,j)*a(i,k) + r(i,j),
 * starting from r = c; the product and the sum each rounded. With c all
 * +0.0 this is corx_matrix_mul(a, b) bit for bit (the first sum turns a
 * product of -0.0 into +0.0, as the product does). Splitting k into
 * consecutive ranges K0, K1, ... and applying the step for K0, then K1, and
 * so on, each to the result of the one before, gives the product over all
 * k, bit for bit.
 * @param c m x n, the sums to continue.
 * @param a m x p.
 * @param b p x n.
 * @return A new m x n handle; NULL if an operand is NULL or the shapes do
 * not fit (a's columns != b's rows, or c is not a's rows x b's columns).
 */
CORX_API CorxMatrix corx_matrix_mul_add(CorxMatrix c, CorxMatrix a, CorxMatrix b);
/**
 * @brief c - a*b^T in Cholesky's order, continuing from c.
 *
 * For k = 0 .. p-1 in increasing order, r(i,j) = r(i,j) - b(j,k)*a(i,k),
 * starting from r = c, each product and difference rounded: exactly the
 * updates the Cholesky factorisation makes to entry (i,j) with the columns
 * k of L. For a tile (I,J) of the matrix (rows I, columns J, I at or below
 * J), applying this with a = L(I,K) and b = L(J,K) for the column tiles
 * K = 0, 1, ... before J, in that order, gives the entries the single call
 * has before it takes the products of columns inside J.
 * @param c m x n.
 * @param a m x p.
 * @param b n x p.
 * @return A new m x n handle; NULL if an operand is NULL or the shapes do
 * not fit (a and b differ in columns, or c is not a's rows x b's rows).
 */
CORX_API CorxMatrix corx_matrix_mul_sub_t(CorxMatrix c, CorxMatrix a, CorxMatrix b);
/**
 * @brief The Cholesky factor of the lower triangle of m, without the
 * symmetry test: the step for a diagonal tile.
 *
 * The arithmetic of corx_matrix_cholesky, reading only the lower triangle
 * and the diagonal of m: entry (i,j), j <= i, subtracts L(j,k)*L(i,k) for
 * k = 0 .. j-1 in increasing order, then takes the square root (i == j) or
 * divides by L(j,j). A diagonal tile of a tiled factorisation, updated by
 * corx_matrix_mul_sub_t with every earlier column tile, factorised here,
 * gives the single call's L on that tile. Whatever the upper triangle
 * holds is ignored (the single call tests the whole matrix's symmetry
 * before any arithmetic; a tiled caller does that itself).
 * @return L (zeros above the diagonal) as a new handle; NULL if m is NULL,
 * not square or a pivot is <= 0 (a NaN pivot does not fail that test: NaN
 * spreads into L).
 */
CORX_API CorxMatrix corx_matrix_cholesky_lower(CorxMatrix m);
/**
 * @brief X with X*L^T = c, in Cholesky's order: the step for the tiles
 * below a diagonal tile.
 *
 * Column by column, x(i,j) = (c(i,j) - x(i,0)*l(j,0) - ... -
 * x(i,j-1)*l(j,j-1)) / l(j,j), each product and difference rounded on its
 * own, products subtracted in increasing k. With c = A(I,J) updated by
 * every earlier column tile (corx_matrix_mul_sub_t) and l the factor of the
 * diagonal tile J, X is the single call's L(I,J). Applied to the
 * transposed right-hand sides it is also the forward substitution of
 * corx_matrix_cholesky_solve, and to them reversed, with l transposed and
 * reversed in both directions, the back substitution.
 * @param c m x n.
 * @param l n x n; only its lower triangle and diagonal are read.
 * @return A new m x n handle; NULL if an operand is NULL, l is not square
 * or c's columns differ from l's order.
 */
CORX_API CorxMatrix corx_matrix_cholesky_below(CorxMatrix c, CorxMatrix l);
/**
 * @brief Solves m*X = B for a symmetric positive definite m through its
 * Cholesky factor L (corx_matrix_cholesky's, bit for bit).
 *
 * B and X are n x nrhs, row-major: b[i*nrhs + j] is row i of column j.
 * For each column, forward y(i) = (b(i) - L(i,0)*y(0) - ... -
 * L(i,i-1)*y(i-1)) / L(i,i), products subtracted in increasing k; then
 * back x(i) = (y(i) - L(n-1,i)*x(n-1) - ... - L(i+1,i)*x(i+1)) / L(i,i),
 * products subtracted in decreasing k; each product, difference and
 * quotient rounded on its own. The caller owns b and x; nothing is kept.
 *
 * Writes n*nrhs values to x and leaves the rest of x untouched.
 * @return n, the number of rows. Failures (nothing written), tested in
 * this order: -1 if x, b or m is NULL; -2 if m is not square, nrhs < 1 or
 * b_length != rows*nrhs; -5 if x_length < b_length; -4 if m is not exactly
 * symmetric or a pivot is <= 0 (as corx_matrix_cholesky refuses).
 */
CORX_API int32_t corx_matrix_cholesky_solve(CorxMatrix m, const double* b, int64_t b_length, int32_t nrhs,
                                            double* x, int64_t x_length);

/** @} */

/* ---- sparse matrices (CSR) ---------------------------------------------- */

/**
 * @brief New sparse handle holding the non-zero elements of m (+0.0 and -0.0
 * are dropped, NaN is kept). Release with corx_sparse_destroy. The sparse
 * handle is independent of m afterwards.
 * @return The handle; NULL if m is NULL.
 */
CORX_API CorxSparse corx_sparse_from_dense(CorxMatrix m);
/**
 * @brief Which check of corx_sparse_from_csr failed (its fault argument):
 * each fault of compressed-sparse-row arrays has its own value. New in
 * CORX_1.1.
 */
enum {
    CORX_CSR_VALID = 0,        /**< no fault */
    CORX_CSR_POINTER = 1,      /**< a required pointer is NULL */
    CORX_CSR_LENGTH = 2,       /**< rows or cols below 1, nnz out of 0..2147483647, or indptr_length != rows + 1 */
    CORX_CSR_ROW_START = 3,    /**< indptr[0] != 0 */
    CORX_CSR_ROW_ORDER = 4,    /**< some indptr[i+1] < indptr[i] */
    CORX_CSR_ROW_END = 5,      /**< indptr[rows] != nnz */
    CORX_CSR_COLUMN_RANGE = 6, /**< a column index outside 0..cols-1 */
    CORX_CSR_COLUMN_ORDER = 7  /**< a column index not greater than the one before it in its row */
};
/**
 * @brief New sparse handle from compressed-sparse-row arrays, as scipy.sparse
 * and most sparse formats hold them: the entries of row i are data[k] in
 * column indices[k] for indptr[i] <= k < indptr[i+1]. Entries equal to zero
 * (+0.0 and -0.0) are dropped, as corx_sparse_from_dense drops them; NaN is
 * kept. The caller keeps the arrays, which are read only during the call.
 *
 * @param rows, cols      the shape, each 1 to 2147483647 (the product may
 *                        exceed 2147483647, but corx_sparse_to_dense then
 *                        refuses the matrix).
 * @param indptr, indptr_length  the row pointers and their count, which must
 *                        be rows + 1.
 * @param indices, data   nnz column indices and values (may be NULL when nnz is 0).
 * @param nnz             the number of entries given, 0 to 2147483647.
 * @param out             receives the new handle, owned by the caller
 *                        (release with corx_sparse_destroy); NULL on failure.
 * @param fault           may be NULL; receives which check failed, a
 *                        CORX_CSR_* value (CORX_CSR_VALID on success).
 * @return CORX_SUCCESS, or the first fault found, tested in this order:
 * CORX_NULL_HANDLE if out is NULL (nothing written, fault included), or
 * indptr is NULL, or nnz > 0 and indices or data is NULL (CORX_CSR_POINTER);
 * CORX_SHAPE_MISMATCH for every fault of the arrays, with fault telling
 * which: CORX_CSR_LENGTH, then CORX_CSR_ROW_START, CORX_CSR_ROW_ORDER,
 * CORX_CSR_ROW_END (the row pointers are checked before any entry is read),
 * then, entry by entry in order, CORX_CSR_COLUMN_RANGE and
 * CORX_CSR_COLUMN_ORDER (unsorted or duplicated entries are refused: sort
 * or sum them first, in the order that is to define the result's bits).
 * @since CORX_1.1
 */
CORX_API CorxStatus corx_sparse_from_csr(int32_t rows, int32_t cols, const int64_t* indptr,
                                         int64_t indptr_length, const int32_t* indices,
                                         const double* data, int64_t nnz, CorxSparse* out,
                                         int32_t* fault);
/**
 * @brief New dense handle with the stored entries and +0.0 elsewhere.
 * Release with corx_matrix_destroy.
 * @return The handle; NULL if s is NULL or has more than 2147483647
 * elements (rows * cols), which only corx_sparse_from_csr can make.
 */
CORX_API CorxMatrix corx_sparse_to_dense(CorxSparse s);
/** @brief Releases the handle. NULL is ignored. */
CORX_API void corx_sparse_destroy(CorxSparse s);
/** @brief Number of stored entries; 0 for NULL. */
CORX_API int32_t corx_sparse_nnz(CorxSparse s);
/**
 * @brief y = s*x over the stored entries only (a row without entries gives
 * +0.0). x_length must equal the column count and y_length be at least the
 * row count; writes y[0..rows-1].
 * @return rows. Every failure (NULL pointer, wrong x_length, short y)
 * returns -1 and writes nothing.
 */
CORX_API int32_t corx_sparse_matvec(CorxSparse s, const double* x, int64_t x_length,
                                    double* y, int64_t y_length);

/* ---- fixed-size vectors -------------------------------------------------- */
/**
 * @name Fixed-size vectors
 * Pure functions on values; they cannot fail. Components are processed in
 * the order x, y, z, w, each operation rounded on its own. dot and length
 * accumulate from +0.0; length is sqrt(dot(v, v)) without scaling. normalize
 * divides by the length, and gives the zero vector when the length is 0.
 * almost_equal is true when epsilon > |a.c - b.c| for every component.
 * @{
 */

/** @brief a + b, component by component. */
CORX_API CorxVec2 corx_vec2_add(CorxVec2 a, CorxVec2 b);
/** @brief a - b, component by component. */
CORX_API CorxVec2 corx_vec2_sub(CorxVec2 a, CorxVec2 b);
/** @brief v * factor, component by component. */
CORX_API CorxVec2 corx_vec2_scale(CorxVec2 v, double factor);
/** @brief The dot product, accumulated from +0.0 in component order. */
CORX_API double corx_vec2_dot(CorxVec2 a, CorxVec2 b);
/** @brief sqrt(dot(v, v)), without scaling (can overflow or underflow). */
CORX_API double corx_vec2_length(CorxVec2 v);
/** @brief v divided by its length; the zero vector when the length is 0. */
CORX_API CorxVec2 corx_vec2_normalize(CorxVec2 v);
/** @brief true when epsilon > |a.c - b.c| for every component c. */
CORX_API bool corx_vec2_almost_equal(CorxVec2 a, CorxVec2 b, double epsilon);
/** @brief The 2-D cross product a.x*b.y - a.y*b.x. */
CORX_API double corx_vec2_cross2d(CorxVec2 a, CorxVec2 b);
/** @brief (-v.y, v.x): a quarter turn counter-clockwise. */
CORX_API CorxVec2 corx_vec2_perp(CorxVec2 v);
/** @brief (v.y, -v.x): a quarter turn clockwise. */
CORX_API CorxVec2 corx_vec2_perp_cw(CorxVec2 v);

/** @brief a + b, component by component. */
CORX_API CorxVec3 corx_vec3_add(CorxVec3 a, CorxVec3 b);
/** @brief a - b, component by component. */
CORX_API CorxVec3 corx_vec3_sub(CorxVec3 a, CorxVec3 b);
/** @brief v * factor, component by component. */
CORX_API CorxVec3 corx_vec3_scale(CorxVec3 v, double factor);
/** @brief The dot product, accumulated from +0.0 in component order. */
CORX_API double corx_vec3_dot(CorxVec3 a, CorxVec3 b);
/** @brief sqrt(dot(v, v)), without scaling (can overflow or underflow). */
CORX_API double corx_vec3_length(CorxVec3 v);
/** @brief v divided by its length; the zero vector when the length is 0. */
CORX_API CorxVec3 corx_vec3_normalize(CorxVec3 v);
/** @brief true when epsilon > |a.c - b.c| for every component c. */
CORX_API bool corx_vec3_almost_equal(CorxVec3 a, CorxVec3 b, double epsilon);
/** @brief The cross product a x b. */
CORX_API CorxVec3 corx_vec3_cross(CorxVec3 a, CorxVec3 b);

/** @brief a + b, component by component. */
CORX_API CorxVec4 corx_vec4_add(CorxVec4 a, CorxVec4 b);
/** @brief a - b, component by component. */
CORX_API CorxVec4 corx_vec4_sub(CorxVec4 a, CorxVec4 b);
/** @brief v * factor, component by component. */
CORX_API CorxVec4 corx_vec4_scale(CorxVec4 v, double factor);
/** @brief The dot product, accumulated from +0.0 in component order. */
CORX_API double corx_vec4_dot(CorxVec4 a, CorxVec4 b);
/** @brief sqrt(dot(v, v)), without scaling (can overflow or underflow). */
CORX_API double corx_vec4_length(CorxVec4 v);
/** @brief v divided by its length; the zero vector when the length is 0. */
CORX_API CorxVec4 corx_vec4_normalize(CorxVec4 v);

/** @} */

/* ---- limb primitives ---------------------------------------------------- */

/**
 * @brief Divides the 128-bit value hi*2^64 + lo by divisor.
 *
 * Stores the low 64 bits of the quotient in *quotient, then the remainder in
 * *remainder (so if both point to one variable it ends up holding the
 * remainder). With hi >= divisor the quotient is the true quotient modulo
 * 2^64 and the remainder is exact. Never traps:
 *  - divisor 0: stores UINT64_MAX as the quotient and lo as the remainder
 *    (so quotient*divisor + remainder == hi*2^64 + lo modulo 2^64 holds in
 *    every case);
 *  - a NULL quotient or remainder pointer is skipped; the other result is
 *    still stored.
 */
CORX_API void corvane_udiv128(uint64_t hi, uint64_t lo, uint64_t divisor,
                              uint64_t* quotient, uint64_t* remainder);
/** @brief Number of leading zero bits of x; 64 for 0. */
CORX_API int32_t corvane_clz64(uint64_t x);

/* ---- threads ------------------------------------------------------------ */

/**
 * @defgroup threads Threads
 * @brief Opt-in parallelism whose results never depend on the thread count.
 *
 * By default every call computes on the calling thread and the library
 * starts no thread. A host opts in with corx_set_threads, with the
 * environment variable CORX_THREADS (read once, on the first call that could
 * split; a whole number, 0 meaning one per processor the process may run on;
 * anything else is ignored), or by handing the library its own parallel-for
 * with corx_set_executor.
 *
 * Then the product, LU (its trailing updates), the refined solve's exact
 * residual, the columns of corx_matrix_lu_solve_many, Cholesky, QR and its Q, the Jacobi SVD and the sparse product
 * split their independent work; calls too small to repay the hand-over still
 * run on the calling thread. Every result is bit-identical to the result on
 * one thread, for every thread count and every executor: the work is split
 * only where each element receives the same operations in the same order
 * whichever thread computes it.
 *
 * The library's own threads (thread count - 1 of them; the calling thread
 * computes too) are started on the first call that splits, block every
 * signal, keep working buffers of up to 14 MiB each, and never keep the
 * process from exiting. One host call uses them at a time: a call made while
 * another host thread's call has them runs on its own thread, and a call made
 * from inside a task (of the library's, or the host executor's) runs its
 * parts on the thread it is on. After fork the child starts threads of its
 * own on its first call that splits.
 * @{
 */

/**
 * @brief Sets how many threads a call may compute on.
 * @param n 1 or more; 0 for one per processor the process may run on.
 * Counts above 256 are taken as 256.
 * @return The count now in effect; -1 (nothing changed) if n < 0.
 * Changing the count stops the library's threads once no call is using them
 * (they free their working buffers); the next call that splits starts new
 * ones. Safe to call from any thread at any time.
 *
 * A build without threads (the WebAssembly build, made without -pthread)
 * starts none: there corx_set_threads returns 1 for every n >= 0 and
 * changes nothing (-1 for n < 0), corx_get_threads returns 1, CORX_THREADS
 * is not read, and every call computes on the calling thread. An executor
 * set with corx_set_executor still receives the split calls.
 */
CORX_API int32_t corx_set_threads(int32_t n);
/**
 * @brief The thread count in effect: set by corx_set_threads, else read
 * from CORX_THREADS, else 1. An executor, while set, takes the place of the
 * library's threads (see corx_set_executor); this count is kept for when it
 * is removed.
 */
CORX_API int32_t corx_get_threads(void);

/** @brief One task of a split call: compute part `index` of `task_data`. */
typedef void (*CorxTask)(void* task_data, int64_t index);

/**
 * @brief A host's parallel-for. It must call task(task_data, i) exactly once
 * for every i in [0, count) and return only after every such call has
 * returned. The calls may run in any order, on any threads, with any
 * concurrency, including one after the other on the calling thread. Tasks do
 * not throw, never block on one another and are safe to run concurrently.
 * The executor may be called from several host threads at once, and from
 * inside one of its own tasks only if the host's code calls the library from
 * there (the library's own tasks never call it).
 */
typedef void (*CorxExecutor)(void* host_data, int64_t count, CorxTask task, void* task_data);

/**
 * @brief Hands the library the host's thread pool, or takes it back.
 * @param run The parallel-for; NULL removes the executor and the library
 * returns to its own thread count.
 * @param host_data Passed to run unchanged; owned by the host, which keeps
 * it valid while the executor is set and until calls that started before a
 * change have returned.
 * @param width How many parts a split call makes for the executor (its
 * number of threads, typically); at least 1, at most 256 is used.
 * @return 0; -1 (nothing changed) if run is not NULL and width < 1.
 * While an executor is set, the library starts no thread of its own. Every
 * task runs in the library's floating-point environment whatever the
 * executor's thread has set.
 */
CORX_API int32_t corx_set_executor(CorxExecutor run, void* host_data, int32_t width);

/** @} */

/* ---- runtime entries ------------------------------------------------------ */

/**
 * @brief The runtime start-up that corx_init runs once (signal handlers, then
 * the constant tables). Hosts call corx_init instead.
 */
CORX_API void corxrt_startup(void);
/**
 * @brief Global teardown: releases the constant tables built by the start-up,
 * in reverse order of creation. Call at most once, after the last use of the
 * library; the library never calls it itself.
 */
CORX_API void corxrt_teardown(void);

#ifdef __cplusplus
}
#endif

#endif /* CORX_CORX_H */
