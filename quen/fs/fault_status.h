// The guard around each file system operation and lock manager procedure:
// a processor fault during one (a bad pointer, an in-page error of a file
// or of the mapped inode table) ends that request with a status instead of
// ending the server. The guard leaves the per-file sections and table locks
// the operation held (platform/fault_guard.h); what the operation had
// half-changed stays as it was.
#pragma once
#include "platform/fault_guard.h"
#include "rpc/log.h"

// The result of operation(), or fallback when a processor fault ended it;
// log_line (unless null) is then logged as a diagnostic, at level 2.
template <class T, class F>
T guarded_status(const char* log_line, T fallback, F&& operation) {
    T result = fallback;
    if (!fault_guard([&] { result = operation(); })) return result;
    if (log_line) log_printf(2, "%s", log_line);
    return fallback;
}
