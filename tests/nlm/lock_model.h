/* What lock owners hold, as their replies tell: per file and owner, bytes
 * 0..63 free, shared or exclusive. Ranges begin below 64, so two that overlap
 * at all overlap there. C, for the table's unit test and the stress client
 * that works the server over the wire. */
#ifndef TESTS_NLM_LOCK_MODEL_H
#define TESTS_NLM_LOCK_MODEL_H

#include <stdint.h>

enum { MODEL_FILES = 4, MODEL_OWNERS = 8, MODEL_BYTES = 64 };
enum { MODEL_FREE = 0, MODEL_SHARED = 1, MODEL_EXCLUSIVE = 2 };

struct lock_model {
    uint8_t held[MODEL_FILES][MODEL_OWNERS][MODEL_BYTES];
};

/* Sets (or, with lower, lowers to at most v) an owner's bytes [off, end). */
static inline void model_set(struct lock_model *m, int f, int o, uint64_t off, uint64_t end, uint8_t v, int lower) {
    for (uint64_t b = off; b < end && b < MODEL_BYTES; ++b)
        if (!lower || m->held[f][o][b] > v) m->held[f][o][b] = v;
}

/* The first other owner whose bytes in [off, end) a lock of this kind
 * conflicts with; -1 when none does. */
static inline int model_conflict(const struct lock_model *m, int f, int o, uint64_t off, uint64_t end, int exclusive) {
    for (int other = 0; other < MODEL_OWNERS; ++other)
        for (uint64_t b = off; other != o && b < end && b < MODEL_BYTES; ++b)
            if (m->held[f][other][b] == MODEL_EXCLUSIVE || (exclusive && m->held[f][other][b] != MODEL_FREE))
                return other;
    return -1;
}

#endif
