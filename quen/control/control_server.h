// The control pipe server: a listener thread and one thread per connection.
#pragma once
#include <cstdint>

// Starts the listener once the NFS services run. Result: started.
bool control_server_start();
// Sets the pipe's stop flag and wakes the listener; connections end at
// their next message.
void control_server_stop();

// Connections held at once. Users who are not administrators share all but
// the administrators' reserve, each user at most its part; a connection
// silent for "PipeIdle" seconds is closed. A connection past these bounds
// is answered CTL_DENIED at its first request and closed; past a few such
// refusals at once, further ones are closed without an answer.
inline constexpr uint32_t kPipeConnections = 64;
inline constexpr uint32_t kPipeAdminReserve = 16;
inline constexpr uint32_t kPipePerUser = 4;
inline constexpr uint32_t kPipeRefusals = 4;
