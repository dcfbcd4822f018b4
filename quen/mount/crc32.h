// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320) as the export and
// mount identifiers use it: started from 0xFFFFFFFF and never complemented,
// so identifiers stay those of earlier runs.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kCrc32Start = 0xFFFFFFFFu;

// Continues crc over the bytes (four bits at a time with a 16-entry table).
uint32_t crc32_update(uint32_t crc, const void* data, size_t length);
