// quen/nfs: the NFS service over the file layer, and the start and stop of
// the whole file service. Uses every folder below: config/, inode/,
// mount/, fs/ (and rpc/, portmap/, platform/).
//
// Start and stop of the whole file service, in its fixed order.
#pragma once

// Start failure codes.
enum : int {
    FILE_SERVICE_STARTED = 0,
    FILE_SERVICE_NO_SOCKETS = 2,
    FILE_SERVICE_MOUNT_FAILED = 3,
    FILE_SERVICE_PORTMAP_FAILED = 4,
    FILE_SERVICE_NO_PORTMAPPER = 5,  // MOUNT's sockets are bound, but no portmapper took its registrations
    FILE_SERVICE_INODE_TABLE_FAILED = 6,
    FILE_SERVICE_INODE_TABLE_IN_USE = 7,  // another process (a running server) holds the table file
};

int file_service_start();
// The services' part of the stop sequence, before the transport is closed.
void file_service_stop();
// The file system layer's part, after the transport is closed.
void file_service_shutdown();
