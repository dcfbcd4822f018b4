#include "lumeno/core/command_line.h"

#include <algorithm>
#include <cstring>

panel_start_plan panel_command_line(const char* argument, bool admin, const panel_local_files& local) {
    panel_start_plan plan;
    if (!argument) return plan;
    const size_t length = std::strlen(argument);
    if (length > kCommandLineFolderMax) {
        plan.kind = PANEL_START_END;
        return plan;
    }
    // Explorer quotes "%1": a drive root "C:\" arrives as C:" (the backslash
    // escapes the closing quote), so the text ends at the first quote.
    std::string folder(argument, length);
    folder.resize(std::min(folder.find('"'), folder.size()));
    if (folder.empty()) return plan;
    const uint32_t attributes = local.attributes(folder.c_str());
    if (attributes != kPanelNoFile && !(attributes & kPanelDirectoryAttribute)) {
        plan.kind = PANEL_START_END;
        return plan;
    }
    if (!admin) {
        plan.kind = PANEL_START_ELEVATE;
        plan.parameters = panel_quote_argument(export_folder_with_unc(folder, local));
        return plan;
    }
    plan.kind = PANEL_START_INSERT;
    plan.folder = folder;
    return plan;
}

std::string panel_quote_argument(const std::string& argument) {
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled and the quote escaped;
        // elsewhere they stand for themselves.
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    quoted += '"';
    return quoted;
}
