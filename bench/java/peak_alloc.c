/*
 * Preloaded into a JVM by the memory benchmark: counts the bytes held in
 * large heap blocks (1 MiB or more) and prints the peak at exit. Only large
 * blocks are counted so that the JVM's many small allocations do not drown
 * out the buffers of one model load.
 */
#define _GNU_SOURCE
#include <malloc.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void __libc_free(void*);

enum { kLargeBlock = 1 << 20 };

static atomic_llong current;
static atomic_llong peak;

static void count_in(void* block) {
    if (block == NULL) return;
    size_t size = malloc_usable_size(block);
    if (size < kLargeBlock) return;
    long long now = atomic_fetch_add(&current, (long long)size) + (long long)size;
    long long seen = atomic_load(&peak);
    while (now > seen && !atomic_compare_exchange_weak(&peak, &seen, now)) {
    }
}

static void count_out(void* block) {
    if (block == NULL) return;
    size_t size = malloc_usable_size(block);
    if (size >= kLargeBlock) atomic_fetch_sub(&current, (long long)size);
}

void* malloc(size_t size) {
    void* block = __libc_malloc(size);
    count_in(block);
    return block;
}

void* calloc(size_t count, size_t size) {
    void* block = __libc_calloc(count, size);
    count_in(block);
    return block;
}

void* realloc(void* old, size_t size) {
    count_out(old);
    void* block = __libc_realloc(old, size);
    if (block == NULL && old != NULL && size != 0) {
        count_in(old); /* the old block is still there */
        return NULL;
    }
    count_in(block);
    return block;
}

void free(void* block) {
    count_out(block);
    __libc_free(block);
}

__attribute__((destructor)) static void report(void) {
    fprintf(stderr, "peak bytes in large native blocks: %lld\n", (long long)atomic_load(&peak));
}
