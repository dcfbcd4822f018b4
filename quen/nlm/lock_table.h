// The lock table: 256 slots shared by every file and client, each a granted
// byte range or a queued request of one owner. Ranges follow POSIX: an
// owner's locks on a file never overlap each other, a new lock replaces or
// merges with the owner's own ranges, and an unlock frees exactly the range
// it names. The table knows files only by an opaque reference; what it does
// to the file itself goes through lock_hooks.
//
// Every byte a granted slot holds, shared or exclusive, also lies in an
// exclusive lock on the file's handle, so that other programs on the server
// keep out while the server's own handle still reads and writes: between NFS
// clients the slots alone decide, and a Windows shared lock would bar even
// that handle from writing. Windows neither cuts nor merges a lock, and its
// exclusive locks never overlap, so the handle's locks are disjoint pieces
// over the held bytes: bytes newly held get pieces of what no piece covers
// yet (taken before anything is lifted), and a piece is kept whole while any
// byte of it is held, lifted when none is: a trim, split or merge never
// leaves a held byte unlocked, at the price of freed bytes staying out of
// other programs' reach until the rest of their piece goes.
//
// Callers hold the file's per-file section around every call on that file;
// the table guards its slots with a lock of its own, taken after it.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr int kLockSlots = 256;
// One host's part of the slots and of the handles' locks: an eighth, so that
// a few hosts (over UDP a source address costs nothing) leave room for the
// rest. Neither a granted lock nor a queued request is ever dropped to make
// room: a host past its part, or a full table, is refused.
inline constexpr int kLockShareDivisor = 8;
inline constexpr int kLockSlotsPerClient = kLockSlots / kLockShareDivisor;
inline constexpr int kHandleLocks = 2 * kLockSlots;          // the handles' locks, of all files
inline constexpr int kHandleLocksPerClient = kHandleLocks / kLockShareDivisor;
inline constexpr uint32_t kNlmNetobjMax = 1023;   // cookies, owner handles, FREE_ALL names
inline constexpr uint32_t kNlmCallerMax = 1022;   // caller names
inline constexpr uint32_t kNlmAuthMax = 400;
inline constexpr uint64_t kRangeEnd = ~uint64_t(0);   // the end of a range of length 0

// Status numbers of the protocol (version 4 names them all; versions 1 and
// 3 only the first five).
enum : uint32_t {
    NLM_GRANTED = 0,
    NLM_DENIED = 1,
    NLM_DENIED_NOLOCKS = 2,
    NLM_BLOCKED = 3,
    NLM_ROFS = 6,
    NLM_STALE_FH = 7,
    NLM_FBIG = 8,
    NLM_FAILED = 9,
};

// Who holds a lock: the sending host, the caller name, the process (svid)
// and the owner handle, all four.
struct lock_owner {
    uint32_t client;   // IPv4 address, network order
    uint32_t svid;
    uint32_t name_len;
    uint32_t handle_len;
    char name[kNlmCallerMax + 2];
    uint8_t handle[kNlmNetobjMax + 1];
};
bool same_owner(const lock_owner& a, const lock_owner& b);

// What the call that grants a queued request later carries back.
struct lock_context {
    uint32_t version;
    uint32_t fh_len;
    uint8_t fh[32];
    uint32_t cred_flavor;
    uint8_t cred[4 + kNlmAuthMax];   // length word, then the body
};

struct lock_slot {
    const void* file;      // null: free
    uint64_t offset;
    uint64_t end;          // kRangeEnd: to the end of any file
    bool exclusive;
    bool queued;           // a blocked request waiting for its grant
    uint32_t arrival;      // order of queued requests
    lock_owner owner;
    lock_context context;  // of a queued request
};

struct lock_hooks {
    // An exclusive byte-range lock on the file's handle, taken without
    // waiting, and lifted (exactly that range): 0 or the Win32 error.
    uint32_t (*os_lock)(const void* file, uint64_t offset, uint64_t length);
    uint32_t (*os_unlock)(const void* file, uint32_t svid, uint64_t offset, uint64_t length);
    // The file's count of slots (granted and queued) changes by delta.
    void (*count)(const void* file, int delta);
    // A queued request was granted. Called under the table lock: it may only
    // hand the call to a sender, never wait on the network.
    void (*granted)(const lock_slot& slot);
    // Optional. Whether `granted` could carry a grant to the client now; a
    // request that finds no room stays queued (its client's next LOCK of it
    // is granted in the reply).
    bool (*grant_room)(uint32_t client);
    // Optional. Locks of the client (0: any) and svid (null: any) on the file
    // in [offset, end) went.
    void (*released)(const void* file, uint32_t client, const uint32_t* svid, uint64_t offset, uint64_t end);
};

struct lock_request {
    const void* file;
    const lock_owner* owner;
    uint64_t offset;
    uint64_t length;   // 0: to the end
    bool exclusive;
    bool block;
    const lock_context* context;   // kept with a queued request
};

struct lock_holder {
    uint32_t svid;
    bool exclusive;
    uint64_t offset;
    uint64_t length;   // 0: to the end
};

uint64_t range_end(uint64_t offset, uint64_t length);

// Empties the table and installs the hooks (kept by pointer).
void lock_table_init(const lock_hooks* hooks);
// NLM_GRANTED, or NLM_DENIED with the first conflicting lock of another owner.
uint32_t lock_test(const void* file, const lock_owner& owner, uint64_t offset, uint64_t length, bool exclusive,
                   lock_holder* holder);
// GRANTED, DENIED (conflict without block, or the handle's lock refused),
// BLOCKED (queued) or DENIED_NOLOCKS (no slot or handle lock for it). What
// is refused changes nothing.
uint32_t lock_acquire(const lock_request& r);
// Frees the owner's locks inside the range (trimming or splitting the ones
// that reach beyond it), then grants what no longer conflicts. DENIED_NOLOCKS
// when a split finds no free slot: nothing changes then (the handle's locks
// need nothing new, as what stays held is already locked).
uint32_t lock_release(const void* file, const lock_owner& owner, uint64_t offset, uint64_t length);
// Withdraws the owner's queued request for exactly this range; GRANTED either way.
uint32_t lock_cancel(const void* file, const lock_owner& owner, uint64_t offset, uint64_t length);
// The file is closed: every slot of it goes, nothing is granted.
void lock_release_file(const void* file);
// FREE_ALL: the distinct files on which a client (address and caller name)
// holds slots, at most max of them; then, per file, freeing them all.
int lock_client_files(uint32_t client, const char* name, uint32_t name_len, const void** files, int max);
void lock_free_client_file(const void* file, uint32_t client, const char* name, uint32_t name_len);

// For tests and the status view.
int lock_slots_used();
// Copies the slots of a file (granted ones or queued ones) in slot order.
int lock_slots_of(const void* file, bool queued, lock_slot* out, int max);
