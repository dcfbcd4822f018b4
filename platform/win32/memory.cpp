// Blocks from the process heap, which maps large blocks itself and gives
// them back to the system when they are freed.
#include "platform/memory.h"

#include <windows.h>

void* memory_block_alloc(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void memory_block_free(void* block, size_t) {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}

// Coalesces free blocks and decommits the large ones.
void heap_trim() { HeapCompact(GetProcessHeap(), 0); }
