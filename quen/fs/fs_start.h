// Start and stop of the file system layer, after the inode table is open:
// the per-file sections and the open-file cache with its sweeper, the
// optional system calls, the character-type locale, and the log lines that
// say how the layer is set up.
#pragma once

bool fs_layer_start();
// Closes every cached file; requests may no longer be served.
void fs_layer_stop();
