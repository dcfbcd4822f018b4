#include "lumeno/core/shell_verb.h"

#include "platform/registry.h"
#include "platform/win_error.h"

std::vector<shell_verb_request> shell_verb_requests(shell_verb_change change, const std::string& program_dir,
                                                    const std::string& text, uint32_t os_major) {
    const struct {
        const char* parent;
        const char* argument;   // what Explorer replaces: the folder clicked, or the folder shown
        uint32_t since_major;   // background verbs came with Windows 6
    } verbs[] = {{kShellFolderParent, "%1", 0}, {kShellBackgroundParent, "%V", 6}};
    std::vector<shell_verb_request> requests;
    for (const auto& v : verbs) {
        if (os_major < v.since_major) continue;
        shell_verb_request r;
        r.parent = v.parent;
        r.has_text = change != SHELL_VERB_UNREGISTER;
        if (r.has_text) r.text = text;
        r.has_command = change == SHELL_VERB_REGISTER;
        if (r.has_command) r.command = program_dir + "lumeno.exe \"" + v.argument + "\"";
        requests.push_back(r);
    }
    return requests;
}

int shell_verb_apply(control_client& c, shell_verb_change change, const std::string& program_dir,
                     const std::string& text, uint32_t os_major) {
    int done = 0;
    for (const shell_verb_request& r : shell_verb_requests(change, program_dir, text, os_major)) {
        const int rc = control_shell_menu(c, r.parent, kShellVerb, r.has_text ? r.text.c_str() : nullptr,
                                          r.has_command ? r.command.c_str() : nullptr);
        if (rc < 0) return -1;
        done += rc;
    }
    return done;
}

bool shell_verb_registered() {
    const std::string key = std::string(kShellFolderParent) + "\\" + kShellVerb;
    return key.size() <= kShellKeyPathMax && reg_open_key(REG_CLASSES_ROOT, key.c_str()) == WIN_ERROR_SUCCESS;
}

int shell_verb_rename(control_client& c, const std::string& text, uint32_t os_major) {
    if (!shell_verb_registered()) return 0;
    return shell_verb_apply(c, SHELL_VERB_RENAME, "", text, os_major);
}
