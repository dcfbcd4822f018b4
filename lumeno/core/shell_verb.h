// The Explorer verb "Export in NFS" on folders and, from Windows 6 on, on
// a folder's background: the keys the server is asked to write or delete
// under the classes root (the panel itself has no rights there), and
// whether the verb is registered.
#pragma once
#include "control_client/control_client.h"

#include <cstdint>
#include <string>
#include <vector>

inline constexpr char kShellVerb[] = "nfsserver";
inline constexpr char kShellFolderParent[] = "Directory\\shell";
inline constexpr char kShellBackgroundParent[] = "Directory\\Background\\shell";
inline constexpr size_t kShellKeyPathMax = 512;

enum shell_verb_change {
    SHELL_VERB_REGISTER,     // menu text and command
    SHELL_VERB_UNREGISTER,   // the server deletes the keys
    SHELL_VERB_RENAME,       // a new menu text; the commands stay as they are
};

struct shell_verb_request {
    const char* parent;
    bool has_text = false;
    std::string text;
    bool has_command = false;
    std::string command;   // the program folder, lumeno.exe and "%1" (or "%V") in quotes
};

// The requests of a change, the folder's first. program_dir ends in a
// backslash; os_major is the Windows major version.
std::vector<shell_verb_request> shell_verb_requests(shell_verb_change change, const std::string& program_dir,
                                                    const std::string& text, uint32_t os_major);
// Sends them with CTL_SHELL_MENU. Result: -1 pipe failure, else the number
// of requests the server carried out (a view-only connection: 0).
int shell_verb_apply(control_client& c, shell_verb_change change, const std::string& program_dir,
                     const std::string& text, uint32_t os_major);
// The verb's key exists under "Directory\shell"; a composed key path longer
// than 512 characters counts as absent.
bool shell_verb_registered();
// After a language change: renames the verb when it is registered. Result
// as shell_verb_apply; 0 when there is nothing to rename.
int shell_verb_rename(control_client& c, const std::string& text, uint32_t os_major);
