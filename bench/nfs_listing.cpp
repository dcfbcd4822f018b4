// Full READDIRPLUS listings of folders of the export, one request at a time
// (cookie and verifier chained), as a client that reads a large directory
// does. Prints names per second, replies per listing and names per reply for
// each folder; checks that every listing holds each name once and the count
// the caller expects. Figures only: nothing here is timed against a goal.
//
//   usage: nfs_listing [-c] [-l LOOPS] [-m MAXCOUNT] [-d DIRCOUNT] URL DIR=COUNT...
//
// With -c each folder is made first, with COUNT empty files, through the
// server (so they carry what the server keeps of a file it made).
//
// Build: g++ -std=c++17 -O2 -o nfs_listing nfs_listing.cpp -lnfs
extern "C" {
#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-nfs.h>
}

// libnfs 4 keeps struct nfs_fh opaque; this is its layout (a wrong one shows
// as a stale handle on the first reply).
struct nfs_fh {
    int len;
    char* val;
};

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace {

[[noreturn]] void die(const char* what, const char* detail) {
    std::fprintf(stderr, "nfs_listing: %s: %s\n", what, detail);
    std::exit(2);
}

struct reply_state {
    bool done = false;
    int status = 0;
    READDIRPLUS3res res{};
    std::vector<std::string> names;
    cookie3 last_cookie = 0;
    cookieverf3 verf{};
    bool eof = false;
};

void on_reply(rpc_context*, int status, void* data, void* private_data) {
    auto* s = static_cast<reply_state*>(private_data);
    s->done = true;
    s->status = status;
    if (status != RPC_STATUS_SUCCESS) return;
    auto* res = static_cast<READDIRPLUS3res*>(data);
    if (res->status != NFS3_OK) {
        s->status = -int(res->status);
        return;
    }
    READDIRPLUS3resok& ok = res->READDIRPLUS3res_u.resok;
    std::memcpy(s->verf, ok.cookieverf, sizeof s->verf);
    for (entryplus3* e = ok.reply.entries; e; e = e->nextentry) {
        s->names.emplace_back(e->name);
        s->last_cookie = e->cookie;
        if (!e->name_attributes.attributes_follow || !e->name_handle.handle_follows) s->status = -1000;
    }
    s->eof = ok.reply.eof;
}

void pump(rpc_context* rpc, const reply_state& s) {
    while (!s.done) {
        pollfd p{rpc_get_fd(rpc), short(rpc_which_events(rpc)), 0};
        const int rc = poll(&p, 1, 30000);
        if (rc == 0) die("READDIRPLUS", "no reply for 30 s");
        if (rc < 0 && errno != EINTR) die("poll", std::strerror(errno));
        if (rpc_service(rpc, rc > 0 ? p.revents : 0) < 0) die("connection", rpc_get_error(rpc));
    }
}

struct listing_figures {
    double seconds;
    uint64_t replies;
    uint64_t names;
};

// One full listing; exits on a wrong one.
listing_figures list_once(rpc_context* rpc, nfs_fh* fh, const char* dir, uint64_t expected, uint32_t maxcount,
                          uint32_t dircount) {
    std::unordered_set<std::string> seen;
    cookie3 cookie = 0;
    cookieverf3 verf{};
    uint64_t replies = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (;;) {
        reply_state s;
        READDIRPLUS3args a{};
        a.dir.data.data_len = fh->len;
        a.dir.data.data_val = fh->val;
        a.cookie = cookie;
        std::memcpy(a.cookieverf, verf, sizeof verf);
        a.dircount = dircount;
        a.maxcount = maxcount;
        if (rpc_nfs3_readdirplus_async(rpc, on_reply, &a, &s) != 0) die("queue", rpc_get_error(rpc));
        pump(rpc, s);
        if (s.status != 0) die(dir, s.status == -1000 ? "entry without attributes or handle" : "reply failed");
        ++replies;
        for (const std::string& n : s.names) {
            if (n == "." || n == "..") continue;
            if (!seen.insert(n).second) die(dir, ("listed twice: " + n).c_str());
        }
        if (s.eof) break;
        if (s.names.empty()) die(dir, "empty reply without eof");
        cookie = s.last_cookie;
        std::memcpy(verf, s.verf, sizeof verf);
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (seen.size() != expected) {
        char text[96];
        std::snprintf(text, sizeof text, "listed %zu names, expected %llu", seen.size(),
                      (unsigned long long)expected);
        die(dir, text);
    }
    return {secs, replies, seen.size()};
}

// The folder and its files f0000001... made through the server.
void make_folder(nfs_context* nfs, const std::string& dir, uint64_t count) {
    if (nfs_mkdir(nfs, dir.c_str()) != 0) die(dir.c_str(), nfs_get_error(nfs));
    for (uint64_t i = 1; i <= count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/f%07llu", (unsigned long long)i);
        nfsfh* h = nullptr;
        if (nfs_creat(nfs, (dir + name).c_str(), 0644, &h) != 0) die(name, nfs_get_error(nfs));
        nfs_close(nfs, h);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int loops = 3;
    bool make = false;
    uint32_t maxcount = 32768, dircount = 8192;
    int c;
    while ((c = getopt(argc, argv, "cl:m:d:")) != -1) {
        if (c == 'c') make = true;
        else if (c == 'l') loops = std::atoi(optarg);
        else if (c == 'm') maxcount = uint32_t(std::strtoul(optarg, nullptr, 10));
        else if (c == 'd') dircount = uint32_t(std::strtoul(optarg, nullptr, 10));
        else return 2;
    }
    if (argc - optind < 2 || loops < 1) {
        std::fputs("usage: nfs_listing [-c] [-l LOOPS] [-m MAXCOUNT] [-d DIRCOUNT] URL DIR=COUNT...\n", stderr);
        return 2;
    }
    nfs_context* nfs = nfs_init_context();
    if (!nfs) die("nfs_init_context", "failed");
    nfs_url* url = nfs_parse_url_dir(nfs, argv[optind]);
    if (!url) die("URL", nfs_get_error(nfs));
    if (nfs_mount(nfs, url->server, url->path) != 0) die("mount", nfs_get_error(nfs));
    rpc_context* rpc = nfs_get_rpc_context(nfs);
    std::printf("| folder | names | best names/s | replies per listing | names per reply | listings |\n"
                "|---|---:|---:|---:|---:|---:|\n");
    for (int i = optind + 1; i < argc; ++i) {
        std::string arg = argv[i];
        const size_t eq = arg.find('=');
        if (eq == std::string::npos) die("argument", "DIR=COUNT expected");
        const std::string dir = arg.substr(0, eq);
        const uint64_t expected = std::strtoull(arg.c_str() + eq + 1, nullptr, 10);
        if (make) make_folder(nfs, dir, expected);
        nfsfh* h = nullptr;
        if (nfs_open(nfs, dir.c_str(), O_RDONLY, &h) != 0) die(dir.c_str(), nfs_get_error(nfs));
        nfs_fh* fh = nfs_get_fh(h);
        double best = 0;
        listing_figures last{};
        for (int l = 0; l < loops; ++l) {
            last = list_once(rpc, fh, dir.c_str(), expected, maxcount, dircount);
            best = std::max(best, double(last.names) / last.seconds);
        }
        std::printf("| %s | %llu | %.0f | %llu | %.1f | %d |\n", dir.c_str(), (unsigned long long)last.names, best,
                    (unsigned long long)last.replies, double(last.names) / double(last.replies), loops);
        std::fflush(stdout);
        nfs_close(nfs, h);
    }
    nfs_destroy_url(url);
    nfs_destroy_context(nfs);
    return 0;
}
