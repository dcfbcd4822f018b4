#include "quen/control/control_refs.h"

namespace {

// Low 5 bits: slot + 1 (never 0); the rest: the generation of the slot's use.
constexpr uint32_t kSlotBits = 5;
static_assert(kControlRefSlots < (1u << kSlotBits));
constexpr uint32_t kGenerationMax = (1u << (32 - kSlotBits)) - 1;

int slot_of(const control_ref_table& t, uint32_t ref) {
    const uint32_t slot = (ref & ((1u << kSlotBits) - 1)) - 1;
    if (slot >= kControlRefSlots || !t.object[slot] || t.generation[slot] != ref >> kSlotBits) return -1;
    return int(slot);
}

}  // namespace

uint32_t control_ref_add(control_ref_table& t, void* object) {
    if (!object) return 0;
    for (uint32_t i = 0; i < kControlRefSlots; ++i) {
        if (t.object[i]) continue;
        const uint32_t g = t.next_generation;
        t.next_generation = g >= kGenerationMax ? 1 : g + 1;
        t.object[i] = object;
        t.generation[i] = g;
        return g << kSlotBits | (i + 1);
    }
    return 0;
}

void* control_ref_get(const control_ref_table& t, uint32_t ref) {
    const int s = slot_of(t, ref);
    return s < 0 ? nullptr : t.object[s];
}

void* control_ref_take(control_ref_table& t, uint32_t ref) {
    const int s = slot_of(t, ref);
    if (s < 0) return nullptr;
    void* o = t.object[s];
    t.object[s] = nullptr;
    return o;
}
