#include "rpc/share.h"

share_verdict share_decide(const share_state& s) {
    // At its share, a client makes room only among its own entries: another
    // client's idle entry is never taken for one that already has its part.
    if (s.per_client && s.of_client >= s.per_client)
        return s.idle_of_client ? share_verdict::reclaim_own : share_verdict::refuse;
    if (s.size && s.in_use >= s.size) return s.idle ? share_verdict::reclaim_any : share_verdict::refuse;
    return share_verdict::admit;
}

uint32_t share_of(uint32_t size, uint32_t divisor) {
    const uint32_t part = divisor ? size / divisor : size;
    return part ? part : 1;
}
