#include "quen/control/control_server.h"

#include "control_client/control_protocol.h"
#include "platform/pipe.h"
#include "platform/thread.h"
#include "quen/config/registry_access.h"
#include "quen/config/settings.h"
#include "quen/control/control_commands.h"
#include "rpc/log.h"
#include "rpc/share.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>

namespace {

constexpr uint32_t kRefusalWaitMs = 2000;   // for the first message of a refused connection
constexpr uint32_t kWaitSliceMs = 1000;     // how often a silent connection looks at the stop flag

std::atomic<int> g_control_stop{0};

crit_section& state_lock() {   // guards g_listener
    static crit_section lock;
    static const bool ready = (crit_init(&lock), true);
    (void)ready;
    return lock;
}
pipe_listener* g_listener = nullptr;

// Commands of different connections never interleave.
crit_section& command_lock() {
    static crit_section lock;
    static const bool ready = (crit_init(&lock), true);
    (void)ready;
    return lock;
}

// The connections held: in all, by callers who are not administrators (and
// by callers not told apart yet), and per such user. Never destroyed:
// connection threads may still end while the process exits.
struct pipe_shares {
    crit_section lock;
    uint32_t all = 0;
    uint32_t users = 0;
    uint32_t refusing = 0;
    std::unordered_map<std::string, uint32_t> by_user;
    pipe_shares() { crit_init(&lock); }
};

pipe_shares& shares() {
    static pipe_shares* s = new pipe_shares;
    return *s;
}

struct connection {
    pipe_conn* conn;
    control_session session;
    bool known;          // the user was told at accept
    pipe_user user;
    bool counted_user;   // counted among the users' connections
    bool counted_key;    // counted under user.key
    uint8_t message[kControlMessageMax];
    uint8_t reply[kControlMessageMax];
};

// Under the shares' lock: whether one more connection of a user who is not
// an administrator fits (per_user 0: the user is not known yet).
uint32_t held_by(const pipe_shares& p, const char* key) {
    const auto at = p.by_user.find(key);
    return at == p.by_user.end() ? 0 : at->second;
}

bool user_room(pipe_shares& p, const char* key, uint32_t per_user) {
    const uint32_t held = key ? held_by(p, key) : 0;
    const share_state state{kPipeConnections - kPipeAdminReserve, per_user, p.users, held, 0, 0};
    return share_decide(state) == share_verdict::admit;
}

// Counts an accepted connection in. False: it has no room.
bool admit(connection& c) {
    pipe_shares& p = shares();
    crit_guard hold(&p.lock);
    if (p.all >= kPipeConnections) return false;
    if (!c.known || !c.user.admin) {
        if (!user_room(p, c.known ? c.user.key : nullptr, c.known ? kPipePerUser : 0)) return false;
        ++p.users;
        c.counted_user = true;
        if (c.known) {
            ++p.by_user[c.user.key];
            c.counted_key = true;
        }
    }
    ++p.all;
    return true;
}

// A connection whose user could only be told at its first message (Windows
// before version 6): an administrator leaves the users' part, a user takes
// a place of its own share or is refused.
bool admit_identified(connection& c, const pipe_user& user) {
    pipe_shares& p = shares();
    crit_guard hold(&p.lock);
    c.user = user;
    if (user.admin) {
        --p.users;
        c.counted_user = false;
        return true;
    }
    if (held_by(p, user.key) >= kPipePerUser) return false;
    ++p.by_user[user.key];
    c.counted_key = true;
    return true;
}

void release(connection& c) {
    pipe_shares& p = shares();
    crit_guard hold(&p.lock);
    --p.all;
    if (c.counted_user) --p.users;
    if (c.counted_key) {
        auto at = p.by_user.find(c.user.key);
        if (at != p.by_user.end() && --at->second == 0) p.by_user.erase(at);
    }
}

uint32_t idle_ms() {
    const uint32_t seconds = g_settings.pipe_idle ? g_settings.pipe_idle : 1;
    return seconds > 0xFFFFFFFFu / 1000 ? 0xFFFFFFFFu : seconds * 1000;
}

// The next message, or -1 when the peer left, the server stops or the
// connection stayed silent for the idle time.
int next_message(connection& c) {
    for (uint32_t waited = 0, limit = idle_ms(); g_control_stop.load() == 0 && waited < limit;) {
        const uint32_t slice = limit - waited < kWaitSliceMs ? limit - waited : kWaitSliceMs;
        const int n = pipe_read_message_within(c.conn, c.message, kControlMessageMax, slice);
        if (n != 0) return n;
        waited += slice;
    }
    return -1;
}

// A refused connection hears why at its first request, then ends.
void refuse(void* arg) {
    pipe_conn* conn = static_cast<pipe_conn*>(arg);
    uint8_t message[kControlMessageMax];
    if (pipe_read_message_within(conn, message, sizeof message, kRefusalWaitMs) > 0) {
        uint8_t denied[4];
        control_put32(denied, CTL_DENIED);
        pipe_write_message(conn, denied, sizeof denied);
    }
    pipe_close(conn);
    pipe_shares& p = shares();
    crit_guard hold(&p.lock);
    --p.refusing;
}

void start_refusal(pipe_conn* conn) {
    pipe_shares& p = shares();
    {
        crit_guard hold(&p.lock);
        if (p.refusing >= kPipeRefusals) {
            pipe_close(conn);   // refusals are bounded too: the rest are closed at once
            return;
        }
        ++p.refusing;
    }
    if (thread_start(refuse, conn)) return;
    pipe_close(conn);
    crit_guard hold(&p.lock);
    --p.refusing;
}

void serve(void* arg) {
    connection* c = static_cast<connection*>(arg);
    std::memset(c->message, 0, sizeof c->message);
    for (;;) {
        const int n = next_message(*c);
        if (n < 0) break;
        if (!c->session.identified) {
            // Fixed for the whole connection; only a new one asks again.
            c->session.identified = true;
            c->session.admin = pipe_peer_is_admin(c->conn);
            if (!config_write_string(kServerSection, "Used", "1", -1)) c->session.admin = false;
            pipe_user user{};
            if (!c->known && pipe_peer_user(c->conn, &user) && !admit_identified(*c, user)) {
                control_put32(c->reply, CTL_DENIED);
                pipe_write_message(c->conn, c->reply, 4);
                break;
            }
        }
        uint32_t size;
        {
            crit_guard hold(&command_lock());
            size = control_process(c->session, c->message, uint32_t(n), c->reply);
        }
        if (size == 0 || !pipe_write_message(c->conn, c->reply, size)) break;
    }
    {
        crit_guard hold(&command_lock());
        control_session_close(c->session);
    }
    pipe_close(c->conn);
    release(*c);
    delete c;
}

void listen_loop(void* arg) {
    pipe_listener* l = static_cast<pipe_listener*>(arg);
    while (g_control_stop.load() == 0) {
        pipe_conn* conn = pipe_accept(l);
        if (!conn) break;
        if (g_control_stop.load() != 0) {
            pipe_close(conn);
            continue;
        }
        connection* c = new (std::nothrow) connection{conn, {}, false, {}, false, false, {}, {}};
        if (!c) {
            pipe_close(conn);
            continue;
        }
        c->known = pipe_peer_user(conn, &c->user);
        if (!admit(*c)) {
            delete c;
            start_refusal(conn);
            continue;
        }
        if (!thread_start(serve, c)) {
            release(*c);
            delete c;
            pipe_close(conn);
        }
    }
    crit_guard hold(&state_lock());
    pipe_listener_close(l);
    g_listener = nullptr;
}

}  // namespace

bool control_server_start() {
    g_control_stop = 0;
    pipe_listener* l = pipe_listen();
    if (!l) {
        log_printf(1, "quen: control pipe %s cannot be created\n", pipe_name());
        return false;
    }
    crit_guard hold(&state_lock());
    g_listener = l;
    if (!thread_start(listen_loop, l)) {
        pipe_listener_close(l);
        g_listener = nullptr;
        return false;
    }
    return true;
}

void control_server_stop() {
    g_control_stop = 1;
    crit_guard hold(&state_lock());
    if (g_listener) pipe_listener_wake(g_listener);
}
