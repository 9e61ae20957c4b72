/* SPDX-License-Identifier: BSD-3-Clause */
// Runs a piece of code in a forked child process and collects how it ended
// and what it wrote, for paths that end the process (signals, fatal
// reports, memory exhaustion).
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace corx_test {

struct ChildOutcome {
    bool exited = false;
    int exitCode = -1;
    bool signaled = false;
    int signal = 0;
    std::string out;  // standard output
    std::string err;  // standard error
};

inline std::string drain(int fd) {
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

// Runs body in a child; if body returns, the child exits with status 0.
// addressSpaceLimit, when non-zero, caps the child's virtual memory.
inline ChildOutcome runInChild(const std::function<void()>& body, rlim_t addressSpaceLimit = 0) {
    std::fflush(nullptr);
    int outPipe[2], errPipe[2];
    if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) std::abort();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        if (addressSpaceLimit != 0) {
            struct rlimit limit = {addressSpaceLimit, addressSpaceLimit};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        body();
        std::fflush(nullptr);
        ::_exit(0);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    ChildOutcome outcome;
    // Outputs are small; read them one after the other.
    outcome.out = drain(outPipe[0]);
    outcome.err = drain(errPipe[0]);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) {
        outcome.exited = true;
        outcome.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        outcome.signaled = true;
        outcome.signal = WTERMSIG(status);
    }
    return outcome;
}

// Bytes the calling process has mapped now (/proc/self/statm).
inline std::size_t mappedBytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (f == nullptr || std::fscanf(f, "%lu", &pages) != 1) std::abort();
    std::fclose(f);
    return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Caps the calling process's address space at what is mapped now plus
// headroom.
inline void capAddressSpace(std::size_t headroom) {
    const rlim_t limit = mappedBytes() + headroom;
    struct rlimit r = {limit, limit};
    if (::setrlimit(RLIMIT_AS, &r) != 0) std::abort();
}

// Runs a program in a child: args[0] is its path. Each entry of env
// ("NAME=value") is added to its environment. SIGPIPE starts at its default
// disposition and SIGINT too, or ignored when ignoreSigint is set (as a
// shell starts a background job). Exit status 127: the exec failed.
inline ChildOutcome runProgram(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                               bool ignoreSigint = false) {
    return runInChild([&] {
        for (const std::string& entry : env) ::putenv(const_cast<char*>(entry.c_str()));
        ::signal(SIGPIPE, SIG_DFL);
        ::signal(SIGINT, ignoreSigint ? SIG_IGN : SIG_DFL);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    });
}

}  // namespace corx_test

// True when the build runs under AddressSanitizer (which reserves far more
// address space than a small limit allows, and reports exhaustion itself).
#if defined(__SANITIZE_ADDRESS__)
#define CORX_TEST_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORX_TEST_UNDER_ASAN 1
#endif
#endif
#ifndef CORX_TEST_UNDER_ASAN
#define CORX_TEST_UNDER_ASAN 0
#endif
