// The open handle a lock lives on: the file's read-write slot of the
// open-file cache, opened for the lock when the file is not there yet.
#pragma once
#include "quen/fs/open_cache.h"
#include "quen/fs/resolve.h"

#include <cstdint>

// Under the file's section. Result: the slot, or null with *status the lock
// manager's answer (NLM_ROFS, NLM_STALE_FH, NLM_FAILED, or NLM_DENIED_NOLOCKS
// when the cache cannot keep the handle: a lock without a handle would be
// no lock at all).
cache_slot* nlm_open_file(resolved_file& r, bool exclusive, uint32_t* status);
