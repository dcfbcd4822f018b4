// The settings the RPC layer reads. The program fills this record at start.
#pragma once
#include <cstdint>

struct rpc_settings {
    uint32_t rpc_timeout = 2;            // "RPCTIMEOUT", seconds of one main-loop wait
    uint32_t rpc_idle = 30;              // "RPCIDLE", time-outs before the machine may sleep
    uint32_t threads = 4;                // "Threads", UDP workers of the NFS socket
    uint32_t tcp_threads = 2;            // "TCPthreads", threads per TCP connection (at most 8)
    uint32_t portmapper_registration = 1;  // "PortMapperRegistration"
    uint32_t local_ip_address = 0;       // "LocalIPAddress", host order; 0 = any
    // Limits that keep hostile peers from exhausting the server.
    uint32_t tcp_idle_seconds = 900;     // "TCPidle": a connection silent this long between records is closed
    uint32_t tcp_record_seconds = 30;    // "TCPrecordTime": a begun record must be whole within this
    uint32_t tcp_max_connections = 512;  // "TCPconnections": accepted connections served at once; 0 no limit
    uint32_t tcp_per_client = 32;        // "TCPperClient": of those from one address; 0 no limit
};

extern rpc_settings g_rpc_settings;
