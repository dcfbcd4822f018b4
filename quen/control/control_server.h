// The control pipe server: a listener thread and one thread per connection.
#pragma once

// Starts the listener once the NFS services run. Result: started.
bool control_server_start();
// Sets the pipe's stop flag and wakes the listener; connections end at
// their next message.
void control_server_stop();

inline constexpr int kControlConnectionsMax = 32;   // further clients are disconnected at once
