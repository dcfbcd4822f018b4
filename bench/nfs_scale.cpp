// nfs_scale: NFSv3 over TCP with many connections and many idle clients.
// Closed-loop GETATTR and 64 KiB READ on 1 and on N connections (each with a
// fixed number of requests in flight), then again while M idle clients hold
// connections from M different source addresses; the server's memory and
// threads at each step. Figures are printed, never asserted; every reply is
// checked (RPC success, NFS3_OK, attributes, READ count, eof and data).
//
// Active connection i goes to 127.0.1.(i+1), so each has a source address of
// its own when that range is a local route without a preferred source
// (bench/scale.sh sets it up); idle client j binds 127.0.(10+j/250).(1+j%250).
//
//   build: g++ -std=c++17 -O2 -Wall -Wextra -o nfs_scale bench/nfs_scale.cpp -lnfs

#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

extern "C" {
#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-nfs.h>
}

struct nfs_fh {   // opaque in libnfs 4; checked by the GETATTR runs (fileid)
    int len;
    char *val;
};

namespace {

uint32_t kIo = 64 * 1024;   // READ size (-i)
constexpr uint64_t kStallNs = 20000000000ull;

struct Opts {
    double secs = 3;
    int conns = 64, depth = 4, idle = 1000, waves = 3, server_pid = 0;
    uint64_t size = 64ull << 20;
    int nfsport = 2049, mountport = 1058;
    std::string url;
} o;

uint64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

[[noreturn]] void die(const std::string &why) {
    fprintf(stderr, "nfs_scale: error: %s\n", why.c_str());
    exit(2);
}

// ---- setup and clean-up through the sync API ------------------------------
struct Files {
    std::string dir;
    std::vector<char> fh_attr, fh_data, ref;   // ref: what was written to the data file
    uint64_t id_attr = 0, id_data = 0;
} f;

nfs_context *mount_ctx() {
    nfs_context *n = nfs_init_context();
    nfs_url *u = n ? nfs_parse_url_dir(n, o.url.c_str()) : nullptr;
    if (!u || nfs_mount(n, u->server, u->path) != 0) die("mount " + o.url + ": " + (n ? nfs_get_error(n) : ""));
    nfs_destroy_url(u);
    return n;
}

std::vector<char> handle_of(nfs_context *n, const std::string &p, uint64_t *id) {
    nfsfh *h;
    nfs_stat_64 st;
    if (nfs_open(n, p.c_str(), O_RDONLY, &h) != 0 || nfs_stat64(n, p.c_str(), &st) != 0)
        die("open " + p + ": " + nfs_get_error(n));
    nfs_fh *raw = nfs_get_fh(h);
    if (raw->len < 1 || raw->len > 64) die("implausible handle");
    std::vector<char> v(raw->val, raw->val + raw->len);
    nfs_close(n, h);
    *id = st.nfs_ino;
    return v;
}

void setup() {
    nfs_context *n = mount_ctx();
    f.dir = "/scale." + std::to_string(getpid());
    nfsfh *h;
    if (nfs_mkdir(n, f.dir.c_str()) != 0 || nfs_creat(n, (f.dir + "/attr").c_str(), 0644, &h) != 0)
        die(std::string("create: ") + nfs_get_error(n));
    nfs_close(n, h);
    f.ref.resize(o.size);
    uint64_t x = now_ns();
    for (size_t i = 0; i < f.ref.size(); i += 8) {   // splitmix64
        uint64_t z = (x += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        memcpy(&f.ref[i], &z, 8);
    }
    std::string data = f.dir + "/data";
    if (nfs_creat(n, data.c_str(), 0644, &h) != 0) die(std::string("create data: ") + nfs_get_error(n));
    for (uint64_t off = 0; off < o.size; off += 1 << 20)
        if (uint64_t(nfs_pwrite(n, h, off, std::min<uint64_t>(1 << 20, o.size - off), &f.ref[off])) != std::min<uint64_t>(1 << 20, o.size - off))
            die(std::string("write: ") + nfs_get_error(n));
    if (nfs_fsync(n, h) != 0) die(std::string("fsync: ") + nfs_get_error(n));
    nfs_close(n, h);
    f.fh_attr = handle_of(n, f.dir + "/attr", &f.id_attr);
    f.fh_data = handle_of(n, data, &f.id_data);
    nfs_destroy_context(n);   // still mounted (the handles name the mount), no longer connected
}

void cleanup() {
    nfs_context *n = mount_ctx();
    nfs_unlink(n, (f.dir + "/attr").c_str());
    nfs_unlink(n, (f.dir + "/data").c_str());
    if (nfs_rmdir(n, f.dir.c_str()) != 0) fprintf(stderr, "nfs_scale: could not remove %s\n", f.dir.c_str());
    nfs_umount(n);
    nfs_destroy_context(n);
}

// ---- the server process ------------------------------------------------------
std::string proc_status(const char *key) {
    FILE *s = fopen(("/proc/" + std::to_string(o.server_pid) + "/status").c_str(), "r");
    char line[256];
    std::string v = "?";
    while (s && fgets(line, sizeof line, s))
        if (!strncmp(line, key, strlen(key))) v = strtok(line + strlen(key) + 1, " \t\n");
    if (s) fclose(s);
    return v;
}

int server_sockets() {
    std::string d = "/proc/" + std::to_string(o.server_pid) + "/fd";
    DIR *dir = opendir(d.c_str());
    int n = 0;
    char buf[64];
    for (dirent *e; dir && (e = readdir(dir));) {
        ssize_t k = readlink((d + "/" + e->d_name).c_str(), buf, sizeof buf - 1);
        n += k > 7 && !strncmp(buf, "socket:", 7);
    }
    if (dir) closedir(dir);
    return n;
}

double cpu_s(int pid) {   // utime + stime of PID, or of this process for 0
    if (!pid) {
        rusage r;
        getrusage(RUSAGE_SELF, &r);
        return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    }
    FILE *s = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    char buf[1024] = "";
    if (!s) return 0;
    size_t k = fread(buf, 1, sizeof buf - 1, s);
    fclose(s);
    buf[k] = 0;
    unsigned long long ut = 0, st = 0;
    const char *p = strrchr(buf, ')');
    if (p) sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st);
    return double(ut + st) / double(sysconf(_SC_CLK_TCK));
}

std::string mem_rows, notes;   // printed at the end, with the result rows

void memory(const std::string &point) {
    char row[256];
    snprintf(row, sizeof row, "| %s | %s MiB | %s MiB | %s MiB | %s | %d |\n", point.c_str(),
           std::to_string(atol(proc_status("VmRSS:").c_str()) / 1024).c_str(),
           std::to_string(atol(proc_status("VmHWM:").c_str()) / 1024).c_str(),
           std::to_string(atol(proc_status("VmSize:").c_str()) / 1024).c_str(), proc_status("Threads:").c_str(),
           server_sockets());
    mem_rows += row;
}

// ---- active connections: closed loop over the raw async API -----------------------
struct Conn;
struct Slot {
    Conn *c;
    uint64_t t0 = 0, off = 0;
};
struct Conn {
    rpc_context *rpc = nullptr;
    int state = 0;   // 0 connecting, 1 connected, -1 failed
    uint64_t done = 0;
    std::vector<Slot> slots;
};
struct Run {
    bool read = false, failed = false;
    uint64_t deadline = 0, inflight = 0, done = 0, seq = 0;
    std::vector<uint64_t> lat;
    std::string error;
} run;
std::vector<Conn> conns;
std::string rows;   // result table, printed after the memory table

void on_connect(rpc_context *, int status, void *, void *priv) {
    static_cast<Conn *>(priv)->state = status == RPC_STATUS_SUCCESS ? 1 : -1;
}

bool check_reply(const Slot &s, void *d) {
    char why[160] = "";
    if (!run.read) {
        auto *r = static_cast<GETATTR3res *>(d);
        const fattr3 &a = r->GETATTR3res_u.resok.obj_attributes;
        if (r->status != NFS3_OK) snprintf(why, sizeof why, "GETATTR status %d", r->status);
        else if (a.type != NF3REG || a.fileid != f.id_attr || a.size != 0) snprintf(why, sizeof why, "GETATTR: wrong attributes");
    } else {
        auto *r = static_cast<READ3res *>(d);
        const READ3resok &ok = r->READ3res_u.resok;
        const bool at_end = s.off + kIo >= o.size;
        if (r->status != NFS3_OK) snprintf(why, sizeof why, "READ at %" PRIu64 " status %d", s.off, r->status);
        else if (ok.count != kIo || ok.data.data_len != kIo) snprintf(why, sizeof why, "short READ at %" PRIu64 ": %u", s.off, ok.count);
        else if (bool(ok.eof) != at_end) snprintf(why, sizeof why, "READ at %" PRIu64 ": eof %d", s.off, int(ok.eof));
        else if (memcmp(ok.data.data_val, &f.ref[s.off], kIo) != 0) snprintf(why, sizeof why, "READ at %" PRIu64 ": data differ", s.off);
        else if (ok.file_attributes.attributes_follow && ok.file_attributes.post_op_attr_u.attributes.fileid != f.id_data)
            snprintf(why, sizeof why, "READ: wrong fileid");
    }
    if (!*why) return true;
    run.error = why;
    return false;
}

void issue(Slot &s);

void on_reply(rpc_context *, int status, void *data, void *priv) {
    Slot &s = *static_cast<Slot *>(priv);
    const uint64_t t = now_ns();
    run.inflight--;
    run.done++;
    s.c->done++;
    run.lat.push_back(t - s.t0);
    if (run.failed) return;
    if (status != RPC_STATUS_SUCCESS) {
        run.failed = true;
        run.error = "RPC failed: " + std::string(status == RPC_STATUS_ERROR && data ? static_cast<char *>(data) : "-");
        return;
    }
    if (!check_reply(s, data)) {
        run.failed = true;
        return;
    }
    if (t < run.deadline) issue(s);
}

void issue(Slot &s) {
    const uint64_t blocks = o.size / kIo;
    s.t0 = now_ns();
    int rc;
    if (run.read) {
        // The offsets walk the whole file; each connection starts elsewhere.
        s.off = ((uint64_t(s.c - conns.data()) * 37 + run.seq++) % blocks) * kIo;
        READ3args a{};
        a.file.data.data_len = u_int(f.fh_data.size());
        a.file.data.data_val = f.fh_data.data();
        a.offset = s.off;
        a.count = kIo;
        rc = rpc_nfs3_read_async(s.c->rpc, on_reply, &a, &s);
    } else {
        GETATTR3args a{};
        a.object.data.data_len = u_int(f.fh_attr.size());
        a.object.data.data_val = f.fh_attr.data();
        rc = rpc_nfs3_getattr_async(s.c->rpc, on_reply, &a, &s);
    }
    if (rc != 0) {
        run.failed = true;
        run.error = "could not queue a request";
        return;
    }
    run.inflight++;
}

// Services all connections until done() holds; false on a broken connection or
// when no reply has come for kStallNs (then every connection's count is shown).
template <class Pred> bool pump(Pred done) {
    std::vector<pollfd> pf(conns.size());
    uint64_t last = run.done, last_t = now_ns();
    while (!done()) {
        for (size_t i = 0; i < conns.size(); i++) pf[i] = {rpc_get_fd(conns[i].rpc), short(rpc_which_events(conns[i].rpc)), 0};
        if (poll(pf.data(), pf.size(), 100) < 0 && errno != EINTR) die("poll");
        for (size_t i = 0; i < conns.size(); i++)
            if (pf[i].revents && rpc_service(conns[i].rpc, pf[i].revents) < 0) {
                run.error = "connection " + std::to_string(i) + " broke: " + rpc_get_error(conns[i].rpc);
                return false;
            }
        const uint64_t t = now_ns();
        if (run.done != last || done()) { last = run.done; last_t = t; continue; }
        if (t - last_t > kStallNs) {
            run.error = "no reply for 20 s; replies per connection:";
            for (auto &c : conns) run.error += " " + std::to_string(c.done);
            return false;
        }
    }
    return true;
}

void open_conns(int n) {
    conns.resize(size_t(n));
    for (int i = 0; i < n; i++) {
        Conn &c = conns[size_t(i)];
        c.rpc = rpc_init_context();
        std::string host = "127.0.1." + std::to_string(i + 1);
        if (!c.rpc || rpc_connect_async(c.rpc, host.c_str(), o.nfsport, on_connect, &c) != 0) die("connect " + host);
    }
    auto up = [] { return std::all_of(conns.begin(), conns.end(), [](const Conn &c) { return c.state != 0; }); };
    if (!pump(up)) die(run.error);
    for (auto &c : conns)
        if (c.state != 1) die("a connection to the NFS port was refused");
}

void close_conns() {
    for (auto &c : conns) rpc_destroy_context(c.rpc);
    conns.clear();
}

// One closed-loop run on all open connections; prints one table row.
bool measure(bool read, int idle) {
    run = Run{};
    run.read = read;
    run.lat.reserve(1 << 20);
    for (auto &c : conns) {
        c.done = 0;
        c.slots.assign(size_t(o.depth), Slot{&c});
    }
    const double cli0 = cpu_s(0), srv0 = cpu_s(o.server_pid);
    const uint64_t t0 = now_ns();
    run.deadline = t0 + uint64_t(o.secs * 1e9);
    for (auto &c : conns)
        for (auto &s : c.slots) issue(s);
    bool ok = pump([] { return run.inflight == 0 || run.failed; }) && !run.failed;
    const double secs = double(now_ns() - t0) / 1e9;
    double lo = 1e300, hi = 0;
    for (auto &c : conns) {
        lo = std::min(lo, double(c.done) / secs);
        hi = std::max(hi, double(c.done) / secs);
    }
    const double mean = double(run.done) / secs / double(conns.size());
    auto pct = [](double q) {
        if (run.lat.empty()) return 0.0;
        size_t k = std::min(run.lat.size() - 1, size_t(double(run.lat.size()) * q));
        std::nth_element(run.lat.begin(), run.lat.begin() + long(k), run.lat.end());
        return double(run.lat[k]) / 1e6;
    };
    char row[512];
    snprintf(row, sizeof row,
             "| %s | %zu | %d | %d | %.2f | %" PRIu64 " | %.0f | %s | %.0f / %.0f / %.0f | %.2f | %.2f / %.2f / %.1f | %.0f | %.0f | %s |\n",
             read ? ("READ " + std::to_string(kIo / 1024) + " KiB").c_str() : "GETATTR", conns.size(), o.depth, idle, secs, run.done, double(run.done) / secs,
             read ? std::to_string(int(double(run.done) * kIo / secs / 1048576)).c_str() : "-", lo, mean, hi, lo / mean,
             pct(0.5), pct(0.99), pct(1.0), (cpu_s(0) - cli0) / secs * 100, (cpu_s(o.server_pid) - srv0) / secs * 100,
             ok ? "ok" : ("FAILED: " + run.error).c_str());
    rows += row;
    return ok;
}

// ---- idle clients: plain TCP connections, each from its own address ------------------
// Starts all connects at once and waits up to 30 s; returns how many connected.
int idle_open(std::vector<int> &fds, int n) {
    for (int i = 0; i < n; i++) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{}, to{};
        a.sin_family = to.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7F000000u | uint32_t(10 + i / 250) << 8 | uint32_t(1 + i % 250));
        to.sin_addr.s_addr = htonl(0x7F000001u);
        to.sin_port = htons(uint16_t(o.nfsport));
        if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) die("idle socket: " + std::string(strerror(errno)));
        if (connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0 && errno != EINPROGRESS) die("idle connect");
        fds.push_back(s);
    }
    std::vector<int> state(size_t(n), 0);   // 0 pending, 1 connected, -1 failed
    for (uint64_t end = now_ns() + 30000000000ull; now_ns() < end;) {
        std::vector<pollfd> pf;
        for (int i = 0; i < n; i++)
            if (!state[size_t(i)]) pf.push_back({fds[size_t(i)], POLLOUT, 0});
        if (pf.empty()) break;
        poll(pf.data(), pf.size(), 100);
        for (auto &p : pf) {
            if (!p.revents) continue;
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            state[size_t(std::find(fds.begin(), fds.end(), p.fd) - fds.begin())] = err ? -1 : 1;
        }
    }
    return int(std::count(state.begin(), state.end(), 1));
}

// Sends one NULL call on every idle connection and waits up to 30 s for the
// replies: a reply proves the server took the connection and serves it.
// Prints answered / closed by the server / silent.
void idle_ping(const std::vector<int> &fds, const char *when) {
    const size_t n = fds.size();
    std::vector<int> st(n, 0);   // 0 waiting, 1 answered, -1 closed or wrong
    for (size_t i = 0; i < n; i++) {
        const uint32_t call[11] = {htonl(0x80000028u), htonl(0x5C000000u + uint32_t(i)), 0, htonl(2), htonl(100003), htonl(3), 0, 0, 0, 0, 0};
        if (send(fds[i], call, sizeof call, MSG_NOSIGNAL) != sizeof call) st[i] = -1;
    }
    const uint64_t t0 = now_ns();
    for (uint64_t end = t0 + 30000000000ull; now_ns() < end;) {
        std::vector<pollfd> pf;
        std::vector<size_t> which;
        for (size_t i = 0; i < n; i++)
            if (!st[i]) { pf.push_back({fds[i], POLLIN, 0}); which.push_back(i); }
        if (pf.empty()) break;
        poll(pf.data(), pf.size(), 100);
        for (size_t k = 0; k < pf.size(); k++) {
            if (!pf[k].revents) continue;
            const size_t i = which[k];
            uint32_t r[7];
            ssize_t got = recv(fds[i], r, sizeof r, 0);   // a 28-byte record arrives whole on loopback
            const uint32_t want[7] = {htonl(0x80000018u), htonl(0x5C000000u + uint32_t(i)), htonl(1), 0, 0, 0, 0};
            st[i] = got == 28 && !memcmp(r, want, sizeof r) ? 1 : -1;
        }
    }
    char line[200];
    snprintf(line, sizeof line, "# idle clients %s: %d of %zu answered a NULL call, %d closed or wrong, %d silent (%.1f s)\n",
             when, int(std::count(st.begin(), st.end(), 1)), n, int(std::count(st.begin(), st.end(), -1)),
             int(std::count(st.begin(), st.end(), 0)), double(now_ns() - t0) / 1e9);
    notes += line;
}

void usage() {
    puts("usage: nfs_scale [-t SECS] [-c CONNS] [-q DEPTH] [-m IDLE] [-r WAVES] [-s MiB] [-i READ_BYTES] -p SERVER_PID\n"
         "                 [--nfsport N] [--mountport N] EXPORT\n"
         "  defaults: 3 s per run, 64 connections, 4 in flight each, 1000 idle clients,\n"
         "  3 waves of idle clients in all (the later ones only connect, ping and close), 64 MiB file,\n"
         "  READs of 65536 bytes (at most the server's \"Datasize\")");
}

}  // namespace

int main(int argc, char **argv) {
    static const option lo[] = {{"nfsport", required_argument, nullptr, 'N'}, {"mountport", required_argument, nullptr, 'M'},
                                {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "t:c:q:m:r:s:i:p:h", lo, nullptr)) != -1;) {
        switch (c) {
        case 't': o.secs = atof(optarg); break;
        case 'c': o.conns = atoi(optarg); break;
        case 'q': o.depth = atoi(optarg); break;
        case 'm': o.idle = atoi(optarg); break;
        case 'r': o.waves = atoi(optarg); break;
        case 's': o.size = uint64_t(atoi(optarg)) << 20; break;
        case 'i': kIo = uint32_t(atoi(optarg)); break;
        case 'p': o.server_pid = atoi(optarg); break;
        case 'N': o.nfsport = atoi(optarg); break;
        case 'M': o.mountport = atoi(optarg); break;
        default: usage(); return c == 'h' ? 0 : 2;
        }
    }
    if (optind != argc - 1 || o.secs <= 0 || o.conns < 1 || o.conns > 254 || o.depth < 1 || o.idle < 0 ||
        o.idle > 1000 || kIo < 512 || kIo > 1048576 || o.size < kIo || o.server_pid <= 0) {
        usage();
        return 2;
    }
    o.url = "nfs://127.0.0.1" + std::string(argv[optind]) + "?nfsport=" + std::to_string(o.nfsport) + "&mountport=" + std::to_string(o.mountport);
    rlimit rl;   // the idle clients need a descriptor each
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) { rl.rlim_cur = rl.rlim_max; setrlimit(RLIMIT_NOFILE, &rl); }

    const uint64_t t_start = now_ns();
    setup();
    sleep(1);   // the setup connection's threads end
    printf("# nfs_scale: %.1f s per run, %d in flight per connection, %" PRIu64 " MiB file, %ld CPUs\n\n", o.secs,
           o.depth, o.size >> 20, sysconf(_SC_NPROCESSORS_ONLN));
    memory("no NFS connection");
    bool ok = true;
    auto runs = [&](int n_idle) {
        if (ok) ok = measure(false, n_idle);
        if (ok) ok = measure(true, n_idle);
    };
    for (int n : {1, o.conns}) {
        open_conns(n);
        runs(0);
        memory(std::to_string(n) + " connection(s), after the runs");
        if (n == 1) close_conns();
    }
    std::vector<int> idle;   // descriptors of the idle clients
    if (ok && o.idle > 0) {
        const uint64_t t0 = now_ns();
        const int up = idle_open(idle, o.idle);
        notes += "# idle clients: " + std::to_string(up) + " of " + std::to_string(o.idle) + " connected in " +
                 std::to_string(int((now_ns() - t0) / 1000000)) + " ms\n";
        idle_ping(idle, "before the runs");
        memory(std::to_string(o.conns) + " + " + std::to_string(o.idle) + " idle, before the runs");
        runs(o.idle);
        memory(std::to_string(o.conns) + " + " + std::to_string(o.idle) + " idle, after the runs");
        idle_ping(idle, "after the runs");
    }
    for (int s : idle) close(s);
    close_conns();
    sleep(2);   // the server's threads notice the closed connections
    memory("all closed, 2 s later");
    // Memory that a wave of clients leaves behind must not add up wave by wave.
    for (int r = 2; ok && o.idle > 0 && r <= o.waves; r++) {
        std::vector<int> more;
        idle_open(more, o.idle);
        idle_ping(more, ("of wave " + std::to_string(r)).c_str());
        memory("wave " + std::to_string(r) + ": " + std::to_string(o.idle) + " idle clients connected");
        for (int s : more) close(s);
        sleep(2);
        memory("wave " + std::to_string(r) + " of " + std::to_string(o.idle) + " idle clients closed, 2 s later");
    }
    printf("| server state | VmRSS | VmHWM (peak) | VmSize | threads | sockets |\n|---|---:|---:|---:|---:|---:|\n%s\n%s", mem_rows.c_str(),
           notes.c_str());
    printf("\n| workload | conns | qd | idle | secs | ops | ops/s | MiB/s | per-conn ops/s min / mean / max | min/mean |"
           " latency ms p50 / p99 / max | cli cpu%% | srv cpu%% | check |\n"
           "|---|---:|---:|---:|---:|---:|---:|---:|---|---:|---|---:|---:|---|\n%s", rows.c_str());
    cleanup();
    printf("# total %.1f s, %s\n", double(now_ns() - t_start) / 1e9, ok ? "all replies verified" : "VERIFICATION FAILED");
    return ok ? 0 : 1;
}
