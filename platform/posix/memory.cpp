// Blocks from mmap above a threshold, the C library's heap below it.
#include "platform/memory.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cstdlib>

namespace {

// The C library maps blocks this large itself only until the first is freed:
// then it raises its threshold and keeps later ones in the heap, where a wave
// of freed buffers stays resident.
constexpr size_t kPagesFrom = 64 * 1024;

}  // namespace

void* memory_block_alloc(size_t size) {
    if (size < kPagesFrom) return std::malloc(size);
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void memory_block_free(void* block, size_t size) {
    if (!block) return;
    if (size < kPagesFrom)
        std::free(block);
    else
        munmap(block, size);
}

void heap_trim() { malloc_trim(0); }
