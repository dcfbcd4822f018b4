// Names in records: up to 16 bytes inline, else 12 inline and the rest in a
// chain of 28-byte continuation blocks.
#include "quen/inode/inode_tree_internal.h"

#include <cstring>

namespace {

uint32_t first_block(const inode_record* r) {
    uint32_t b = 0;
    std::memcpy(&b, r->name, 4);
    return b;
}

inode_record* raw(uint32_t offset) { return reinterpret_cast<inode_record*>(block_at(offset)); }

uint8_t fold(uint8_t c) { return c >= 'A' && c <= 'Z' ? uint8_t(c + 32) : c; }

}  // namespace

uint32_t read_name(const inode_record* r, char* out) {
    const uint32_t length = r->name_length > kNameMax ? kNameMax : r->name_length;
    if (length <= kNameInline) {
        std::memcpy(out, r->name, length);
        out[length] = 0;
        return length;
    }
    std::memcpy(out, r->name + 4, kNameFirstPart);
    uint32_t got = kNameFirstPart;
    uint32_t b = first_block(r);
    for (uint32_t i = 0; got < length && i < name_blocks_for(kNameMax); ++i) {
        const name_block* nb = block_at(b);
        if (!nb) break;   // a broken chain gives what it holds
        const uint32_t here = length - got < kNameBlockBytes ? length - got : kNameBlockBytes;
        std::memcpy(out + got, nb->bytes, here);
        got += here;
        b = nb->next;
    }
    out[got] = 0;
    return got;
}

uint32_t name_hash(uint32_t dir, const char* name, size_t length) {
    uint32_t h = (2166136261u ^ dir) * 16777619u;  // FNV-1a over the folded bytes
    for (size_t i = 0; i < length; ++i) h = (h ^ fold(uint8_t(name[i]))) * 16777619u;
    return h;
}

// ASCII letters fold; other bytes compare by value. The order is on disk
// (lookups stop early on it), so it must not depend on a locale.
int compare_names(const char* a, size_t a_length, const char* b, size_t b_length) {
    const size_t n = a_length < b_length ? a_length : b_length;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t x = fold(uint8_t(a[i])), y = fold(uint8_t(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a_length == b_length ? 0 : (a_length < b_length ? -1 : 1);
}

// A 0xFF byte is never part of UTF-8, and refusing it keeps every name
// block from looking like a record (its byte 8 is a name byte).
bool name_storable(const char* name, size_t length) {
    return length > 0 && std::memchr(name, 0xFF, length) == nullptr;
}

bool store_name(uint32_t record, const char* name, uint32_t length) {
    if (length > kNameMax) length = kNameMax;
    const uint32_t needed = name_blocks_for(length);
    uint32_t chain[name_blocks_for(kNameMax)] = {};
    for (uint32_t i = 0; i < needed; ++i) {
        chain[i] = block_alloc(kBlockSize);
        if (!chain[i]) {
            for (uint32_t k = 0; k < i; ++k) block_free(chain[k]);
            return false;
        }
    }
    for (uint32_t i = 0; i < needed; ++i) {   // the view may have moved: addresses only now
        name_block* nb = block_at(chain[i]);
        const uint32_t from = kNameFirstPart + i * kNameBlockBytes;
        const uint32_t here = length - from < kNameBlockBytes ? length - from : kNameBlockBytes;
        std::memcpy(nb->bytes, name + from, here);
        nb->next = i + 1 < needed ? chain[i + 1] : 0;
    }
    inode_record* r = raw(record);
    const uint32_t old_chain = r->name_length > kNameInline ? first_block(r) : 0;
    uint8_t inline_bytes[16] = {};
    if (needed == 0) {
        std::memcpy(inline_bytes, name, length);
    } else {
        std::memcpy(inline_bytes, &chain[0], 4);
        std::memcpy(inline_bytes + 4, name, kNameFirstPart);
    }
    std::atomic_signal_fence(std::memory_order_release);
    std::memcpy(r->name, inline_bytes, 16);
    r->name_length = uint16_t(length);
    for (uint32_t b = old_chain, i = 0; b != 0 && i < name_blocks_for(kNameMax); ++i) {
        name_block* nb = block_at(b);
        if (!nb) break;
        const uint32_t next = nb->next;
        block_free(b);
        b = next;
    }
    return true;
}

void free_name_chain(uint32_t record) {
    inode_record* r = raw(record);
    if (!r || r->name_length <= kNameInline) return;
    uint32_t b = first_block(r);
    const uint32_t count = name_blocks_for(r->name_length > kNameMax ? kNameMax : r->name_length);
    std::memset(r->name, 0, 4);
    r->name_length = 0;
    for (uint32_t i = 0; b != 0 && i < count; ++i) {
        name_block* nb = block_at(b);
        if (!nb) break;
        const uint32_t next = nb->next;
        block_free(b);
        b = next;
    }
}
