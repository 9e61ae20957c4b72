/* SPDX-License-Identifier: BSD-3-Clause */
/* An allocator shim for LD_PRELOAD that makes chosen allocations fail, for
 * the out-of-memory tests of a host that loads the library (the library's
 * allocations, the C++ runtime's included, go through malloc):
 *
 *   CORX_FAIL_AT_LEAST=B  every request of at least B bytes fails, from the
 *                         start of the process (so also while the library is
 *                         loaded and its runtime sets up its reserves)
 *   CORX_FAIL_FROM=K      once the host has called
 *                         corx_test_arm_allocation_failures(), the K-th
 *                         request from then on and every later one fails
 *
 * Requests are malloc, calloc, realloc (growing or not), aligned_alloc,
 * posix_memalign, memalign, valloc and pvalloc; free is left alone. */
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);

static int gArmed = 0;
static unsigned long gCount = 0;

void corx_test_arm_allocation_failures(void) {
    gArmed = 1;
    gCount = 0;
}

static unsigned long setting(const char* name) {
    /* getenv and strtoul do not allocate. */
    const char* text = getenv(name);
    return text == NULL ? 0 : strtoul(text, NULL, 10);
}

static int refuse(size_t size) {
    const unsigned long atLeast = setting("CORX_FAIL_AT_LEAST");
    if (atLeast != 0 && size >= atLeast) return 1;
    if (!gArmed) return 0;
    const unsigned long from = setting("CORX_FAIL_FROM");
    return from != 0 && ++gCount >= from;
}

void* malloc(size_t size) {
    if (refuse(size)) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    size_t total;
    if (__builtin_mul_overflow(count, size, &total) || refuse(total)) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_calloc(count, size);
}

void* realloc(void* p, size_t size) {
    if (refuse(size)) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_realloc(p, size);
}

void* memalign(size_t alignment, size_t size) {
    if (refuse(size)) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

void* valloc(size_t size) { return memalign(4096, size); }

void* pvalloc(size_t size) { return memalign(4096, (size + 4095) & ~(size_t)4095); }

int posix_memalign(void** out, size_t alignment, size_t size) {
    void* p = memalign(alignment, size);
    if (p == NULL) return ENOMEM;
    *out = p;
    return 0;
}
