// A stand-in for systemd in a temporary folder: a unit directory and a fake
// systemctl script that records every call it gets and answers is-active from
// a state file. The POSIX backend is pointed at both by its test variables.
#pragma once
#ifndef _WIN32
#include <string>

struct fake_systemd {
    std::string root;        // the temporary folder
    std::string unit_dir;    // root + "/units"
    std::string systemctl;   // root + "/systemctl"
};

// Makes the folder and the script and sets TERVALO_SYSTEMD_DIR and
// TERVALO_SYSTEMCTL. Result: made.
bool fake_systemd_start(fake_systemd& f);
// Unsets the variables and removes the folder.
void fake_systemd_stop(fake_systemd& f);

// The calls so far, one line each, every argument in brackets:
// "[enable][NFSserver.service]\n".
std::string fake_calls(const fake_systemd& f);
// What is-active prints from now on ("active", "deactivating", ...); stop
// sets it to "deactivating". Without a state is-active prints "inactive".
void fake_set_state(const fake_systemd& f, const std::string& state);
// Makes every later call with this verb exit with `code` before doing anything.
void fake_fail_verb(const fake_systemd& f, const std::string& verb, int code);
// Whole text of a file, or "<missing>".
std::string read_text(const std::string& path);
#endif
