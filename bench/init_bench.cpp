// SPDX-License-Identifier: BSD-3-Clause
// Times the first corx_init of a process, which runs the library's start-up
// and computes its six 256-bit constants (pi, 2·pi, pi/2, pi/4, 3·pi/4 and
// ln 2), against MPFR computing the same six constants at 256 bits.
//
// A start-up runs once per process, so every corx_init sample is taken in a
// fresh child process. MPFR is timed the same way (first computation in a
// fresh child), and also warm in this process with its constant cache
// cleared before each run.
//
// Usage: corx_init_bench [samples]   (default 31)
#include <corx/corx.h>
#include <gmp.h>
#include <mpfr.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t nanosSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

void mpfrSixConstants() {
    mpfr_t pi, twoPi, halfPi, quarterPi, threeQuarterPi, ln2;
    mpfr_inits2(256, pi, twoPi, halfPi, quarterPi, threeQuarterPi, ln2, static_cast<mpfr_ptr>(nullptr));
    mpfr_const_pi(pi, MPFR_RNDN);
    mpfr_mul_2ui(twoPi, pi, 1, MPFR_RNDN);
    mpfr_div_2ui(halfPi, pi, 1, MPFR_RNDN);
    mpfr_div_2ui(quarterPi, pi, 2, MPFR_RNDN);
    mpfr_add(threeQuarterPi, halfPi, quarterPi, MPFR_RNDN);
    mpfr_const_log2(ln2, MPFR_RNDN);
    mpfr_clears(pi, twoPi, halfPi, quarterPi, threeQuarterPi, ln2, static_cast<mpfr_ptr>(nullptr));
}

// Runs `body` once in a fresh child process and returns its duration.
template <class Body>
std::int64_t timeInChild(Body body) {
    int fds[2];
    if (::pipe(fds) != 0) std::abort();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const Clock::time_point start = Clock::now();
        body();
        const std::int64_t ns = nanosSince(start);
        if (::write(fds[1], &ns, sizeof ns) != sizeof ns) ::_exit(2);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::int64_t ns = -1;
    if (::read(fds[0], &ns, sizeof ns) != sizeof ns) ns = -1;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || ns < 0) {
        std::fprintf(stderr, "a timed child failed\n");
        std::exit(1);
    }
    return ns;
}

void report(const char* what, std::vector<std::int64_t> samples) {
    std::sort(samples.begin(), samples.end());
    const double us = 1e-3;
    std::printf("%-44s min %8.1f us   median %8.1f us   max %8.1f us   (%zu samples)\n", what,
                static_cast<double>(samples.front()) * us, static_cast<double>(samples[samples.size() / 2]) * us,
                static_cast<double>(samples.back()) * us, samples.size());
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::max(1, std::atoi(argv[1])) : 31;
    std::vector<std::int64_t> corxFirst, mpfrFirst, mpfrWarm;
    // Interleaved, so drifts of the machine touch both sides alike.
    for (int k = 0; k < samples; ++k) {
        corxFirst.push_back(timeInChild([] {
            if (corx_init() != 1) ::_exit(3);
        }));
        mpfrFirst.push_back(timeInChild([] { mpfrSixConstants(); }));
    }
    for (int k = 0; k < samples; ++k) {
        mpfr_free_cache();
        const Clock::time_point start = Clock::now();
        mpfrSixConstants();
        mpfrWarm.push_back(nanosSince(start));
    }
    std::printf("corx %s, MPFR %s, GMP %s\n", corx_version(), mpfr_get_version(), gmp_version);
    report("corx_init, first call (fresh process)", corxFirst);
    report("MPFR six constants, 256 bits (fresh process)", mpfrFirst);
    report("MPFR six constants, 256 bits (cache cleared)", mpfrWarm);
    return 0;
}
