// The portmapper's registration table: (program, version, protocol) -> port,
// a singly linked list in registration order. Every function takes the table
// lock, so connection threads and the serving loop may call them at once.
#pragma once
#include <cstddef>
#include <cstdint>

struct pmap_entry {
    uint32_t program, version, protocol, port;
    pmap_entry* next;
};

// A copy of one mapping, as DUMP and the forwarder see it.
struct pmap_mapping {
    uint32_t program, version, protocol, port;
};

// Ports at or below this belong to the system and cannot be registered by
// SET nor withdrawn by UNSET.
constexpr uint32_t PMAP_RESERVED_PORT_MAX = 1024;
// Registrations kept at most; a local caller cannot grow the table without end.
constexpr size_t PMAP_TABLE_MAX = 1024;
// DUMP stops once this many bytes of entries (20 each) have been written: 26 entries.
constexpr size_t PMAP_DUMP_BYTES = 512;
constexpr size_t PMAP_DUMP_MAX = (PMAP_DUMP_BYTES + 19) / 20;

// Empties the table and puts back the portmapper's own two mappings: TCP
// first, then UDP, both on port 111.
void pmap_table_reset();
// Frees every entry.
void pmap_table_clear();

// SET: appends a new mapping at the tail (true), or answers whether an
// existing mapping of the triple already has this port (nothing is changed).
// False also when the entry cannot be allocated or the table is full.
bool pmap_table_set(uint32_t program, uint32_t version, uint32_t protocol, uint32_t port);
// UNSET: removes the first mapping of (program, version), whatever its
// protocol, unless the program is the portmapper's own. A mapping on a
// reserved port stops the search with false.
bool pmap_table_unset(uint32_t program, uint32_t version);
// GETPORT: the port of exactly this triple, or 0.
uint32_t pmap_table_getport(uint32_t program, uint32_t version, uint32_t protocol);
// DUMP: copies the first mappings in table order, at most `max` of them.
size_t pmap_table_dump(pmap_mapping* out, size_t max);
// The UDP mapping a forwarded call goes to: the one with this version, else
// the last UDP mapping of the program. False when there is none.
bool pmap_table_forward_target(uint32_t program, uint32_t version, pmap_mapping* out);
// Number of mappings.
size_t pmap_table_size();
