// quen/config: the settings and the registry access behind them, and the
// character classes of Windows names the settings are checked against.
// The bottom layer beside log/: uses only rpc/ and platform/.
//
// The server's settings: the record the control pipe carries, the values
// kept beside it, and reading them from the registry at start.
#pragma once
#include "quen/config/server_config.h"

#include <cstdint>

inline constexpr unsigned kPathSize = 2048;      // internal paths
inline constexpr unsigned kLogDirMax = 895;      // characters of "LogDir"
inline constexpr unsigned kEscapeListMax = 11;   // characters of "EscapeList"

struct quen_settings {
    server_config record;
    // Values outside the record.
    int32_t portmapper_registration;  // "PortMapperRegistration"
    int32_t rpc_timeout;              // "RPCTIMEOUT", seconds
    int32_t rpc_idle;                 // "RPCIDLE"
    int32_t tcp_threads;              // "TCPthreads"
    int32_t inode_size;               // "InodeSize", records
    int32_t dir_bits;                 // "DirBits", 6..8
    int32_t dir_limit;                // "DirLimit", 0 read as 9999
    int32_t dir_timeout;              // "DirTimeout", ms
    int32_t spin_count;               // "SpinCount"
    uint32_t mounts_per_client;       // "MountsPerClient", 0: no limit
    uint32_t mounts_max;              // "Mounts", entries of the whole table; 0: no limit
    uint32_t tcp_idle;                // "TCPidle", seconds a connection may stay silent
    uint32_t tcp_record_time;         // "TCPrecordTime", seconds to complete a begun record
    uint32_t tcp_connections;         // "TCPconnections", served at once; 0: no limit
    uint32_t tcp_per_client;          // "TCPperClient", from one address; 0: no limit
    uint32_t pipe_idle;               // "PipeIdle", seconds a control pipe connection may stay silent
    uint32_t local_ip_address;        // "LocalIPAddress", host order; 0 = any
    char local_ip_text[16];
    char program_dir[kPathSize];      // with trailing backslash
    char data_dir[kPathSize];         // "Directory", with trailing backslash
    char log_dir[kPathSize];          // "LogDir", with trailing backslash
    char inode_path[kPathSize];       // "InodePath", empty: the default file
    uint8_t char_map[256];            // "Map_%u" substitutes, 0 = none
    char escape_list[kEscapeListMax + 1];  // "EscapeList" as read
};

extern quen_settings g_settings;

// Reads every setting (missing or unreadable values take their defaults),
// after the program directory is known.
void config_read(quen_settings& s, const char* program_dir);
// Writes the record's administrator-editable values back, in their order;
// values equal to their defaults are deleted. Result: every write succeeded.
bool config_write_back(const server_config& record);
// Hands the transport the values it consults.
void config_apply_to_rpc(const quen_settings& s);

// The default of a numeric setting, by name; false when there is none.
bool config_default(const char* name, int32_t& out);
// Dotted IPv4 text ("a.b.c.d", each 0..255) to a host-order address.
bool parse_dotted_ipv4(const char* text, uint32_t& out);
