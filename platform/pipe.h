// The local message pipe between the control panel and the server: a
// message-mode named pipe on Windows, a Unix-domain SOCK_SEQPACKET socket
// elsewhere. Only local callers can connect; every message is delivered
// whole or not at all.
#pragma once
#include <cstdint>

struct pipe_listener;  // the server's end, from which connections are taken
struct pipe_conn;      // one connection, on either side

// The name clients open: "\\.\pipe\tervalo_nfs_server", or on POSIX the
// socket path (TERVALO_PIPE, else /run/tervalo/nfs_server).
const char* pipe_name();

// Makes the server end. Null when it cannot be made (on POSIX also when
// another server already listens at the path).
pipe_listener* pipe_listen();
// Waits for the next client. Null on failure or after pipe_listener_wake.
pipe_conn* pipe_accept(pipe_listener* l);
// Makes a waiting (or the next) pipe_accept return null. Safe from any thread.
void pipe_listener_wake(pipe_listener* l);
void pipe_listener_close(pipe_listener* l);

// One whole message into buf. Result: its size; -1 when the peer is gone or
// the message is longer than cap (its bytes are discarded).
int pipe_read_message(pipe_conn* c, void* buf, uint32_t cap);
// The same, waiting at most timeout_ms for the message to begin: 0 when
// none came in time.
int pipe_read_message_within(pipe_conn* c, void* buf, uint32_t cap, uint32_t timeout_ms);
bool pipe_write_message(pipe_conn* c, const void* data, uint32_t size);
// Whether the peer of a server-side connection may administer the server:
// on Windows a member of the built-in Administrators group (also when not
// elevated); on POSIX uid 0 or a member of the group pipe_admin_group().
bool pipe_peer_is_admin(pipe_conn* c);
// The same for the user running this process (a client deciding what to offer).
bool pipe_self_is_admin();
const char* pipe_admin_group();

// The user at the other end of a server-side connection, for counting what
// each user holds: an opaque key (a uid, a SID) and whether the user may
// administer the server (as pipe_peer_is_admin decides). Known at accept on
// POSIX and on Windows 6 and later; false when it cannot be told yet.
struct pipe_user {
    char key[96];
    bool admin;
};
bool pipe_peer_user(pipe_conn* c, pipe_user* out);
// Disconnects and frees either side.
void pipe_close(pipe_conn* c);

// The client side: opens the pipe in message mode; null when nobody listens.
pipe_conn* pipe_connect();
// Sends a request and receives its reply. Result: the reply's size, or -1
// on failure or when the reply does not fit cap.
int pipe_transact(pipe_conn* c, const void* request, uint32_t size, void* reply, uint32_t cap);
