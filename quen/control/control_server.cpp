#include "quen/control/control_server.h"

#include "control_client/control_protocol.h"
#include "platform/pipe.h"
#include "platform/thread.h"
#include "quen/config/registry_access.h"
#include "quen/control/control_commands.h"
#include "rpc/log.h"

#include <atomic>
#include <cstring>
#include <new>

namespace {

std::atomic<int> g_control_stop{0};
std::atomic<int> g_connections{0};

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

struct connection {
    pipe_conn* conn;
    control_session session;
    uint8_t message[kControlMessageMax];
    uint8_t reply[kControlMessageMax];
};

void serve(void* arg) {
    connection* c = static_cast<connection*>(arg);
    std::memset(c->message, 0, sizeof c->message);
    while (g_control_stop.load() == 0) {
        const int n = pipe_read_message(c->conn, c->message, kControlMessageMax);
        if (n < 0) break;
        if (!c->session.identified) {
            // Fixed for the whole connection; only a new one asks again.
            c->session.identified = true;
            c->session.admin = pipe_peer_is_admin(c->conn);
            if (!config_write_string(kServerSection, "Used", "1", -1)) c->session.admin = false;
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
    delete c;
    g_connections.fetch_sub(1);
}

void listen_loop(void* arg) {
    pipe_listener* l = static_cast<pipe_listener*>(arg);
    while (g_control_stop.load() == 0) {
        pipe_conn* conn = pipe_accept(l);
        if (!conn) break;
        if (g_control_stop.load() != 0 || g_connections.load() >= kControlConnectionsMax) {
            pipe_close(conn);
            continue;
        }
        connection* c = new (std::nothrow) connection{conn, {}, {}, {}};
        g_connections.fetch_add(1);
        if (!c || !thread_start(serve, c)) {
            g_connections.fetch_sub(1);
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
