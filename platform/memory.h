// Blocks that go back to the system when freed, and trimming of the heap.
#pragma once
#include <cstddef>

// A block of `size` bytes, null when there is no memory. Large blocks come
// straight from the system's pages, so freeing one returns its memory at once
// instead of leaving it in the C library's heap.
void* memory_block_alloc(size_t size);
void memory_block_free(void* block, size_t size);   // size as allocated; null is ignored

// Gives free memory of the heap back to the system (after many frees).
void heap_trim();
