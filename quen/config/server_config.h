// The settings record. Its layout is fixed: the control pipe carries it whole
// (little-endian, 180 bytes).
#pragma once
#include <cstddef>
#include <cstdint>

struct server_config {
    uint32_t log;                  // "Log"
    uint32_t portmapper;           // "PortMapper"
    uint32_t udp;                  // "UDP"
    uint32_t tcp;                  // "TCP"
    uint32_t mount;                // "Mount"
    uint32_t nlm;                  // "NLM"
    uint16_t port;                 // "Port"
    uint16_t mount_port;           // "Mount-Port"
    uint16_t nlm_port;             // "NLM-Port"
    uint16_t padding;
    uint32_t version2;             // "Version2"
    uint32_t version3;             // "Version3"
    uint32_t reserved;
    uint32_t mount_resolv;         // "Mount-Resolv"
    uint32_t threads;              // "Threads"
    uint32_t hard_links;           // "HardLinks"
    uint32_t soft_links;           // "SoftLinks"
    uint32_t datasize;             // "Datasize"
    uint32_t max_read;             // = Datasize
    uint32_t max_write;            // = Datasize
    uint32_t dir_reply_size;       // "Dirsize", at most Datasize
    uint32_t nfs2_write;           // "NFS2Write"
    uint32_t nfs3_write_mode;      // "NFS3Write" & 0x0F
    uint32_t nfs3_write_unstable;  // "NFS3Write" & 0x10
    uint32_t fh_size;              // "FHsize", 20 or 32
    uint32_t create_access;        // "CreateAccess"
    uint32_t cache;                // "Cache"
    uint32_t inode_reset;          // "InodeReset"
    uint32_t inode_check;          // "InodeCheck"
    uint32_t set_exec;             // "SetExec"
    uint32_t webnfs;               // "WebNFS"
    uint32_t map_root;             // "MapRoot"
    uint32_t filter_exports;       // "FilterExports"
    uint32_t code_page;            // "CodePage"
    uint32_t lowercase;            // "Lowercase"
    uint32_t locktime_ms;          // "Locktime" x 1000
    uint32_t read_dir_plus;        // "ReadDirPlus"
    uint32_t so_rcvbuf;            // "SO_Rcvbuf"
    uint32_t so_tcpbuf;            // "SO_Tcpbuf"
    uint32_t dir_count;            // "DirCount"
    uint32_t file_id;              // "FileId"
    uint32_t automount;            // "Automount"
    uint32_t save_attr;            // "SaveAttr"
    uint32_t x2system;             // "x2system"
    uint32_t win10tag;             // "win10tag"
    uint32_t hard_links_available; // found at start
    uint32_t file_ids_available;   // found at start
};

static_assert(sizeof(server_config) == 180);
static_assert(offsetof(server_config, log) == 0);
static_assert(offsetof(server_config, nlm) == 20);
static_assert(offsetof(server_config, port) == 24);
static_assert(offsetof(server_config, mount_port) == 26);
static_assert(offsetof(server_config, nlm_port) == 28);
static_assert(offsetof(server_config, version2) == 32);
static_assert(offsetof(server_config, reserved) == 40);
static_assert(offsetof(server_config, mount_resolv) == 44);
static_assert(offsetof(server_config, datasize) == 60);
static_assert(offsetof(server_config, dir_reply_size) == 72);
static_assert(offsetof(server_config, nfs3_write_unstable) == 84);
static_assert(offsetof(server_config, fh_size) == 88);
static_assert(offsetof(server_config, webnfs) == 112);
static_assert(offsetof(server_config, code_page) == 124);
static_assert(offsetof(server_config, locktime_ms) == 132);
static_assert(offsetof(server_config, so_tcpbuf) == 144);
static_assert(offsetof(server_config, win10tag) == 168);
static_assert(offsetof(server_config, hard_links_available) == 172);
static_assert(offsetof(server_config, file_ids_available) == 176);
