// SPDX-License-Identifier: BSD-3-Clause
// Conformance digest: the same bits on every machine and from every build.
//
// A fixed battery of calls over every exported function, with inputs made by
// the program's own integer generator (no <random> distributions: their
// outputs differ between standard libraries), and the start-up constants
// read through the internal interface. The bits of every result are hashed
// (FNV-1a 64 over little-endian words, so the hash does not depend on the
// byte order of the machine), one digest per family, and compared with the
// golden file. Per-case hashes are kept as well, so a mismatch names the
// family and the first differing case.
//
// NaNs that an operation computes are hashed as one canonical NaN: their
// payload and sign are not part of the contract. Copies that must keep the
// bits of their input (buffers in and out, get/set, transpose, the sparse
// round trip) are hashed raw and also compared with their input directly.
//
// With --hostile, every call of an exported function is made from a caller
// in another floating-point environment (see setHostile); the digests must
// not move, and each call must give that environment back as it found it.
//
// The digests must not depend on how a call's work is split either: run
// with CORX_THREADS=N, or with --executor=KIND, which hands the library a
// parallel-for of the program's own (see installExecutor), together with
// CORX_SPLIT_SMALL=1 so that the battery's small cases split too.
//
//   conformance GOLDEN            compare with GOLDEN (exit status 1 on a mismatch)
//   conformance --hostile[=KIND] GOLDEN
//                                 the same, every call made from the hostile
//                                 caller (exit status 77: KIND not on this target)
//   conformance --executor=reverse|threads GOLDEN
//                                 the same, the split parts run by the
//                                 program's executor (exit status 1 also if
//                                 no call split)
//   conformance --write GOLDEN    regenerate GOLDEN
//   conformance --isa             print the active instruction-set path and exit
//
// It needs nothing but the library, so it cross-builds trivially.
#include <corx/corx.h>

#include <cfenv>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "constants/float_math.h"
#include "constants/reduction.h"
#include "float/big_float.h"
#include "kernels/kernel_set.h"
#include "runtime/float_env.h"

namespace {

// ---- the caller's floating-point environment ---------------------------------

namespace fe = corx_internal::float_env;

bool gHostile = false;
int gEnvFailures = 0;
fe::Control gProgramEnv{};  // the default environment the program runs in

// The hostile environments: "all" rounds upward and, on x86, also flushes
// to zero and treats denormals as zero (on aarch64: FZ and DN; on 32-bit
// x86 the x87 unit also rounds to a 24-bit significand); the others change
// one thing each, so that a guard which noticed only some of them would
// fail. "x87" (32-bit x86, Windows) changes the x87 control word alone, rounding
// upward to 24 bits, which the SSE environment test cannot see.
// Divide-by-zero is raised beforehand: the library must leave a raised flag
// raised.
const char* gHostileKind = "all";

#if defined(CORX_X87_CONTROL)
constexpr fe::x87::Control kX87Hostile = 0x0800;  // rounding upward, 24-bit significand
fe::x87::Control gX87Set = 0;                     // the x87 control word the hostile caller set
#endif

// The status flag a hostile caller raises beforehand; wasm has no status
// flags (FE_ALL_EXCEPT is 0 there).
#if defined(FE_DIVBYZERO)
constexpr int kCallerFlag = FE_DIVBYZERO;
#else
constexpr int kCallerFlag = 0;
#endif

bool hostileKindAvailable(const std::string& kind) {
#if defined(__wasm__)
    // wasm has one floating-point environment: rounding to nearest,
    // subnormals kept (fesetround refuses every other direction).
    (void)kind;
    return false;
#else
    if (kind == "all" || kind == "upward" || kind == "downward" || kind == "towardzero") return true;
#if defined(CORX_X87_CONTROL)
    if (kind == "x87") return true;
#endif
#if defined(__SSE2_MATH__)
    return kind == "ftz" || kind == "daz";
#elif defined(__aarch64__)
    return kind == "ftz";
#else
    return false;
#endif
#endif
}

fe::Control setHostile() {
    const std::string kind = gHostileKind;
    std::feraiseexcept(kCallerFlag);
    if (kind == "all" || kind == "upward") std::fesetround(FE_UPWARD);
    if (kind == "downward") std::fesetround(FE_DOWNWARD);
    if (kind == "towardzero") std::fesetround(FE_TOWARDZERO);
#if defined(__SSE2_MATH__)
    constexpr fe::Control kFtz = 0x8000, kDaz = 0x0040;
    if (kind == "all" || kind == "ftz") fe::write(fe::read() | kFtz);
    if (kind == "all" || kind == "daz") fe::write(fe::read() | kDaz);
#if defined(CORX_X87_CONTROL)
    if (kind == "all" || kind == "x87")
        fe::x87::write(static_cast<fe::x87::Control>((fe::x87::read() & ~fe::x87::kControls) | kX87Hostile));
    gX87Set = fe::x87::read();
#endif
#elif defined(__aarch64__)
    constexpr fe::Control kFz = fe::Control{1} << 24, kDn = fe::Control{1} << 25;
    if (kind == "all" || kind == "ftz") fe::write(fe::read() | kFz);
    if (kind == "all") fe::write(fe::read() | kDn);
#endif
    return fe::read();
}

// Whether the environment a call left behind is the one it was given; on
// 32-bit x86 and Windows the x87 control word too (compared in full with the hostile
// caller's).
bool sameControls(fe::Control a, fe::Control b) {
#if defined(CORX_X87_CONTROL)
    if (fe::x87::read() != gX87Set) return false;
#endif
#if defined(__SSE2_MATH__)
    return (a & fe::kControls) == (b & fe::kControls);
#elif defined(__aarch64__)
    return a == b;
#else
    return a.rounding == b.rounding;
#endif
}

// The program's own x87 control word (32-bit x86): fesetround gives back
// the rounding control but not the precision control.
void restoreX87() {
#if defined(CORX_X87_CONTROL)
    fe::x87::write(fe::x87::defaultFrom(fe::x87::read()));
#endif
}

// One call from the hostile caller: the environment is set on construction;
// on destruction it is checked and the program's own is restored.
class HostileCall {
public:
    explicit HostileCall(const char* name) : name_(name) {
        if (gHostile) set_ = setHostile();
    }
    ~HostileCall() {
        if (!gHostile) return;
        const fe::Control after = fe::read();
        const bool flagKept = kCallerFlag == 0 || std::fetestexcept(kCallerFlag) != 0;
        const bool same = sameControls(after, set_);
        fe::write(gProgramEnv);
        std::fesetround(FE_TONEAREST);
        restoreX87();
        std::feclearexcept(FE_ALL_EXCEPT);
        if (same && flagKept) return;
        if (++gEnvFailures <= 5) {
            std::fprintf(stderr, "%s: %s\n", name_,
                         flagKept ? "the caller's environment changed" : "a raised flag was cleared");
        }
    }
    HostileCall(const HostileCall&) = delete;
    HostileCall& operator=(const HostileCall&) = delete;

private:
    const char* name_;
    fe::Control set_{};
};

// Every exported function is called through here (library_calls.h, made
// from the public header, turns each call into one).
template <class F, class... A>
decltype(auto) callLibrary(const char* name, F f, A&&... args) {
    const HostileCall call(name);
    return f(std::forward<A>(args)...);
}

// ---- the host's executor -----------------------------------------------------

// How many parts a split call makes for the program's executor: 3, so that
// parts of unequal size and a middle part occur.
constexpr std::int32_t kExecutorWidth = 3;
const char* gExecutorKind = nullptr;
std::atomic<long> gExecutorCalls{0};

// Every task on the calling thread, last first: a part that depended on
// another's having run before it would change the bits.
void reverseExecutor(void* calls, std::int64_t count, CorxTask task, void* data) {
    static_cast<std::atomic<long>*>(calls)->fetch_add(1, std::memory_order_relaxed);
    for (std::int64_t i = count - 1; i >= 0; --i) task(data, i);
}

// Every task on a thread made for it, as a foreign pool would run them:
// concurrently, on threads the library has never seen.
void threadsExecutor(void* calls, std::int64_t count, CorxTask task, void* data) {
    static_cast<std::atomic<long>*>(calls)->fetch_add(1, std::memory_order_relaxed);
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) threads.emplace_back(task, data, i);
    for (std::thread& t : threads) t.join();
}

}  // namespace

#include "library_calls.h"

namespace {

bool installExecutor(const std::string& kind) {
    CorxExecutor run = kind == "reverse" ? reverseExecutor : kind == "threads" ? threadsExecutor : nullptr;
    return run != nullptr && corx_set_executor(run, &gExecutorCalls, kExecutorWidth) == 0;
}

}  // namespace

namespace {

// ---- hashing -------------------------------------------------------------

std::uint64_t bitsOf(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

double fromBits(std::uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

constexpr std::uint64_t kCanonicalNaN = 0x7FF8000000000000ULL;

class Hasher {
public:
    void byte(std::uint8_t b) {
        h_ ^= b;
        h_ *= 0x100000001B3ULL;
    }
    // Least significant byte first, whatever the machine's byte order.
    void word(std::uint64_t w) {
        for (int i = 0; i < 8; ++i) byte(static_cast<std::uint8_t>(w >> (8 * i)));
    }
    void i64(std::int64_t v) { word(static_cast<std::uint64_t>(v)); }
    // A computed double: any NaN counts as the canonical one.
    void f64(double v) { word(std::isnan(v) ? kCanonicalNaN : bitsOf(v)); }
    // A copied double: every bit counts.
    void raw(double v) { word(bitsOf(v)); }
    void str(const char* s) {
        if (s == nullptr) {
            word(0xFFFFFFFFFFFFFFFFULL);
            return;
        }
        const std::size_t n = std::strlen(s);
        word(n);
        for (std::size_t i = 0; i < n; ++i) byte(static_cast<std::uint8_t>(s[i]));
    }
    void f64s(const std::vector<double>& v) {
        word(v.size());
        for (double x : v) f64(x);
    }
    void raws(const std::vector<double>& v) {
        word(v.size());
        for (double x : v) raw(x);
    }
    std::uint64_t value() const { return h_; }

private:
    std::uint64_t h_ = 0xCBF29CE484222325ULL;
};

struct Case {
    std::string what;
    std::uint64_t hash;
};

struct Family {
    std::string name;
    std::vector<Case> cases;

    void add(const std::string& what, const Hasher& h) { cases.push_back({what, h.value()}); }
    std::uint64_t digest() const {
        Hasher h;
        h.word(cases.size());
        for (const Case& c : cases) h.word(c.hash);
        return h.value();
    }
};

int gCopyFailures = 0;

// A copy that must keep its input's bits, NaN payloads included.
void expectCopy(const char* what, const std::vector<double>& got, const std::vector<double>& want) {
    bool same = got.size() == want.size();
    for (std::size_t i = 0; same && i < got.size(); ++i) same = bitsOf(got[i]) == bitsOf(want[i]);
    if (!same) {
        ++gCopyFailures;
        std::fprintf(stderr, "copy changed bits: %s\n", what);
    }
}

// The one calling-convention exception: where a double returned by value
// passes through the x87 register stack (32-bit x86), loading it there sets
// the quiet bit of a signalling NaN, so corx_matrix_get cannot return one
// unchanged. There, and only for get's result, the stored signalling NaN
// with its quiet bit set counts as the stored value; main prints how often.
// Every other result, get's included, must keep its bits. The bits are
// handed back as an integer: a double returned here would pass through the
// x87 stack again.
#if defined(__i386__)
constexpr bool kX87Return = true;
#else
constexpr bool kX87Return = false;
#endif
int gQuietedReturns = 0;

std::uint64_t returnedBits(double got, double stored) {
    const std::uint64_t quietBit = std::uint64_t{1} << 51;
    const std::uint64_t s = bitsOf(stored);
    if (kX87Return && std::isnan(stored) && (s & quietBit) == 0 && bitsOf(got) == (s | quietBit)) {
        ++gQuietedReturns;
        return s;
    }
    return bitsOf(got);
}

std::string num(std::int64_t v) { return std::to_string(v); }
std::string shape(std::int64_t rows, std::int64_t cols) { return num(rows) + "x" + num(cols); }

// ---- inputs ----------------------------------------------------------------

// splitmix64: a tiny generator whose outputs are fixed by its integer
// arithmetic alone.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : s_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (s_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t n) { return next() % n; }
    // An integer in [-9, 9], as a double.
    double small() { return static_cast<double>(static_cast<int>(below(19)) - 9); }
    // A multiple of 2^-53 in [-1, 1): exact, so no conversion rounds.
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-52 - 1.0; }
    // A normal number of random sign and fraction, magnitude 2^-40 .. 2^40.
    double wide() {
        const std::uint64_t r = next();
        const std::uint64_t exponent = 1023 - 40 + (r >> 57) % 81;
        return fromBits((r & 0x8000000000000000ULL) | (exponent << 52) | (next() & 0x000FFFFFFFFFFFFFULL));
    }

private:
    std::uint64_t s_;
};

const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();
const double kMinNormal = std::numeric_limits<double>::min();
const double kDenorm = std::numeric_limits<double>::denorm_min();

// Signed zeros, infinities, NaNs with payloads and signs (a signalling one
// too), subnormals, the extremes of the range and values tying in
// magnitude.
const std::vector<double>& specials() {
    static const std::vector<double> v = {
        0.0, -0.0, kInf, -kInf, fromBits(0x7FF8000000000000ULL), fromBits(0xFFF8000000000123ULL),
        fromBits(0x7FF4000000000ABCULL), kDenorm, -kDenorm, fromBits(0x000FFFFFFFFFFFFFULL), kMinNormal,
        -kMinNormal, kMax, -kMax, 1e300, -1e-300, 1e-200, 1.0, -1.0, 0.1, -0.1, 3.0, -3.0,
        1.0 + std::numeric_limits<double>::epsilon(),
    };
    return v;
}

enum class Fill { Small, Unit, Wide, Special, Mixed };

const char* fillName(Fill f) {
    switch (f) {
        case Fill::Small: return "small integers";
        case Fill::Unit: return "unit";
        case Fill::Wide: return "wide";
        case Fill::Special: return "specials";
        default: return "unit with specials";
    }
}

double draw(Rng& rng, Fill f) {
    switch (f) {
        case Fill::Small: return rng.small();
        case Fill::Unit: return rng.unit();
        case Fill::Wide: return rng.wide();
        case Fill::Special: return specials()[rng.below(specials().size())];
        default:
            if (rng.below(16) == 0) return specials()[rng.below(specials().size())];
            return rng.unit();
    }
}

std::vector<double> values(Rng& rng, std::int64_t count, Fill f) {
    std::vector<double> v(static_cast<std::size_t>(count));
    for (double& x : v) x = draw(rng, f);
    return v;
}

// ---- handles ---------------------------------------------------------------

CorxMatrix make(std::int64_t rows, std::int64_t cols, const std::vector<double>& data) {
    return corx_matrix_create_from_buffer(static_cast<std::int32_t>(rows), static_cast<std::int32_t>(cols),
                                          data.data(), static_cast<std::int64_t>(data.size()));
}

std::vector<double> contents(CorxMatrix m) {
    std::vector<double> out(static_cast<std::size_t>(corx_matrix_rows(m)) *
                            static_cast<std::size_t>(corx_matrix_cols(m)));
    corx_matrix_get_buffer(m, out.data(), static_cast<std::int64_t>(out.size()));
    return out;
}

// Shape and computed contents of a result handle (or the mark of NULL);
// releases the handle.
void hashResult(Hasher& h, CorxMatrix m) {
    if (m == nullptr) {
        h.word(0x4E554C4CULL);  // "NULL"
        return;
    }
    h.i64(corx_matrix_rows(m));
    h.i64(corx_matrix_cols(m));
    h.f64s(contents(m));
    corx_matrix_destroy(m);
}

constexpr double kCanary = -1234.5678e-77;

// ---- lifecycle and status ---------------------------------------------------

void lifecycleFamily(Family& fam) {
    {
        Hasher h;
        h.i64(corx_init());
        h.i64(corx_init());
        corx_cleanup();
        h.i64(corx_init());
        fam.add("corx_init returns 1, also after corx_cleanup", h);
    }
    {
        Hasher h;
        h.str(corx_version());
        fam.add("corx_version", h);
    }
    const std::int32_t codes[] = {0, 1, 2, 3, 4, 5, -1, 6, 100, std::numeric_limits<std::int32_t>::min(),
                                  std::numeric_limits<std::int32_t>::max()};
    for (std::int32_t code : codes) {
        Hasher h;
        h.str(corx_get_error_string(code));
        fam.add("corx_get_error_string(" + num(code) + ")", h);
    }
}

// ---- dense matrix handles --------------------------------------------------

void handlesFamily(Family& fam, Rng& rng) {
    const std::int32_t bad[][2] = {{0, 1},     {1, 0},         {-1, 3},        {3, -1},
                                   {46341, 46341}, {65536, 32768}, {std::numeric_limits<std::int32_t>::min(), 1}};
    for (const auto& s : bad) {
        Hasher h;
        CorxMatrix m = corx_matrix_create(s[0], s[1]);
        h.word(m == nullptr);
        corx_matrix_destroy(m);
        std::vector<double> one(1, 1.0);
        m = corx_matrix_create_from_buffer(s[0], s[1], one.data(), static_cast<std::int64_t>(s[0]) * s[1]);
        h.word(m == nullptr);
        corx_matrix_destroy(m);
        fam.add("create " + shape(s[0], s[1]) + " fails", h);
    }
    const std::int32_t shapes[][2] = {{1, 1}, {1, 7}, {7, 1}, {3, 5}, {40, 33}, {1, 1000}};
    for (const auto& s : shapes) {
        Hasher h;
        CorxMatrix m = corx_matrix_create(s[0], s[1]);
        h.i64(corx_matrix_rows(m));
        h.i64(corx_matrix_cols(m));
        h.raws(contents(m));
        corx_matrix_destroy(m);
        fam.add("create " + shape(s[0], s[1]) + " is +0.0", h);

        Hasher g;
        const std::int64_t count = static_cast<std::int64_t>(s[0]) * s[1];
        const std::vector<double> data = values(rng, count, Fill::Special);
        g.word(corx_matrix_create_from_buffer(s[0], s[1], nullptr, count) == nullptr);
        g.word(corx_matrix_create_from_buffer(s[0], s[1], data.data(), count - 1) == nullptr);
        std::vector<double> longer = data;
        longer.push_back(1.0);
        g.word(corx_matrix_create_from_buffer(s[0], s[1], longer.data(), count + 1) == nullptr);
        m = make(s[0], s[1], data);
        std::vector<double> out(static_cast<std::size_t>(count) + 2, kCanary);
        g.i64(corx_matrix_get_buffer(m, out.data(), count - 1));  // short: nothing written
        g.i64(corx_matrix_get_buffer(m, nullptr, count));
        g.i64(corx_matrix_get_buffer(nullptr, out.data(), count));
        g.raws(out);
        g.i64(corx_matrix_get_buffer(m, out.data(), count + 2));  // long: the rest untouched
        g.raws(out);
        out.resize(static_cast<std::size_t>(count));
        expectCopy("create_from_buffer/get_buffer", out, data);
        std::vector<double> elements;
        for (std::int32_t i = 0; i < s[0]; ++i)
            for (std::int32_t j = 0; j < s[1]; ++j) {
                const std::uint64_t b =
                    returnedBits(corx_matrix_get(m, i, j), data[static_cast<std::size_t>(i) * s[1] + j]);
                elements.emplace_back();
                std::memcpy(&elements.back(), &b, sizeof b);
            }
        expectCopy("get", elements, data);
        g.raws(elements);
        // Out of range: 0.0 and ignored.
        g.raw(corx_matrix_get(m, -1, 0));
        g.raw(corx_matrix_get(m, s[0], 0));
        g.raw(corx_matrix_get(m, 0, s[1]));
        g.raw(corx_matrix_get(nullptr, 0, 0));
        corx_matrix_set(m, s[0], 0, 5.0);
        corx_matrix_set(m, 0, -1, 5.0);
        corx_matrix_set(nullptr, 0, 0, 5.0);
        expectCopy("set out of range", contents(m), data);
        // Set every special in turn at a random position; get returns it bit
        // for bit.
        std::vector<double> want = data;
        for (double v : specials()) {
            const std::int32_t i = static_cast<std::int32_t>(rng.below(static_cast<std::uint64_t>(s[0])));
            const std::int32_t j = static_cast<std::int32_t>(rng.below(static_cast<std::uint64_t>(s[1])));
            corx_matrix_set(m, i, j, v);
            want[static_cast<std::size_t>(i) * s[1] + j] = v;
            g.word(returnedBits(corx_matrix_get(m, i, j), v));
        }
        expectCopy("set/get", contents(m), want);
        g.raws(contents(m));
        g.i64(corx_matrix_rows(nullptr));
        g.i64(corx_matrix_cols(nullptr));
        corx_matrix_destroy(m);
        corx_matrix_destroy(nullptr);
        fam.add("buffer, get and set round trips " + shape(s[0], s[1]), g);
    }
}

// ---- dense arithmetic ---------------------------------------------------------

void arithmeticFamily(Family& fam, Rng& rng) {
    // Element-wise operations, transpose and comparison.
    const std::int64_t shapes[][2] = {{1, 1}, {1, 9}, {9, 1}, {4, 6}, {17, 13}, {64, 65}};
    const Fill fills[] = {Fill::Unit, Fill::Wide, Fill::Special};
    for (const auto& s : shapes) {
        for (Fill f : fills) {
            const std::int64_t n = s[0] * s[1];
            const std::vector<double> da = values(rng, n, f), db = values(rng, n, f);
            CorxMatrix a = make(s[0], s[1], da), b = make(s[0], s[1], db);
            Hasher h;
            hashResult(h, corx_matrix_add(a, b));
            hashResult(h, corx_matrix_sub(a, b));
            hashResult(h, corx_matrix_add(a, a));
            hashResult(h, corx_matrix_sub(b, b));
            const double factors[] = {0.0, -0.0, 1.0, -1.0, 0.1, 3.0, 1e300, 1e-300, kInf, fromBits(kCanonicalNaN)};
            for (double factor : factors) hashResult(h, corx_matrix_scale(a, factor));
            CorxMatrix t = corx_matrix_transpose(a);
            std::vector<double> want(static_cast<std::size_t>(n));
            for (std::int64_t i = 0; i < s[0]; ++i)
                for (std::int64_t j = 0; j < s[1]; ++j) want[static_cast<std::size_t>(j * s[0] + i)] = da[static_cast<std::size_t>(i * s[1] + j)];
            expectCopy("transpose", contents(t), want);
            h.i64(corx_matrix_rows(t));
            h.raws(contents(t));
            const double tolerances[] = {0.0, 1e-300, 0.5, 2.0, 1e308, -1.0, kInf, fromBits(kCanonicalNaN)};
            for (double tol : tolerances) {
                h.word(corx_matrix_almost_equal(a, b, tol));
                h.word(corx_matrix_almost_equal(a, a, tol));
            }
            h.word(corx_matrix_almost_equal(a, t, 1.0));
            corx_matrix_destroy(t);
            corx_matrix_destroy(a);
            corx_matrix_destroy(b);
            fam.add("add, sub, scale, transpose, almost_equal " + shape(s[0], s[1]) + " " + fillName(f), h);
        }
    }

    // Products, with shapes crossing every tile edge of every micro-kernel
    // (4x6, 6x8, 8x24) and every cache block (96 rows of a, 512 steps of k,
    // 3072 columns of b).
    struct Shape {
        std::int64_t m, p, n;
        Fill f;
    };
    const Shape products[] = {
        {1, 1, 1, Fill::Unit},        {1, 1, 1, Fill::Special},   {2, 3, 4, Fill::Small},
        {3, 5, 7, Fill::Mixed},       {4, 4, 6, Fill::Wide},      {5, 7, 9, Fill::Unit},
        {6, 2, 8, Fill::Special},     {7, 9, 13, Fill::Mixed},    {8, 8, 24, Fill::Unit},
        {9, 11, 25, Fill::Wide},      {13, 17, 23, Fill::Mixed},  {16, 16, 48, Fill::Unit},
        {17, 31, 49, Fill::Small},    {25, 40, 31, Fill::Mixed},  {33, 64, 33, Fill::Unit},
        {95, 20, 97, Fill::Mixed},    {96, 7, 96, Fill::Wide},    {97, 3, 50, Fill::Unit},
        {130, 130, 130, Fill::Unit},  {1, 600, 3, Fill::Mixed},   {5, 513, 7, Fill::Unit},
        {9, 1030, 26, Fill::Wide},    {3, 4, 3100, Fill::Mixed},  {100, 520, 10, Fill::Unit},
    };
    for (const Shape& s : products) {
        const std::vector<double> da = values(rng, s.m * s.p, s.f), db = values(rng, s.p * s.n, s.f);
        CorxMatrix a = make(s.m, s.p, da), b = make(s.p, s.n, db);
        Hasher h;
        hashResult(h, corx_matrix_mul(a, b));
        if (s.m == s.p && s.p == s.n) hashResult(h, corx_matrix_mul(a, a));
        corx_matrix_destroy(a);
        corx_matrix_destroy(b);
        fam.add("mul " + shape(s.m, s.p) + " * " + shape(s.p, s.n) + " " + fillName(s.f), h);
    }

    // Failures: NULL operands and shape mismatches give NULL.
    {
        CorxMatrix a = make(2, 3, values(rng, 6, Fill::Unit));
        CorxMatrix b = make(3, 2, values(rng, 6, Fill::Unit));
        Hasher h;
        hashResult(h, corx_matrix_add(a, b));
        hashResult(h, corx_matrix_sub(a, b));
        hashResult(h, corx_matrix_mul(a, a));
        hashResult(h, corx_matrix_add(nullptr, a));
        hashResult(h, corx_matrix_add(a, nullptr));
        hashResult(h, corx_matrix_sub(nullptr, a));
        hashResult(h, corx_matrix_mul(nullptr, b));
        hashResult(h, corx_matrix_mul(a, nullptr));
        hashResult(h, corx_matrix_scale(nullptr, 2.0));
        hashResult(h, corx_matrix_transpose(nullptr));
        h.word(corx_matrix_almost_equal(a, b, 1.0));
        h.word(corx_matrix_almost_equal(nullptr, a, 1.0));
        h.word(corx_matrix_almost_equal(a, nullptr, 1.0));
        hashResult(h, corx_matrix_mul(a, b));  // the valid product, for contrast
        corx_matrix_destroy(a);
        corx_matrix_destroy(b);
        fam.add("NULL operands and shape mismatches", h);
    }
}

// ---- determinant --------------------------------------------------------------

// Square sizes crossing the LU leaf (16 rows) and several levels of its
// recursion.
const std::int64_t kSquareSizes[] = {1, 2, 3, 5, 8, 15, 16, 17, 31, 32, 33, 47, 64, 65, 100, 130};

void determinantFamily(Family& fam, Rng& rng) {
    for (std::int64_t n : kSquareSizes) {
        for (Fill f : {Fill::Unit, Fill::Small, Fill::Mixed}) {
            CorxMatrix m = make(n, n, values(rng, n * n, f));
            Hasher h;
            std::int32_t ok = -7;
            h.f64(corx_matrix_determinant(m, &ok));
            h.i64(ok);
            h.f64(corx_matrix_determinant(m, nullptr));
            corx_matrix_destroy(m);
            fam.add("det " + shape(n, n) + " " + fillName(f), h);
        }
    }
    struct Fixed {
        const char* what;
        std::int64_t n;
        std::vector<double> a;
    };
    const double nan = fromBits(kCanonicalNaN);
    const std::vector<Fixed> fixed = {
        {"[[0]]", 1, {0.0}},
        {"[[-0]]", 1, {-0.0}},
        {"exchange", 2, {0, 1, 1, 0}},
        {"singular second pivot", 2, {1, 2, 1, 2}},
        {"nearly singular", 2, {0.1, 0.3, 0.3, 0.9}},
        {"pivot tie keeps the upper row", 2, {2, 1, -2, 3}},
        {"zero and NaN column", 3, {0, 1, 2, nan, 3, 4, 0, 5, 7}},
        {"NaN diagonal pivot", 2, {nan, 1, 2, 3}},
        {"underflow", 2, {1e-300, 0, 0, 1e-300}},
        {"overflow", 2, {1e300, 0, 0, 1e300}},
        {"infinite entry", 2, {kInf, 1, 1, 1}},
        {"subnormal pivots", 2, {kDenorm, 0, 0, 4 * kDenorm}},
        {"ties of magnitude", 3, {1, 2, 3, -1, 5, 6, 1, -8, 9}},
    };
    for (const Fixed& c : fixed) {
        CorxMatrix m = make(c.n, c.n, c.a);
        Hasher h;
        std::int32_t ok = -7;
        h.f64(corx_matrix_determinant(m, &ok));
        h.i64(ok);
        corx_matrix_destroy(m);
        fam.add(std::string("det ") + c.what, h);
    }
    // A matrix of +-1 only: every pivot search ties, across the leaf
    // boundaries.
    for (std::int64_t n : {20, 40, 70}) {
        std::vector<double> a(static_cast<std::size_t>(n * n));
        for (double& x : a) x = rng.below(2) ? 1.0 : -1.0;
        CorxMatrix m = make(n, n, a);
        Hasher h;
        std::int32_t ok = -7;
        h.f64(corx_matrix_determinant(m, &ok));
        h.i64(ok);
        corx_matrix_destroy(m);
        fam.add("det " + shape(n, n) + " of +-1 (ties everywhere)", h);
    }
    {
        Hasher h;
        std::int32_t ok = -7;
        h.f64(corx_matrix_determinant(nullptr, &ok));
        h.i64(ok);
        h.f64(corx_matrix_determinant(nullptr, nullptr));
        CorxMatrix m = make(2, 3, values(rng, 6, Fill::Unit));
        ok = -7;
        h.f64(corx_matrix_determinant(m, &ok));
        h.i64(ok);
        h.f64(corx_matrix_determinant(m, nullptr));
        corx_matrix_destroy(m);
        fam.add("det of NULL and of a non-square matrix", h);
    }
}

// ---- solve ----------------------------------------------------------------------

// Solves with and without refinement into a buffer one longer than needed
// (the last value must stay untouched) and hashes result and buffer.
void hashSolve(Hasher& h, CorxMatrix m, const std::vector<double>& b) {
    for (bool refine : {false, true}) {
        std::vector<double> x(b.size() + 1, kCanary);
        h.i64(corx_matrix_lu_solve(m, b.data(), static_cast<std::int64_t>(b.size()), x.data(),
                                   static_cast<std::int64_t>(x.size()), refine));
        h.f64s(x);
    }
}

void solveFamily(Family& fam, Rng& rng) {
    for (std::int64_t n : kSquareSizes) {
        for (Fill f : {Fill::Unit, Fill::Small, Fill::Mixed}) {
            CorxMatrix m = make(n, n, values(rng, n * n, f));
            Hasher h;
            hashSolve(h, m, values(rng, n, f == Fill::Mixed ? Fill::Unit : f));
            corx_matrix_destroy(m);
            fam.add("lu_solve " + shape(n, n) + " " + fillName(f), h);
        }
    }
    // Ill-conditioned: a Hilbert-like matrix of quotients, where the
    // refinement step changes many bits.
    for (std::int64_t n : {6, 12, 20}) {
        std::vector<double> a(static_cast<std::size_t>(n * n));
        for (std::int64_t i = 0; i < n; ++i)
            for (std::int64_t j = 0; j < n; ++j) a[static_cast<std::size_t>(i * n + j)] = 1.0 / static_cast<double>(i + j + 1);
        CorxMatrix m = make(n, n, a);
        Hasher h;
        hashSolve(h, m, values(rng, n, Fill::Small));
        corx_matrix_destroy(m);
        fam.add("lu_solve Hilbert " + shape(n, n), h);
    }
    // Residuals that meet every range: wide magnitudes, specials in b,
    // products that underflow or overflow.
    for (Fill f : {Fill::Wide, Fill::Special}) {
        for (std::int64_t n : {3, 9, 33}) {
            CorxMatrix m = make(n, n, values(rng, n * n, f == Fill::Special ? Fill::Mixed : f));
            Hasher h;
            hashSolve(h, m, values(rng, n, f));
            corx_matrix_destroy(m);
            fam.add("lu_solve " + shape(n, n) + ", right-hand side " + fillName(f), h);
        }
    }
    {
        CorxMatrix m = make(3, 3, {1e-300, 2e-300, 0, 3e-300, 1e-300, 1e-300, 0, 1e-300, 5e-300});
        Hasher h;
        hashSolve(h, m, {1e-300, kDenorm, 3.0});
        corx_matrix_destroy(m);
        fam.add("lu_solve tiny matrix, subnormal right-hand side", h);
    }
    {
        CorxMatrix m = make(2, 2, {3, 1, 1, 3});
        Hasher h;
        hashSolve(h, m, {1, 2});
        corx_matrix_destroy(m);
        fam.add("lu_solve [[3,1],[1,3]] (refinement reaches the exact solution)", h);
    }
    // Failures: nothing is written.
    {
        Hasher h;
        CorxMatrix sq = make(3, 3, values(rng, 9, Fill::Unit));
        CorxMatrix rect = make(2, 3, values(rng, 6, Fill::Unit));
        CorxMatrix sing = make(3, 3, {1, 0, 2, 3, 0, 4, 5, 0, 6});
        const std::vector<double> b = {1, 2, 3};
        std::vector<double> x(4, kCanary);
        h.i64(corx_matrix_lu_solve(sq, b.data(), 3, nullptr, 4, true));
        h.i64(corx_matrix_lu_solve(sq, nullptr, 3, x.data(), 4, true));
        h.i64(corx_matrix_lu_solve(nullptr, b.data(), 3, x.data(), 4, false));
        h.i64(corx_matrix_lu_solve(nullptr, nullptr, -1, nullptr, -1, false));
        h.i64(corx_matrix_lu_solve(rect, b.data(), 2, x.data(), 4, false));
        h.i64(corx_matrix_lu_solve(sq, b.data(), 2, x.data(), 4, false));
        h.i64(corx_matrix_lu_solve(sq, b.data(), 3, x.data(), 2, false));
        h.i64(corx_matrix_lu_solve(sq, b.data(), 3, x.data(), -5, true));
        h.i64(corx_matrix_lu_solve(sing, b.data(), 3, x.data(), 4, false));
        h.i64(corx_matrix_lu_solve(sing, b.data(), 3, x.data(), 4, true));
        h.raws(x);
        corx_matrix_destroy(sq);
        corx_matrix_destroy(rect);
        corx_matrix_destroy(sing);
        fam.add("lu_solve failures: NULL, shape, short buffer, singular", h);
    }
}

// ---- Cholesky -------------------------------------------------------------------

// A symmetric positive-definite matrix: B*B^T plus n on the diagonal,
// formed here in a fixed order and mirrored, so it is exactly symmetric.
std::vector<double> spd(Rng& rng, std::int64_t n, Fill f) {
    const std::vector<double> b = values(rng, n * n, f);
    std::vector<double> a(static_cast<std::size_t>(n * n));
    for (std::int64_t i = 0; i < n; ++i) {
        for (std::int64_t j = 0; j <= i; ++j) {
            double s = 0.0;
            for (std::int64_t k = 0; k < n; ++k) {
                const double p = b[static_cast<std::size_t>(i * n + k)] * b[static_cast<std::size_t>(j * n + k)];
                s = s + p;
            }
            if (i == j) s = s + static_cast<double>(n);
            a[static_cast<std::size_t>(i * n + j)] = s;
            a[static_cast<std::size_t>(j * n + i)] = s;
        }
    }
    return a;
}

void choleskyFamily(Family& fam, Rng& rng) {
    // Sizes crossing the symmetry test's 32-square tiles and the 96-column
    // panels of the factorisation.
    const std::int64_t sizes[] = {1, 2, 3, 7, 8, 9, 16, 31, 32, 33, 64, 95, 96, 97, 130};
    for (std::int64_t n : sizes) {
        for (Fill f : {Fill::Unit, Fill::Small}) {
            CorxMatrix m = make(n, n, spd(rng, n, f));
            Hasher h;
            hashResult(h, corx_matrix_cholesky(m));
            corx_matrix_destroy(m);
            fam.add("cholesky " + shape(n, n) + " from " + fillName(f), h);
        }
    }
    const double nan = fromBits(kCanonicalNaN);
    struct Fixed {
        const char* what;
        std::int64_t n;
        std::vector<double> a;
    };
    const std::vector<Fixed> fixed = {
        {"[[4,2],[2,5]]", 2, {4, 2, 2, 5}},
        {"[[0]]", 1, {0}},
        {"[[-1]]", 1, {-1}},
        {"indefinite at pivot 1", 2, {1, 2, 2, 1}},
        {"asymmetric", 2, {4, 1, 2, 3}},
        {"[[NaN]]", 1, {nan}},
        {"NaN off the diagonal", 2, {4, nan, nan, 4}},
        {"infinite diagonal", 2, {kInf, 1, 1, 4}},
        {"semi-definite, last pivot exactly 0", 3, {1, 1, 1, 1, 2, 2, 1, 2, 2}},
        {"subnormal diagonal", 2, {kDenorm, 0, 0, 1}},
        {"huge diagonal", 2, {1e300, 1e150, 1e150, 1e300}},
    };
    for (const Fixed& c : fixed) {
        CorxMatrix m = make(c.n, c.n, c.a);
        Hasher h;
        hashResult(h, corx_matrix_cholesky(m));
        corx_matrix_destroy(m);
        fam.add(std::string("cholesky ") + c.what, h);
    }
    // Failures deep inside large matrices: one asymmetric pair one unit in
    // the last place apart, a pivot that fails in a later panel.
    {
        const std::int64_t n = 130;
        std::vector<double> a = spd(rng, n, Fill::Unit);
        std::vector<double> asym = a;
        asym[static_cast<std::size_t>(100 * n + 40)] = std::nextafter(asym[static_cast<std::size_t>(100 * n + 40)], kInf);
        std::vector<double> indefinite = a;
        indefinite[static_cast<std::size_t>(110 * n + 110)] = -1.0;
        Hasher h;
        CorxMatrix m = make(n, n, asym);
        hashResult(h, corx_matrix_cholesky(m));
        corx_matrix_destroy(m);
        m = make(n, n, indefinite);
        hashResult(h, corx_matrix_cholesky(m));
        corx_matrix_destroy(m);
        m = make(3, 2, values(rng, 6, Fill::Unit));
        hashResult(h, corx_matrix_cholesky(m));
        corx_matrix_destroy(m);
        hashResult(h, corx_matrix_cholesky(nullptr));
        fam.add("cholesky failures: asymmetric by one ulp, late pivot, non-square, NULL", h);
    }
}

// ---- QR -------------------------------------------------------------------------

void hashQr(Hasher& h, CorxMatrix m) {
    CorxMatrix q = nullptr, r = nullptr;
    h.i64(corx_matrix_qr(m, &q, &r));
    hashResult(h, q);
    hashResult(h, r);
}

void qrFamily(Family& fam, Rng& rng) {
    // Shapes crossing the 32-column panels and the 64-wide blocks of the
    // trailing and Q updates.
    const std::int64_t shapes[][2] = {{1, 1}, {2, 1}, {3, 2}, {2, 2}, {5, 5}, {9, 4},
                                      {33, 31}, {40, 33}, {70, 65}, {100, 64}, {130, 70}};
    for (const auto& s : shapes) {
        for (Fill f : {Fill::Unit, Fill::Mixed}) {
            CorxMatrix m = make(s[0], s[1], values(rng, s[0] * s[1], f));
            Hasher h;
            hashQr(h, m);
            corx_matrix_destroy(m);
            fam.add("qr " + shape(s[0], s[1]) + " " + fillName(f), h);
        }
    }
    struct Fixed {
        const char* what;
        std::int64_t rows, cols;
        std::vector<double> a;
    };
    const std::vector<Fixed> fixed = {
        {"[[3,1],[4,2]]", 2, 2, {3, 1, 4, 2}},
        {"[[-2]]", 1, 1, {-2}},
        {"zero matrix", 3, 2, {0, 0, 0, 0, 0, 0}},
        {"column of squares that underflow", 3, 2, {1e-200, 1, 1e-200, 2, 1e-200, 3}},
        {"-0.0 leading entry", 2, 2, {-0.0, 1, 1, 1}},
        {"rank deficient", 4, 3, {1, 2, 3, 2, 4, 6, 3, 6, 9, 4, 8, 12}},
        {"huge entries", 2, 2, {1e300, 1e300, 1e300, -1e300}},
        {"infinite entry", 2, 2, {kInf, 1, 1, 1}},
    };
    for (const Fixed& c : fixed) {
        CorxMatrix m = make(c.rows, c.cols, c.a);
        Hasher h;
        hashQr(h, m);
        corx_matrix_destroy(m);
        fam.add(std::string("qr ") + c.what, h);
    }
    {
        Hasher h;
        CorxMatrix wide = make(2, 3, values(rng, 6, Fill::Unit));
        CorxMatrix ok = make(3, 2, values(rng, 6, Fill::Unit));
        CorxMatrix q = nullptr, r = nullptr;
        h.i64(corx_matrix_qr(wide, &q, &r));
        h.word(q == nullptr && r == nullptr);
        h.i64(corx_matrix_qr(nullptr, &q, &r));
        h.i64(corx_matrix_qr(ok, nullptr, &r));
        h.i64(corx_matrix_qr(ok, &q, nullptr));
        h.word(q == nullptr && r == nullptr);
        corx_matrix_destroy(wide);
        corx_matrix_destroy(ok);
        fam.add("qr failures: wide, NULL", h);
    }
}

// ---- SVD ------------------------------------------------------------------------

void hashSvd(Hasher& h, CorxMatrix m, std::int64_t sLength) {
    CorxMatrix u = nullptr, v = nullptr;
    std::vector<double> s(static_cast<std::size_t>(sLength) + 1, kCanary);
    h.i64(corx_matrix_svd(m, &u, s.data(), sLength, &v));
    h.f64s(s);
    hashResult(h, u);
    hashResult(h, v);
}

void svdFamily(Family& fam, Rng& rng) {
    // Column counts crossing the batches of 8 pairs whose sums are formed
    // together, and their remainders.
    const std::int64_t shapes[][2] = {{1, 1}, {4, 1}, {2, 2}, {3, 3}, {7, 7}, {8, 8}, {9, 9}, {12, 9},
                                      {15, 15}, {16, 16}, {20, 17}, {24, 24}, {30, 25}, {40, 33}};
    for (const auto& s : shapes) {
        for (Fill f : {Fill::Unit, Fill::Small}) {
            CorxMatrix m = make(s[0], s[1], values(rng, s[0] * s[1], f));
            Hasher h;
            hashSvd(h, m, s[1]);
            corx_matrix_destroy(m);
            fam.add("svd " + shape(s[0], s[1]) + " " + fillName(f), h);
        }
    }
    const double nan = fromBits(kCanonicalNaN);
    struct Fixed {
        const char* what;
        std::int64_t rows, cols;
        std::vector<double> a;
    };
    const std::vector<Fixed> fixed = {
        {"[[3,0],[4,5]]", 2, 2, {3, 0, 4, 5}},
        {"[[1,0],[0,3]] (sort exchanges)", 2, 2, {1, 0, 0, 3}},
        {"rank 1", 3, 2, {1, 2, 2, 4, 3, 6}},
        {"zero column", 3, 1, {0, 0, 0}},
        {"identity (ties keep their order)", 3, 3, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
        {"NaN entry (never converges)", 3, 3, {1, 2, 3, 4, nan, 6, 7, 8, 10}},
        {"wide magnitudes", 3, 2, {1e150, 1e-150, 1e-150, 1e150, 1, 1}},
        {"subnormal column", 2, 2, {kDenorm, 1, kDenorm, 2}},
    };
    for (const Fixed& c : fixed) {
        CorxMatrix m = make(c.rows, c.cols, c.a);
        Hasher h;
        hashSvd(h, m, c.cols);
        corx_matrix_destroy(m);
        fam.add(std::string("svd ") + c.what, h);
    }
    // Equal columns in a wider matrix: many ties for the sort.
    {
        const std::int64_t rows = 12, cols = 10;
        std::vector<double> a(static_cast<std::size_t>(rows * cols), 0.0);
        for (std::int64_t j = 0; j < cols; ++j) a[static_cast<std::size_t>(j * cols + j)] = (j % 3 == 0) ? 2.0 : 1.0;
        CorxMatrix m = make(rows, cols, a);
        Hasher h;
        hashSvd(h, m, cols + 3);
        corx_matrix_destroy(m);
        fam.add("svd 12x10 with repeated singular values", h);
    }
    {
        Hasher h;
        CorxMatrix wide = make(2, 3, values(rng, 6, Fill::Unit));
        CorxMatrix ok = make(3, 2, values(rng, 6, Fill::Unit));
        hashSvd(h, wide, 1);  // shape is tested before the buffer length
        hashSvd(h, ok, 1);
        CorxMatrix u = nullptr, v = nullptr;
        double s[3] = {kCanary, kCanary, kCanary};
        h.i64(corx_matrix_svd(nullptr, &u, s, 3, &v));
        h.i64(corx_matrix_svd(ok, nullptr, s, 3, &v));
        h.i64(corx_matrix_svd(ok, &u, nullptr, 3, &v));
        h.i64(corx_matrix_svd(ok, &u, s, 3, nullptr));
        h.word(u == nullptr && v == nullptr);
        for (double x : s) h.raw(x);
        corx_matrix_destroy(wide);
        corx_matrix_destroy(ok);
        fam.add("svd failures: wide, short s, NULL", h);
    }
}

// ---- sparse ---------------------------------------------------------------------

void sparseFamily(Family& fam, Rng& rng) {
    // Row counts around the four rows advanced together, rows of every
    // length (empty ones included).
    const std::int64_t shapes[][2] = {{1, 1}, {1, 300}, {3, 5}, {4, 4}, {5, 9}, {7, 3}, {8, 16}, {33, 20}, {200, 150}};
    for (const auto& s : shapes) {
        for (int density : {0, 1, 4, 16}) {  // out of 16
            const std::int64_t count = s[0] * s[1];
            std::vector<double> dense(static_cast<std::size_t>(count));
            for (double& x : dense) {
                if (static_cast<int>(rng.below(16)) < density) {
                    x = rng.below(8) == 0 ? specials()[rng.below(specials().size())] : rng.unit();
                } else {
                    x = rng.below(2) ? 0.0 : -0.0;  // both zeros are dropped
                }
            }
            CorxMatrix m = make(s[0], s[1], dense);
            CorxSparse sp = corx_sparse_from_dense(m);
            corx_matrix_set(m, 0, 0, 42.0);  // the sparse handle is independent of m
            corx_matrix_destroy(m);
            Hasher h;
            h.i64(corx_sparse_nnz(sp));
            CorxMatrix back = corx_sparse_to_dense(sp);
            std::vector<double> want = dense;
            for (double& x : want)
                if (x == 0.0) x = 0.0;  // -0.0 comes back as +0.0
            const std::vector<double> got = contents(back);
            expectCopy("sparse round trip", got, want);
            h.raws(got);
            corx_matrix_destroy(back);
            for (Fill f : {Fill::Unit, Fill::Special}) {
                const std::vector<double> x = values(rng, s[1], f);
                std::vector<double> y(static_cast<std::size_t>(s[0]) + 1, kCanary);
                h.i64(corx_sparse_matvec(sp, x.data(), s[1], y.data(), static_cast<std::int64_t>(y.size())));
                h.f64s(y);
            }
            corx_sparse_destroy(sp);
            fam.add("sparse " + shape(s[0], s[1]) + " density " + num(density) + "/16", h);
        }
    }
    {
        Hasher h;
        CorxMatrix m = make(3, 4, {1, 0, 2, 0, 0, 0, 0, 0, 3, 4, 0, 5});
        CorxSparse sp = corx_sparse_from_dense(m);
        const double x[5] = {1, 2, 3, 4, 5};
        double y[4] = {kCanary, kCanary, kCanary, kCanary};
        h.i64(corx_sparse_matvec(sp, x, 3, y, 4));
        h.i64(corx_sparse_matvec(sp, x, 5, y, 4));
        h.i64(corx_sparse_matvec(sp, x, 4, y, 2));
        h.i64(corx_sparse_matvec(sp, nullptr, 4, y, 4));
        h.i64(corx_sparse_matvec(sp, x, 4, nullptr, 4));
        h.i64(corx_sparse_matvec(nullptr, x, 4, y, 4));
        for (double v : y) h.raw(v);
        h.word(corx_sparse_from_dense(nullptr) == nullptr);
        h.word(corx_sparse_to_dense(nullptr) == nullptr);
        h.i64(corx_sparse_nnz(nullptr));
        corx_sparse_destroy(nullptr);
        h.i64(corx_sparse_matvec(sp, x, 4, y, 3));
        for (double v : y) h.f64(v);
        corx_sparse_destroy(sp);
        corx_matrix_destroy(m);
        fam.add("sparse failures: wrong x length, short y, NULL", h);
    }
}

// CSR arrays as sparse formats hold them: the handle must be the one made
// from the dense matrix with the same entries (explicit zeros dropped), and
// every fault of the arrays reported with its own status, in the documented
// order, with nothing made.
char gCsrCanary;  // an address no handle has: shows whether a failure cleared the out-parameter

void sparseCsrFamily(Family& fam, Rng& rng) {
    CorxSparse const canary = reinterpret_cast<CorxSparse>(&gCsrCanary);
    const std::int64_t shapes[][2] = {{1, 1}, {1, 300}, {4, 4}, {7, 3}, {33, 20}, {200, 150}};
    for (const auto& s : shapes) {
        for (int density : {0, 1, 4, 16}) {
            std::vector<std::int64_t> indptr{0};
            std::vector<std::int32_t> indices;
            std::vector<double> data;
            std::vector<double> dense(static_cast<std::size_t>(s[0] * s[1]), 0.0);
            for (std::int64_t i = 0; i < s[0]; ++i) {
                for (std::int64_t j = 0; j < s[1]; ++j) {
                    if (static_cast<int>(rng.below(16)) >= density) continue;
                    // Some explicit zeros, of both signs, as scipy keeps them.
                    const double x = rng.below(10) == 0 ? (rng.below(2) ? 0.0 : -0.0)
                                     : rng.below(8) == 0 ? specials()[rng.below(specials().size())]
                                                         : rng.unit();
                    indices.push_back(static_cast<std::int32_t>(j));
                    data.push_back(x);
                    dense[static_cast<std::size_t>(i * s[1] + j)] = x;
                }
                indptr.push_back(static_cast<std::int64_t>(data.size()));
            }
            CorxSparse sp = canary;
            Hasher h;
            h.i64(corx_sparse_from_csr(static_cast<std::int32_t>(s[0]), static_cast<std::int32_t>(s[1]),
                                       indptr.data(), static_cast<std::int64_t>(indptr.size()), indices.data(),
                                       data.data(), static_cast<std::int64_t>(data.size()), &sp, nullptr));
            CorxMatrix m = make(s[0], s[1], dense);
            CorxSparse want = corx_sparse_from_dense(m);
            corx_matrix_destroy(m);
            h.i64(corx_sparse_nnz(sp));
            CorxMatrix back = corx_sparse_to_dense(sp), wantBack = corx_sparse_to_dense(want);
            const std::vector<double> got = contents(back);
            expectCopy("sparse from CSR against from dense", got, contents(wantBack));
            h.raws(got);
            corx_matrix_destroy(back);
            corx_matrix_destroy(wantBack);
            for (Fill f : {Fill::Unit, Fill::Special}) {
                const std::vector<double> x = values(rng, s[1], f);
                std::vector<double> y(static_cast<std::size_t>(s[0]), kCanary), yWant(y);
                h.i64(corx_sparse_matvec(sp, x.data(), s[1], y.data(), static_cast<std::int64_t>(y.size())));
                corx_sparse_matvec(want, x.data(), s[1], yWant.data(), static_cast<std::int64_t>(y.size()));
                expectCopy("sparse from CSR product against from dense", y, yWant);
                h.f64s(y);
            }
            corx_sparse_destroy(want);
            corx_sparse_destroy(sp);
            fam.add("sparse_from_csr " + shape(s[0], s[1]) + " density " + num(density) + "/16", h);
        }
    }
    {
        // One fault each, on a valid 3x4 matrix [[1,0,2,0],[0,0,0,0],[3,4,0,5]].
        Hasher h;
        const std::int64_t p[] = {0, 2, 2, 5};
        const std::int32_t c[] = {0, 2, 0, 1, 3};
        const double v[] = {1, 2, 3, 4, 5};
        const std::int64_t badStart[] = {1, 2, 2, 5}, down[] = {0, 3, 2, 5}, badEnd[] = {0, 2, 2, 4};
        const std::int32_t negative[] = {0, 2, -1, 1, 3}, wide[] = {0, 4, 0, 1, 3};
        const std::int32_t unsorted[] = {0, 2, 1, 0, 3}, twice[] = {0, 2, 0, 0, 3};
        auto attempt = [&](std::int32_t rows, std::int32_t cols, const std::int64_t* ip, std::int64_t ipLen,
                           const std::int32_t* ix, const double* dv, std::int64_t nnz) {
            CorxSparse sp = canary;
            std::int32_t fault = -1;
            h.i64(corx_sparse_from_csr(rows, cols, ip, ipLen, ix, dv, nnz, &sp, &fault));
            h.i64(fault);
            h.word(sp == nullptr);
            if (sp != canary) corx_sparse_destroy(sp);
        };
        std::int32_t untouched = -1;
        h.i64(corx_sparse_from_csr(3, 4, p, 4, c, v, 5, nullptr, &untouched));
        h.i64(untouched);
        attempt(3, 4, nullptr, 4, c, v, 5);
        attempt(3, 4, p, 4, nullptr, v, 5);
        attempt(3, 4, p, 4, c, nullptr, 5);
        attempt(0, 4, p, 1, c, v, 5);
        attempt(3, 0, p, 4, c, v, 5);
        attempt(3, 4, p, 3, c, v, 5);
        attempt(3, 4, p, 4, c, v, -1);
        attempt(3, 4, badStart, 4, c, v, 5);
        attempt(3, 4, down, 4, c, v, 5);
        attempt(3, 4, badEnd, 4, c, v, 5);
        attempt(3, 4, p, 4, negative, v, 5);
        attempt(3, 4, p, 4, wide, v, 5);
        attempt(3, 4, p, 4, unsorted, v, 5);
        attempt(3, 4, p, 4, twice, v, 5);
        attempt(3, 4, p, 4, c, v, 5);  // valid
        const std::int64_t none[] = {0, 0, 0};
        attempt(2, 2, none, 3, nullptr, nullptr, 0);  // no entries, no arrays
        CorxSparse sp = nullptr;  // the fault argument may be NULL
        h.i64(corx_sparse_from_csr(3, 4, badEnd, 4, c, v, 5, &sp, nullptr));
        h.word(sp == nullptr);
        fam.add("sparse_from_csr failures: NULL, lengths, each row pointer and column fault", h);
    }
}

// ---- vectors --------------------------------------------------------------------

void hash2(Hasher& h, CorxVec2 v) {
    h.f64(v.x);
    h.f64(v.y);
}
void hash3(Hasher& h, CorxVec3 v) {
    h.f64(v.x);
    h.f64(v.y);
    h.f64(v.z);
}
void hash4(Hasher& h, CorxVec4 v) {
    h.f64(v.x);
    h.f64(v.y);
    h.f64(v.z);
    h.f64(v.w);
}

void vectorFamily(Family& fam, Rng& rng) {
    const double eps[] = {0.0, 1e-12, 0.5, kInf, fromBits(kCanonicalNaN), -1.0};
    for (Fill f : {Fill::Small, Fill::Unit, Fill::Wide, Fill::Special}) {
        for (int round = 0; round < 8; ++round) {
            const std::vector<double> a = values(rng, 4, f), b = values(rng, 4, f);
            const double factor = draw(rng, f);
            Hasher h;
            const CorxVec2 a2{a[0], a[1]}, b2{b[0], b[1]};
            hash2(h, corx_vec2_add(a2, b2));
            hash2(h, corx_vec2_sub(a2, b2));
            hash2(h, corx_vec2_scale(a2, factor));
            h.f64(corx_vec2_dot(a2, b2));
            h.f64(corx_vec2_length(a2));
            hash2(h, corx_vec2_normalize(a2));
            h.f64(corx_vec2_cross2d(a2, b2));
            hash2(h, corx_vec2_perp(a2));
            hash2(h, corx_vec2_perp_cw(a2));
            for (double e : eps) h.word(corx_vec2_almost_equal(a2, b2, e));
            const CorxVec3 a3{a[0], a[1], a[2]}, b3{b[0], b[1], b[2]};
            hash3(h, corx_vec3_add(a3, b3));
            hash3(h, corx_vec3_sub(a3, b3));
            hash3(h, corx_vec3_scale(a3, factor));
            h.f64(corx_vec3_dot(a3, b3));
            h.f64(corx_vec3_length(a3));
            hash3(h, corx_vec3_normalize(a3));
            hash3(h, corx_vec3_cross(a3, b3));
            for (double e : eps) h.word(corx_vec3_almost_equal(a3, b3, e));
            const CorxVec4 a4{a[0], a[1], a[2], a[3]}, b4{b[0], b[1], b[2], b[3]};
            hash4(h, corx_vec4_add(a4, b4));
            hash4(h, corx_vec4_sub(a4, b4));
            hash4(h, corx_vec4_scale(a4, factor));
            h.f64(corx_vec4_dot(a4, b4));
            h.f64(corx_vec4_length(a4));
            hash4(h, corx_vec4_normalize(a4));
            fam.add(std::string("vec2/3/4 ") + fillName(f) + ", round " + num(round), h);
        }
    }
    {
        Hasher h;
        const CorxVec2 z2{0.0, -0.0};
        const CorxVec3 z3{-0.0, 0.0, -0.0};
        const CorxVec4 z4{0.0, 0.0, -0.0, 0.0};
        hash2(h, corx_vec2_normalize(z2));
        hash3(h, corx_vec3_normalize(z3));
        hash4(h, corx_vec4_normalize(z4));
        h.f64(corx_vec2_length(CorxVec2{1e200, 1e200}));
        h.f64(corx_vec3_length(CorxVec3{1e-200, 1e-200, 1e-200}));
        hash4(h, corx_vec4_normalize(CorxVec4{kDenorm, 0.0, 0.0, 0.0}));
        h.word(corx_vec2_almost_equal(z2, CorxVec2{0.0, 0.0}, 0.0));
        h.word(corx_vec3_almost_equal(z3, z3, kDenorm));
        fam.add("vectors: zero length, overflow and underflow of the length", h);
    }
}

// ---- limb primitives ----------------------------------------------------------

void limbFamily(Family& fam, Rng& rng) {
    {
        Hasher h;
        h.i64(corvane_clz64(0));
        for (int k = 0; k < 64; ++k) {
            h.i64(corvane_clz64(std::uint64_t{1} << k));
            h.i64(corvane_clz64((std::uint64_t{1} << k) | 1));
            h.i64(corvane_clz64(~std::uint64_t{0} >> k));
        }
        for (int i = 0; i < 64; ++i) h.i64(corvane_clz64(rng.next() >> rng.below(64)));
        fam.add("corvane_clz64", h);
    }
    struct Div {
        const char* what;
        int kind;
    };
    const Div kinds[] = {{"hi < divisor", 0}, {"hi >= divisor (quotient modulo 2^64)", 1}, {"small divisors", 2}};
    for (const Div& d : kinds) {
        Hasher h;
        for (int i = 0; i < 64; ++i) {
            std::uint64_t divisor = rng.next() >> rng.below(63);
            if (d.kind == 2) divisor = 1 + rng.below(1000);
            if (divisor == 0) divisor = 1;
            std::uint64_t hi = rng.next();
            if (d.kind != 1) hi %= divisor;
            else if (hi < divisor) hi = divisor + (hi >> 1);
            const std::uint64_t lo = rng.next();
            std::uint64_t q = 0, r = 0;
            corvane_udiv128(hi, lo, divisor, &q, &r);
            h.word(q);
            h.word(r);
        }
        fam.add(std::string("corvane_udiv128 ") + d.what, h);
    }
    {
        Hasher h;
        const std::uint64_t hi = 0x0123456789ABCDEFULL, lo = 0xFEDCBA9876543210ULL;
        std::uint64_t q = 1, r = 2;
        corvane_udiv128(hi, lo, 0, &q, &r);  // divisor 0: UINT64_MAX and lo
        h.word(q);
        h.word(r);
        q = 3;
        corvane_udiv128(5, lo, 0x10000000000000ULL, &q, nullptr);
        h.word(q);
        r = 4;
        corvane_udiv128(5, lo, 0x10000000000000ULL, nullptr, &r);
        h.word(r);
        corvane_udiv128(5, lo, 7, nullptr, nullptr);
        std::uint64_t both = 0;
        corvane_udiv128(5, lo, 7, &both, &both);  // the remainder is stored last
        h.word(both);
        corvane_udiv128(~std::uint64_t{0} - 1, ~std::uint64_t{0}, ~std::uint64_t{0}, &q, &r);
        h.word(q);
        h.word(r);
        fam.add("corvane_udiv128: divisor 0, NULL and shared outputs, extremes", h);
    }
}

// ---- constants --------------------------------------------------------------------

void hashBig(Hasher& h, const corx_internal::BigFloat& x) {
    h.word(x.negative);
    h.i64(x.exponent);
    h.word(x.mantissa.limbs.size());
    for (std::uint64_t limb : x.mantissa.limbs) h.word(limb);
}

void hashConstants(Hasher& h) {
    hashBig(h, corx_internal::piCache);
    hashBig(h, corx_internal::twoPiCache);
    hashBig(h, corx_internal::halfPiCache);
    hashBig(h, corx_internal::quarterPiCache);
    hashBig(h, corx_internal::threeQuarterPiCache);
    hashBig(h, corx_internal::ln2Cache);
}

// ---- several right-hand sides ---------------------------------------------------

// Many columns against one factorisation, row-major, into a buffer one
// longer than needed; the columns are split across threads, so the
// threaded rows of the battery hold each column to the one-thread bits.
void solveManyFamily(Family& fam, Rng& rng) {
    for (std::int64_t n : {1, 7, 33, 130}) {
        for (Fill f : {Fill::Unit, Fill::Special}) {
            CorxMatrix m = make(n, n, values(rng, n * n, f == Fill::Special ? Fill::Mixed : f));
            for (std::int32_t nrhs : {1, 3, 17}) {
                const std::vector<double> b = values(rng, n * nrhs, f);
                Hasher h;
                for (bool refine : {false, true}) {
                    std::vector<double> x(b.size() + 1, kCanary);
                    h.i64(corx_matrix_lu_solve_many(m, b.data(), static_cast<std::int64_t>(b.size()), nrhs,
                                                    x.data(), static_cast<std::int64_t>(x.size()), refine));
                    h.f64s(x);
                }
                fam.add("lu_solve_many " + shape(n, n) + " x " + std::to_string(nrhs) + " " + fillName(f), h);
            }
            corx_matrix_destroy(m);
        }
    }
    // Failures in their order: nothing is written.
    {
        Hasher h;
        CorxMatrix sq = make(2, 2, values(rng, 4, Fill::Unit));
        CorxMatrix rect = make(2, 3, values(rng, 6, Fill::Unit));
        CorxMatrix sing = make(2, 2, {0, 1, 0, 2});
        const std::vector<double> b = {1, 2, 3, 4, 5, 6};
        std::vector<double> x(7, kCanary);
        h.i64(corx_matrix_lu_solve_many(nullptr, nullptr, -1, 0, nullptr, -1, false));
        h.i64(corx_matrix_lu_solve_many(rect, b.data(), 6, 3, x.data(), 0, true));
        h.i64(corx_matrix_lu_solve_many(sq, b.data(), 6, 0, x.data(), 7, true));
        h.i64(corx_matrix_lu_solve_many(sq, b.data(), 5, 3, x.data(), 7, true));
        h.i64(corx_matrix_lu_solve_many(sq, b.data(), 6, 3, x.data(), 5, true));
        h.i64(corx_matrix_lu_solve_many(sing, b.data(), 6, 3, x.data(), 7, true));
        h.raws(x);
        corx_matrix_destroy(sq);
        corx_matrix_destroy(rect);
        corx_matrix_destroy(sing);
        fam.add("lu_solve_many failures: NULL, shape, count, short buffer, singular", h);
    }
}

// ---- stacks of systems ----------------------------------------------------------

// Stacks of small systems, whole systems split across threads; a singular
// system in the middle reports its index.
void solveStackFamily(Family& fam, Rng& rng) {
    for (std::int32_t n : {1, 4, 9}) {
        for (Fill f : {Fill::Unit, Fill::Special}) {
            const std::int64_t count = 20, nn = std::int64_t{n} * n;
            const std::vector<double> a = values(rng, count * nn, f == Fill::Special ? Fill::Mixed : f);
            for (std::int32_t nrhs : {1, 3}) {
                const std::int64_t nb = std::int64_t{n} * nrhs;
                const std::vector<double> b = values(rng, count * nb, f);
                Hasher h;
                for (bool refine : {false, true}) {
                    std::vector<double> x(static_cast<std::size_t>(count * nb) + 1, kCanary);
                    std::int64_t singular = -1;
                    h.i64(corx_lu_solve_stack(n, count, a.data(), count * nn, b.data(), count * nb, nrhs, x.data(),
                                              static_cast<std::int64_t>(x.size()), refine, &singular));
                    h.i64(singular);
                    if (singular < 0) h.f64s(x);
                }
                fam.add("lu_solve_stack 20 x " + shape(n, n) + " x " + std::to_string(nrhs) + " " + fillName(f), h);
            }
        }
    }
    {
        Hasher h;
        std::vector<double> a = values(rng, 5 * 4, Fill::Unit);
        a[2 * 4] = a[2 * 4 + 2] = 0.0;  // system 2: first column zero
        a[4 * 4] = a[4 * 4 + 2] = 0.0;
        const std::vector<double> b = values(rng, 5 * 2, Fill::Unit);
        std::vector<double> x(10, kCanary);
        std::int64_t singular = -1;
        h.i64(corx_lu_solve_stack(2, 5, nullptr, 20, b.data(), 10, 1, x.data(), 10, true, &singular));
        h.i64(corx_lu_solve_stack(0, 5, a.data(), 20, b.data(), 10, 1, x.data(), 10, true, &singular));
        h.i64(corx_lu_solve_stack(2, 5, a.data(), 19, b.data(), 10, 1, x.data(), 10, true, &singular));
        h.i64(corx_lu_solve_stack(2, 5, a.data(), 20, b.data(), 10, 1, x.data(), 9, true, &singular));
        h.i64(singular);
        h.raws(x);
        h.i64(corx_lu_solve_stack(2, 5, a.data(), 20, b.data(), 10, 1, x.data(), 10, true, &singular));
        h.i64(singular);
        fam.add("lu_solve_stack failures: NULL, shape, length, short buffer, singular", h);
    }
}

// ---- tile steps -------------------------------------------------------------------

void tilesFamily(Family& fam, Rng& rng) {
    // Shapes across the product's cache blocks of k (512) and packed rows
    // (256), and Cholesky's 16- and 48-column blocks.
    struct Mul {
        std::int64_t m, p, n;
        Fill f;
    };
    for (const Mul& s : {Mul{1, 1, 1, Fill::Special}, Mul{7, 33, 9, Fill::Special}, Mul{97, 513, 31, Fill::Unit},
                         Mul{40, 20, 260, Fill::Mixed}}) {
        CorxMatrix c = make(s.m, s.n, values(rng, s.m * s.n, s.f));
        CorxMatrix a = make(s.m, s.p, values(rng, s.m * s.p, s.f));
        CorxMatrix b = make(s.p, s.n, values(rng, s.p * s.n, s.f));
        CorxMatrix bt = corx_matrix_transpose(b);
        Hasher h;
        hashResult(h, corx_matrix_mul_add(c, a, b));
        hashResult(h, corx_matrix_mul_sub_t(c, a, bt));
        for (CorxMatrix x : {c, a, b, bt}) corx_matrix_destroy(x);
        fam.add("mul_add, mul_sub_t " + shape(s.m, s.p) + " * " + shape(s.p, s.n) + " " + fillName(s.f), h);
    }
    for (std::int64_t n : {1, 16, 17, 49, 97}) {
        for (Fill f : {Fill::Unit, Fill::Small}) {
            CorxMatrix m = make(n, n, spd(rng, n, f));
            CorxMatrix l = corx_matrix_cholesky_lower(m);
            CorxMatrix c = make(5, n, values(rng, 5 * n, Fill::Special));
            const std::vector<double> b = values(rng, n * 3, f);
            std::vector<double> x(b.size() + 1, kCanary);
            Hasher h;
            hashResult(h, corx_matrix_cholesky_below(c, l));
            h.i64(corx_matrix_cholesky_solve(m, b.data(), static_cast<std::int64_t>(b.size()), 3, x.data(),
                                             static_cast<std::int64_t>(x.size())));
            h.f64s(x);
            hashResult(h, l);
            for (CorxMatrix y : {m, c}) corx_matrix_destroy(y);
            fam.add("cholesky_lower, cholesky_below, cholesky_solve " + shape(n, n) + " " + fillName(f), h);
        }
    }
    // Failures in their order: NULL, shapes, short buffer, not positive
    // definite, not symmetric (only the solve tests symmetry).
    {
        Hasher h;
        CorxMatrix sq = make(2, 2, {4, 1, 1, 3});
        CorxMatrix rect = make(2, 3, values(rng, 6, Fill::Unit));
        CorxMatrix asym = make(2, 2, {4, 1, 2, 3});
        CorxMatrix indefinite = make(2, 2, {1, 2, 2, 1});
        const std::vector<double> b = {1, 2, 3, 4};
        std::vector<double> x(4, kCanary);
        hashResult(h, corx_matrix_mul_add(nullptr, sq, sq));
        hashResult(h, corx_matrix_mul_add(sq, rect, sq));
        hashResult(h, corx_matrix_mul_sub_t(sq, sq, rect));
        hashResult(h, corx_matrix_cholesky_lower(rect));
        hashResult(h, corx_matrix_cholesky_lower(indefinite));
        hashResult(h, corx_matrix_cholesky_lower(asym));
        hashResult(h, corx_matrix_cholesky_below(rect, sq));
        h.i64(corx_matrix_cholesky_solve(nullptr, b.data(), 4, 2, x.data(), 4));
        h.i64(corx_matrix_cholesky_solve(rect, b.data(), 4, 2, x.data(), 4));
        h.i64(corx_matrix_cholesky_solve(sq, b.data(), 4, 2, x.data(), 3));
        h.i64(corx_matrix_cholesky_solve(indefinite, b.data(), 4, 2, x.data(), 4));
        h.i64(corx_matrix_cholesky_solve(asym, b.data(), 4, 2, x.data(), 4));
        h.raws(x);
        for (CorxMatrix y : {sq, rect, asym, indefinite}) corx_matrix_destroy(y);
        fam.add("tile step failures: NULL, shapes, short buffer, indefinite, asymmetric", h);
    }
}

// Runs last: it ends with the global teardown.
void constantsFamily(Family& fam) {
    corx_init();
    const struct {
        const char* what;
        const corx_internal::BigFloat& value;
    } caches[] = {
        {"piCache", corx_internal::piCache},
        {"twoPiCache", corx_internal::twoPiCache},
        {"halfPiCache", corx_internal::halfPiCache},
        {"quarterPiCache", corx_internal::quarterPiCache},
        {"threeQuarterPiCache", corx_internal::threeQuarterPiCache},
        {"ln2Cache", corx_internal::ln2Cache},
    };
    for (const auto& c : caches) {
        Hasher h;
        hashBig(h, c.value);
        fam.add(c.what, h);
    }
    {
        Hasher h;
        corxrt_startup();  // the start-up runs once: nothing changes
        hashConstants(h);
        corxrt_teardown();  // every cache back to the zero record
        hashConstants(h);
        corxrt_teardown();
        hashConstants(h);
        fam.add("corxrt_startup again, then corxrt_teardown twice", h);
    }
}

// ---- golden file ------------------------------------------------------------------

constexpr int kHashesPerLine = 6;

void writeGolden(const char* path, const std::vector<Family>& families) {
    std::ofstream out(path);
    out << "# Conformance digests: the bits of every result of the fixed battery in\n"
           "# tests/conformance/conformance.cpp. Regenerate with: conformance --write <this file>\n"
           "# family <name> <digest> <cases>, then its per-case hashes, "
        << kHashesPerLine << " a line.\n";
    char buf[40];
    for (const Family& f : families) {
        std::snprintf(buf, sizeof buf, "%016" PRIx64, f.digest());
        out << "family " << f.name << ' ' << buf << ' ' << f.cases.size() << '\n';
        for (std::size_t i = 0; i < f.cases.size(); ++i) {
            if (i % kHashesPerLine == 0) out << "cases";
            std::snprintf(buf, sizeof buf, " %016" PRIx64, f.cases[i].hash);
            out << buf;
            if (i % kHashesPerLine == kHashesPerLine - 1 || i + 1 == f.cases.size()) out << '\n';
        }
    }
}

struct GoldenFamily {
    std::uint64_t digest = 0;
    std::size_t count = 0;
    std::vector<std::uint64_t> cases;
};

bool readGolden(const char* path, std::map<std::string, GoldenFamily>& golden, std::vector<std::string>& order) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line, current;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string tag;
        ls >> tag;
        if (tag == "family") {
            GoldenFamily g;
            std::string hex;
            ls >> current >> hex >> g.count;
            g.digest = std::stoull(hex, nullptr, 16);
            golden[current] = g;
            order.push_back(current);
        } else if (tag == "cases") {
            std::string hex;
            while (ls >> hex) golden[current].cases.push_back(std::stoull(hex, nullptr, 16));
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool write = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--write") == 0) {
            write = true;
        } else if (std::strcmp(argv[i], "--hostile") == 0) {
            gHostile = true;
        } else if (std::strncmp(argv[i], "--hostile=", 10) == 0) {
            gHostile = true;
            gHostileKind = argv[i] + 10;
        } else if (std::strncmp(argv[i], "--executor=", 11) == 0) {
            gExecutorKind = argv[i] + 11;
        } else if (std::strcmp(argv[i], "--isa") == 0) {
            std::printf("%s\n", corx_internal::isaName(corx_internal::activeIsa()));
            return 0;
        } else {
            path = argv[i];
        }
    }
    if (path == nullptr) {
        std::fprintf(stderr,
                     "usage: %s [--write | --hostile[=all|upward|downward|towardzero|ftz|daz|x87]] "
                     "[--executor=reverse|threads] GOLDEN | --isa\n",
                     argv[0]);
        return 2;
    }
    if (gExecutorKind != nullptr && std::strcmp(gExecutorKind, "reverse") != 0 &&
        std::strcmp(gExecutorKind, "threads") != 0) {
        std::fprintf(stderr, "unknown executor: %s\n", gExecutorKind);
        return 2;
    }
    const std::string kind = gHostileKind;
    if (gHostile && kind != "all" && kind != "upward" && kind != "downward" && kind != "towardzero" &&
        kind != "ftz" && kind != "daz" && kind != "x87") {
        std::fprintf(stderr, "unknown hostile environment: %s\n", gHostileKind);
        return 2;
    }
    if (gHostile && !hostileKindAvailable(gHostileKind)) {
        std::printf("hostile environment %s: not on this target, skipped\n", gHostileKind);
        return 77;
    }
    // The program's own arithmetic (its inputs) needs the default
    // environment; a program started in another one was linked with
    // start-up code that changed it.
    gProgramEnv = fe::read();
#if defined(CORX_X87_CONTROL)
    const bool programX87Default = fe::x87::isDefault(fe::x87::read());
#else
    const bool programX87Default = true;
#endif
    if (!fe::isDefault(gProgramEnv) || !programX87Default) {
        std::printf("FAIL: the program started in a floating-point environment other than the default "
                    "(linked with -ffast-math start-up code?)\n");
        return 1;
    }
    bool hostileDiffers = gHostile && !fe::isDefault(setHostile());
#if defined(CORX_X87_CONTROL)
    hostileDiffers = hostileDiffers || (gHostile && !fe::x87::isDefault(gX87Set));
#endif
    if (gHostile && !hostileDiffers) {
        std::printf("FAIL: this target has no floating-point environment other than the default\n");
        return 1;
    }
    fe::write(gProgramEnv);
    std::fesetround(FE_TONEAREST);
    restoreX87();
    std::feclearexcept(FE_ALL_EXCEPT);

    if (gExecutorKind != nullptr && !installExecutor(gExecutorKind)) {
        std::printf("FAIL: corx_set_executor refused the executor\n");
        return 1;
    }

    std::vector<Family> families;
    auto family = [&](const char* name) -> Family& {
        families.push_back(Family{name, {}});
        return families.back();
    };
    Rng rng(0x636F72782D646967ULL);
    lifecycleFamily(family("lifecycle"));
    handlesFamily(family("handles"), rng);
    arithmeticFamily(family("arithmetic"), rng);
    determinantFamily(family("determinant"), rng);
    solveFamily(family("solve"), rng);
    choleskyFamily(family("cholesky"), rng);
    qrFamily(family("qr"), rng);
    svdFamily(family("svd"), rng);
    sparseFamily(family("sparse"), rng);
    vectorFamily(family("vectors"), rng);
    limbFamily(family("limbs"), rng);
    solveManyFamily(family("solve_many"), rng);
    tilesFamily(family("tiles"), rng);
    constantsFamily(family("constants"));
    sparseCsrFamily(family("sparse_from_csr"), rng);
    solveStackFamily(family("solve_stack"), rng);

    std::printf("instruction-set path: %s\n", corx_internal::isaName(corx_internal::activeIsa()));
    if (gQuietedReturns != 0) {
        std::printf("note: %d signalling NaNs came back from corx_matrix_get quieted by the x87 return "
                    "convention of this target, and were taken as the stored value\n",
                    gQuietedReturns);
    }
    const long splits = gExecutorCalls.load();
    if (gExecutorKind != nullptr) {
        std::printf("executor %s (width %d): %ld calls split\n", gExecutorKind, kExecutorWidth, splits);
    } else {
        std::printf("threads: %d\n", corx_get_threads());
    }
    if (gHostile && gEnvFailures == 0) {
        std::printf("hostile caller (%s): every call gave its environment back\n", gHostileKind);
    }
    // Reported before the digests, which are still compared: together they
    // show what moved.
    if (gEnvFailures != 0) {
        std::printf("FAIL: %d calls changed the caller's floating-point environment\n", gEnvFailures);
    }
    if (gCopyFailures != 0) {
        std::printf("FAIL: %d copies changed the bits of their input\n", gCopyFailures);
    }
    // An executor that no call used shows nothing.
    if (gExecutorKind != nullptr && splits == 0) {
        std::printf("FAIL: no call split its work (set CORX_SPLIT_SMALL=1)\n");
    }
    const bool broken = gEnvFailures != 0 || gCopyFailures != 0 || (gExecutorKind != nullptr && splits == 0);
    if (write && broken) return 1;
    if (write) {
        writeGolden(path, families);
        std::printf("wrote %s\n", path);
        return 0;
    }

    std::map<std::string, GoldenFamily> golden;
    std::vector<std::string> order;
    if (!readGolden(path, golden, order)) {
        std::printf("FAIL: cannot read %s\n", path);
        return 1;
    }
    int failed = 0;
    std::size_t total = 0;
    for (const Family& f : families) {
        total += f.cases.size();
        const auto it = golden.find(f.name);
        if (it == golden.end()) {
            std::printf("FAIL %-12s not in the golden file\n", f.name.c_str());
            ++failed;
            continue;
        }
        const GoldenFamily& g = it->second;
        if (g.digest == f.digest() && g.count == f.cases.size()) {
            std::printf("ok   %-12s %016" PRIx64 " (%zu cases)\n", f.name.c_str(), f.digest(), f.cases.size());
            continue;
        }
        ++failed;
        std::size_t i = 0;
        while (i < f.cases.size() && i < g.cases.size() && f.cases[i].hash == g.cases[i]) ++i;
        if (i < f.cases.size()) {
            std::printf("FAIL %-12s %016" PRIx64 ", golden %016" PRIx64 ": first differing case #%zu: %s\n",
                        f.name.c_str(), f.digest(), g.digest, i, f.cases[i].what.c_str());
        } else {
            std::printf("FAIL %-12s %zu cases, golden has %zu\n", f.name.c_str(), f.cases.size(), g.count);
        }
    }
    for (const std::string& name : order) {
        bool known = false;
        for (const Family& f : families) known = known || f.name == name;
        if (!known) {
            std::printf("FAIL %-12s in the golden file but not computed\n", name.c_str());
            ++failed;
        }
    }
    if (failed != 0) {
        std::printf("FAIL: %d of %zu families differ\n", failed, families.size());
        return 1;
    }
    if (broken) return 1;
    std::printf("all %zu families (%zu cases) match\n", families.size(), total);
    return 0;
}
