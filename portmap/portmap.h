// The portmap service (program 100000 version 2, RFC 1833) on UDP and TCP
// port 111: SET, UNSET, GETPORT, DUMP and CALLIT over one registration table.
//
// It comes in two flavours that cannot run in one process at the same time:
//
// - the built-in copy of the server: silent apart from its "ready" line,
//   serving on a thread of its own;
//       if (!pmap_builtin_start()) ... the server's start fails (code 4) ...
//       ...
//       pmap_builtin_stop();   // in the stop sequence
//
// - the daemon's copy: writes its diagnostics to the log (rpc/log.h) when the
//   log level is non-zero, and serves on the calling thread;
//       if (!pmap_daemon_start()) ... "Unable to start service" ...
//       pmap_daemon_serve();   // returns after pmap_daemon_stop()
//
// The RPC settings (rpc/settings.h) must be filled before a start: the
// forwarder waits "RPCTIMEOUT" seconds for a reply, and connections use the
// idle and connection limits.
#pragma once

// Binds UDP and TCP port 111, rebuilds the table, writes "ready on port 111"
// at log level 1 and starts the serving thread. False when a socket cannot be
// created or bound, or the thread cannot start (nothing is left running).
bool pmap_builtin_start();
// Stops the serving thread and waits (a few seconds at most) until it and the
// connection threads have ended and both sockets are closed. Idempotent.
void pmap_builtin_stop();

// Binds UDP and TCP port 111 and rebuilds the table. Writes "bind on port 111
// failed" (log on) and answers false when a socket cannot be had; otherwise
// writes the "ready" line (log on) and answers true.
bool pmap_daemon_start();
// Serves until pmap_daemon_stop(); closes both sockets before it returns.
void pmap_daemon_serve();
// Asks the serving loop to end; safe from any thread, and before or during
// pmap_daemon_serve().
void pmap_daemon_stop();

// True while a serving loop runs (either flavour).
bool pmap_running();
