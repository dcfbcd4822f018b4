#include "quen/mount/crc32.h"

namespace {

// The CRC of each four-bit value under the reflected polynomial.
constexpr uint32_t kNibbleTable[16] = {
    0x00000000, 0x1DB71064, 0x3B6E20C8, 0x26D930AC, 0x76DC4190, 0x6B6B51F4, 0x4DB26158, 0x5005713C,
    0xEDB88320, 0xF00F9344, 0xD6D6A3E8, 0xCB61B38C, 0x9B64C2B0, 0x86D3D2D4, 0xA00AE278, 0xBDBDF21C,
};

}  // namespace

uint32_t crc32_update(uint32_t crc, const void* data, size_t length) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < length; ++i) {
        crc ^= p[i];
        crc = (crc >> 4) ^ kNibbleTable[crc & 0xF];
        crc = (crc >> 4) ^ kNibbleTable[crc & 0xF];
    }
    return crc;
}
