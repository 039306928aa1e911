/* An allocator shim for test_allocation_failures.py, preloaded into a child
 * interpreter (LD_PRELOAD, with PYTHONMALLOC=malloc so that Python's objects
 * come from malloc too). It counts the blocks in use, counts allocations,
 * and can make exactly one chosen allocation fail.
 *
 * Allocations are numbered from the last call of shim_fail_at: with n > 0
 * the n-th one fails (once) and the shim then counts on; with 0 none fails.
 * The child runs a single thread, so plain counters do. */
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* block, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void* block);

static long made;       /* allocations since shim_fail_at */
static long failing;    /* the one to fail, or 0 */
static long in_use;     /* blocks allocated and not yet freed */

void shim_fail_at(long n) {
    made = 0;
    failing = n;
}

void shim_disarm(void) { failing = 0; }

long shim_allocations(void) { return made; }

long shim_blocks_in_use(void) { return in_use; }

/* Whether this allocation is the one to fail. */
static int refuse(void) {
    ++made;
    if (failing == 0 || made != failing) return 0;
    failing = 0;
    errno = ENOMEM;
    return 1;
}

static void* counted(void* block) {
    if (block) ++in_use;
    return block;
}

void* malloc(size_t size) { return refuse() ? NULL : counted(__libc_malloc(size)); }

void* calloc(size_t count, size_t size) {
    return refuse() ? NULL : counted(__libc_calloc(count, size));
}

void* realloc(void* block, size_t size) {
    if (!block) return malloc(size);
    if (size == 0) {
        free(block);
        return NULL;
    }
    return refuse() ? NULL : __libc_realloc(block, size);
}

void* memalign(size_t alignment, size_t size) {
    return refuse() ? NULL : counted(__libc_memalign(alignment, size));
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
    void* block = memalign(alignment, size);
    if (!block) return ENOMEM;
    *out = block;
    return 0;
}

void free(void* block) {
    if (!block) return;
    --in_use;
    __libc_free(block);
}
