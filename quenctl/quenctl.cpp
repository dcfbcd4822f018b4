// quenctl: a command-line client of the server's control pipe.
#include "control_client/control_client.h"
#include "platform/pipe.h"
#include "quenctl/client_form.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "usage: quenctl COMMAND [ARGS]\n"
    "  exports              the exported folders and the clients each admits\n"
    "  mounts               the mounts, as host:folder\n"
    "  reload               re-read the exports file\n"
    "  unexport FOLDER      remove an export (as listed by exports, or its server folder)\n"
    "  umount HOST:FOLDER   remove a mount (as listed by mounts, or by the client's address)\n"
    "  settings             the server's live settings\n"
    "  logs                 the log files\n"
    "  log NAME             print a log file\n"
    "The pipe is %s. Exit status: 0 done, 1 refused or not found, 2 no server or bad usage.\n";

struct export_info {
    uint32_t ref;
    std::string folder, shown;   // the server's folder; what clients see
    std::vector<std::string> clients;
};

struct mount_info {
    uint32_t ref;
    std::string host, address, shown;   // the host's name (or address), its dotted address
};

int pipe_failed() {
    std::fprintf(stderr, "quenctl: the server's control pipe %s does not answer\n", pipe_name());
    return 2;
}

uint32_t word(const uint8_t* p, size_t offset) { return control_get32(p + offset); }

int fetch_text(control_client& c, uint32_t code, uint32_t ref, std::string* out) {
    uint8_t data[4];
    control_put32(data, ref);
    char text[kControlDataMax + 1] = {};
    const int rc = control_request_result(c, code, 4, data, 1, text, kControlDataMax);
    if (rc > 0) *out = text;
    return rc;
}

bool lowercase_setting(control_client& c) {
    uint8_t record[kControlSettingsSize] = {};
    return control_request_result(c, CTL_GET_SETTINGS, 0, nullptr, kControlSettingsSize, record, sizeof record) <= 0 ||
           word(record, 128) != 0;
}

// Walks the export list by the entries' own references. Result: -1 pipe failure, else 1.
int load_exports(control_client& c, std::vector<export_info>* out) {
    const bool lowercase = lowercase_setting(c);
    uint32_t ref = 0;
    for (size_t guard = 0; guard < 100000; ++guard) {
        uint8_t data[4], image[kControlExportImageSize];
        control_put32(data, ref);
        const int rc = control_request_result(c, CTL_GET_EXPORT, ref ? 4 : 0, data, kControlExportImageSize, image,
                                              sizeof image);
        if (rc < 0) return -1;
        if (rc == 0) return 1;
        export_info e{word(image, 0), {}, {}, {}};
        if (fetch_text(c, CTL_GET_EXPORT_FOLDER, e.ref, &e.folder) < 0) return -1;
        std::string alias;
        if (word(image, 12) != 0 && fetch_text(c, CTL_GET_EXPORT_NAME, e.ref, &alias) < 0) return -1;
        e.shown = alias.empty() ? client_form(e.folder, lowercase) : alias;
        uint8_t addresses[kControlDataMax];
        control_put32(data, e.ref);
        const int n = control_request_result(c, CTL_GET_EXPORT_CLIENTS, 4, data, 0, addresses, sizeof addresses);
        if (n < 0) return -1;
        const uint32_t count = n > 0 ? word(c.reply, 4) / 4 : 0;
        for (uint32_t i = 0; i < count; ++i) {
            char dotted[16];
            const uint8_t* a = addresses + 4 * i;
            std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
            e.clients.push_back(dotted);
        }
        out->push_back(e);
        ref = word(image, 4);
        if (ref == 0) return 1;
    }
    return 1;
}

// The mounted folder as clients see it: under an alias when its export has one.
std::string mount_shown(const std::string& path, const export_info* e, bool lowercase) {
    if (!e || e->shown.empty() || e->shown[0] != '/' || e->shown == client_form(e->folder, lowercase))
        return client_form(path, lowercase);
    if (path.size() < e->folder.size()) return e->shown;
    return e->shown + client_form(path.substr(e->folder.size()), lowercase);
}

int load_mounts(control_client& c, std::vector<mount_info>* out) {
    std::vector<export_info> exports;
    if (load_exports(c, &exports) < 0) return -1;
    const bool lowercase = lowercase_setting(c);
    uint32_t ref = 0;
    std::vector<uint8_t> entry(kControlDataMax + 1, 0);
    for (size_t guard = 0; guard < 1000000; ++guard) {
        uint8_t data[4];
        control_put32(data, ref);
        const int rc = control_request_result(c, CTL_GET_MOUNT, ref ? 4 : 0, data, kControlMountImageSize,
                                              entry.data(), kControlDataMax);
        if (rc < 0) return -1;
        if (rc == 0) return 1;
        entry[kControlDataMax] = 0;
        mount_info m{word(entry.data(), 0), {}, {}, {}};
        const char* host = reinterpret_cast<const char*>(entry.data() + 8);
        const uint8_t* a = entry.data() + 520;
        char dotted[16];
        std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
        m.address = dotted;
        m.host = memchr(host, 0, 512) && host[0] ? host : dotted;
        const std::string path(reinterpret_cast<const char*>(entry.data() + kControlMountPathOffset));
        const uint32_t export_ref = word(entry.data(), 560);
        const export_info* e = nullptr;
        for (const export_info& x : exports)
            if (x.ref == export_ref) e = &x;
        m.shown = mount_shown(path, e, lowercase);
        out->push_back(m);
        ref = word(entry.data(), 4);
        if (ref == 0) return 1;
    }
    return 1;
}

int list_exports(control_client& c) {
    std::vector<export_info> exports;
    if (load_exports(c, &exports) < 0) return pipe_failed();
    size_t width = 0;
    for (const export_info& e : exports) width = std::max(width, e.shown.size());
    for (const export_info& e : exports) {
        std::string groups;
        for (const std::string& g : e.clients) groups += (groups.empty() ? "" : ",") + g;
        std::printf("%-*s %s\n", int(width), e.shown.c_str(), groups.empty() ? "(everyone)" : groups.c_str());
    }
    return 0;
}

int list_mounts(control_client& c) {
    std::vector<mount_info> mounts;
    if (load_mounts(c, &mounts) < 0) return pipe_failed();
    std::vector<std::string> lines;
    for (const mount_info& m : mounts) lines.push_back(m.host + ":" + m.shown);
    std::sort(lines.begin(), lines.end());
    for (const std::string& l : lines) std::printf("%s\n", l.c_str());
    return 0;
}

// Requests whose reply carries only a status. Result: the exit status.
int simple(control_client& c, uint32_t code, uint32_t ref, bool with_ref, const char* what) {
    uint8_t data[4];
    control_put32(data, ref);
    const int rc = control_request(c, code, with_ref ? 4 : 0, with_ref ? data : nullptr);
    if (rc < 0) return pipe_failed();
    if (rc == 0) {
        const uint32_t status = control_get32(c.reply);
        std::fprintf(stderr, "quenctl: %s refused%s\n", what, status == CTL_DENIED ? " (not an administrator)" : "");
        return 1;
    }
    return 0;
}

int unexport(control_client& c, const char* folder) {
    std::vector<export_info> exports;
    if (load_exports(c, &exports) < 0) return pipe_failed();
    for (const export_info& e : exports)
        if (e.shown == folder || e.folder == folder) return simple(c, CTL_REMOVE_EXPORT, e.ref, true, "removal");
    std::fprintf(stderr, "quenctl: no export %s\n", folder);
    return 1;
}

int umount(control_client& c, const char* what) {
    std::vector<mount_info> mounts;
    if (load_mounts(c, &mounts) < 0) return pipe_failed();
    for (const mount_info& m : mounts)
        if (m.host + ":" + m.shown == what || m.address + ":" + m.shown == what)
            return simple(c, CTL_REMOVE_MOUNT, m.ref, true, "removal");
    std::fprintf(stderr, "quenctl: no mount %s\n", what);
    return 1;
}

int settings(control_client& c) {
    // The record's words in order; 16-bit ports at 24, 26 and 28.
    static const char* const kNames[] = {
        "Log", "PortMapper", "UDP", "TCP", "Mount", "NLM", nullptr, nullptr, "Version2", "Version3", nullptr,
        "Mount-Resolv", "Threads", "HardLinks", "SoftLinks", "Datasize", "MaxRead", "MaxWrite", "Dirsize",
        "NFS2Write", "NFS3Write", "NFS3WriteUnstable", "FHsize", "CreateAccess", "Cache", "InodeReset",
        "InodeCheck", "SetExec", "WebNFS", "MapRoot", "FilterExports", "CodePage", "Lowercase", "LocktimeMs",
        "ReadDirPlus", "SO_Rcvbuf", "SO_Tcpbuf", "DirCount", "FileId", "Automount", "SaveAttr", "x2system",
        "win10tag", "HardLinksAvailable", "FileIdsAvailable"};
    static_assert(sizeof kNames / sizeof kNames[0] * 4 == kControlSettingsSize);
    uint8_t r[kControlSettingsSize];
    const int rc = control_request_result(c, CTL_GET_SETTINGS, 0, nullptr, kControlSettingsSize, r, sizeof r);
    if (rc < 0) return pipe_failed();
    if (rc == 0) return 1;
    for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
        if (i == 6) {
            std::printf("Port=%u\nMount-Port=%u\n", r[24] | r[25] << 8, r[26] | r[27] << 8);
        } else if (i == 7) {
            std::printf("NLM-Port=%u\n", r[28] | r[29] << 8);
        } else if (kNames[i]) {
            std::printf("%s=%d\n", kNames[i], int(word(r, 4 * i)));
        }
    }
    return 0;
}

int logs(control_client& c) {
    uint32_t search = 0;
    control_find_data d{};
    int rc = control_find_first(c, "quen*.log", &search, &d);
    if (rc < 0) return pipe_failed();
    std::vector<std::string> names;
    while (rc > 0) {
        d.name[sizeof d.name - 1] = 0;
        names.push_back(d.name);
        rc = control_find_next(c, search, &d);
    }
    if (rc < 0) return pipe_failed();
    if (!names.empty()) control_find_close(c, search);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) std::printf("%s\n", n.c_str());
    return 0;
}

int print_log(control_client& c, const char* name) {
    uint32_t file = 0;
    const int rc = control_open_file(c, name, "r", &file);
    if (rc < 0) return pipe_failed();
    if (rc == 0) {
        std::fprintf(stderr, "quenctl: cannot open %s\n", name);
        return 1;
    }
    char line[kControlLineMax + 1];
    int n;
    while ((n = control_read_line(c, file, line, sizeof line)) > 0) std::fwrite(line, 1, size_t(n - 1), stdout);
    if (n < 0) return pipe_failed();
    control_close_file(c, file);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "--help" || cmd == "-h") {
        std::printf(kUsage, pipe_name());
        return 0;
    }
    static control_client c;
    int rc = -1;
    if (argc == 2 && cmd == "exports") rc = list_exports(c);
    else if (argc == 2 && cmd == "mounts") rc = list_mounts(c);
    else if (argc == 2 && cmd == "reload") rc = simple(c, CTL_RELOAD_EXPORTS, 0, false, "reload");
    else if (argc == 3 && cmd == "unexport") rc = unexport(c, argv[2]);
    else if (argc == 3 && cmd == "umount") rc = umount(c, argv[2]);
    else if (argc == 2 && cmd == "settings") rc = settings(c);
    else if (argc == 2 && cmd == "logs") rc = logs(c);
    else if (argc == 3 && cmd == "log") rc = print_log(c, argv[2]);
    if (rc < 0) {
        std::fprintf(stderr, kUsage, pipe_name());
        return 2;
    }
    control_disconnect(c);
    std::fflush(stdout);
    return rc;
}
