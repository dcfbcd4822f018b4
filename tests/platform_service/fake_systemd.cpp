#ifndef _WIN32
#include "fake_systemd.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// Arguments are recorded one by one so that a test sees their boundaries.
constexpr const char* kScript = R"sh(#!/bin/sh
d='@ROOT@'
for a in "$@"; do printf '[%s]' "$a"; done >> "$d/calls"
echo >> "$d/calls"
if [ -f "$d/fail-$1" ]; then exit "$(cat "$d/fail-$1")"; fi
case "$1" in
is-active)
    if [ -f "$d/state" ]; then s=$(cat "$d/state"); else s=inactive; fi
    echo "$s"
    [ "$s" = active ] ;;
stop)
    echo deactivating > "$d/state" ;;
esac
)sh";

bool write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return bool(out);
}

}  // namespace

bool fake_systemd_start(fake_systemd& f) {
    char tmpl[] = "/tmp/tervalo-svc-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    if (!made) return false;
    f.root = made;
    f.unit_dir = f.root + "/units";
    f.systemctl = f.root + "/systemctl";
    std::error_code ec;
    fs::create_directory(f.unit_dir, ec);
    if (ec) return false;
    std::string script = kScript;
    script.replace(script.find("@ROOT@"), 6, f.root);
    if (!write_text(f.systemctl, script) || ::chmod(f.systemctl.c_str(), 0755) != 0) return false;
    ::setenv("TERVALO_SYSTEMD_DIR", f.unit_dir.c_str(), 1);
    ::setenv("TERVALO_SYSTEMCTL", f.systemctl.c_str(), 1);
    return true;
}

void fake_systemd_stop(fake_systemd& f) {
    ::unsetenv("TERVALO_SYSTEMD_DIR");
    ::unsetenv("TERVALO_SYSTEMCTL");
    std::error_code ec;
    if (!f.root.empty()) fs::remove_all(f.root, ec);
    f.root.clear();
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string fake_calls(const fake_systemd& f) {
    const std::string calls = read_text(f.root + "/calls");
    return calls == "<missing>" ? "" : calls;
}

void fake_set_state(const fake_systemd& f, const std::string& state) { write_text(f.root + "/state", state + "\n"); }

void fake_fail_verb(const fake_systemd& f, const std::string& verb, int code) {
    write_text(f.root + "/fail-" + verb, std::to_string(code) + "\n");
}
#endif
