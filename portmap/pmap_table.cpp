#include "portmap/pmap_table.h"

#include <new>

#include "platform/thread.h"
#include "rpc/message.h"
#include "rpc/transport.h"

namespace {

struct table {
    crit_section lock;   // the list and its count
    pmap_entry* head = nullptr;
    size_t count = 0;

    table() { crit_init(&lock); }
};

// Made on first use: the built-in copy may start before any static
// constructor order could be relied on.
table& the_table() {
    static table t;
    return t;
}

pmap_entry** tail_link(table& t) {
    pmap_entry** link = &t.head;
    while (*link) link = &(*link)->next;
    return link;
}

void free_entries(table& t) {
    for (pmap_entry* e = t.head; e;) {
        pmap_entry* next = e->next;
        delete e;
        e = next;
    }
    t.head = nullptr;
    t.count = 0;
}

bool push_front(table& t, uint32_t program, uint32_t version, uint32_t protocol, uint32_t port) {
    auto* e = new (std::nothrow) pmap_entry{program, version, protocol, port, t.head};
    if (!e) return false;
    t.head = e;
    ++t.count;
    return true;
}

}  // namespace

void pmap_table_reset() {
    table& t = the_table();
    crit_guard hold(&t.lock);
    free_entries(t);
    // Pushed at the head in this order, so the TCP mapping is listed first.
    push_front(t, PMAP_PROGRAM, PMAP_VERSION, RPC_UDP, PMAP_PORT);
    push_front(t, PMAP_PROGRAM, PMAP_VERSION, RPC_TCP, PMAP_PORT);
}

void pmap_table_clear() {
    table& t = the_table();
    crit_guard hold(&t.lock);
    free_entries(t);
}

bool pmap_table_set(uint32_t program, uint32_t version, uint32_t protocol, uint32_t port) {
    table& t = the_table();
    crit_guard hold(&t.lock);
    for (const pmap_entry* e = t.head; e; e = e->next)
        if (e->program == program && e->protocol == protocol && e->version == version) return e->port == port;
    if (t.count >= PMAP_TABLE_MAX) return false;
    auto* e = new (std::nothrow) pmap_entry{program, version, protocol, port, nullptr};
    if (!e) return false;
    *tail_link(t) = e;
    ++t.count;
    return true;
}

bool pmap_table_unset(uint32_t program, uint32_t version) {
    table& t = the_table();
    crit_guard hold(&t.lock);
    for (pmap_entry** link = &t.head; *link; link = &(*link)->next) {
        pmap_entry* e = *link;
        if (e->program == PMAP_PROGRAM || e->program != program || e->version != version) continue;
        if (e->port <= PMAP_RESERVED_PORT_MAX) return false;
        *link = e->next;
        delete e;
        --t.count;
        return true;
    }
    return false;
}

uint32_t pmap_table_getport(uint32_t program, uint32_t version, uint32_t protocol) {
    table& t = the_table();
    crit_guard hold(&t.lock);
    for (const pmap_entry* e = t.head; e; e = e->next)
        if (e->program == program && e->version == version && e->protocol == protocol) return e->port;
    return 0;
}

size_t pmap_table_dump(pmap_mapping* out, size_t max) {
    table& t = the_table();
    crit_guard hold(&t.lock);
    size_t n = 0;
    for (const pmap_entry* e = t.head; e && n < max; e = e->next)
        out[n++] = pmap_mapping{e->program, e->version, e->protocol, e->port};
    return n;
}

bool pmap_table_forward_target(uint32_t program, uint32_t version, pmap_mapping* out) {
    table& t = the_table();
    crit_guard hold(&t.lock);
    const pmap_entry* other = nullptr;
    for (const pmap_entry* e = t.head; e; e = e->next) {
        if (e->program != program || e->protocol != RPC_UDP) continue;
        if (e->version == version) {
            other = e;
            break;
        }
        other = e;   // the last one of another version, unless the version turns up
    }
    if (!other) return false;
    *out = pmap_mapping{other->program, other->version, other->protocol, other->port};
    return true;
}

size_t pmap_table_size() {
    table& t = the_table();
    crit_guard hold(&t.lock);
    return t.count;
}
