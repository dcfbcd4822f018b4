#include "lumeno/core/panel_texts.h"

namespace {

const panel_text_entry kTexts[] = {
    {IDS_CLIENTS, "CLIENTS", TEXT_CLIENTS},
    {IDS_READY, "READY", TEXT_READY},
    {IDS_ERROR_PIPE, "ERROR_PIPE", TEXT_ERROR_PIPE},
    {IDS_NFS_ERROR_1, "NFS_ERROR_1", TEXT_NFS_ERROR_1},
    {IDS_EXIT, "EXIT", TEXT_EXIT},
    {IDS_INSERT, "INSERT", TEXT_INSERT},
    {IDS_EDIT, "EDIT", TEXT_EDIT},
    {IDS_REMOVE, "REMOVE", TEXT_REMOVE},
    {IDS_DISCONNECT, "DISCONNECT", TEXT_DISCONNECT},
    {IDS_FOLDER, "FOLDER", TEXT_FOLDER},
    {IDS_OPTIONS, "OPTIONS", TEXT_OPTIONS},
    {IDS_TYPE, "TYPE", TEXT_TYPE},
    {IDS_CLIENT, "CLIENT", TEXT_CLIENT},
    {IDS_ENTRIES, "ENTRIES", TEXT_ENTRIES},
    {IDS_MODE, "MODE", TEXT_MODE},
};

// The export editor's and the configuration sheet's texts.
const panel_text_entry kDialogTexts[] = {
    {IDS_CONTEXT, "CONTEXT", TEXT_CONTEXT},
    {IDS_DIR_TITLE, "DIR_TITLE", TEXT_DIR_TITLE},
    {IDS_NOOPTARG, "NOOPTARG", TEXT_NOOPTARG},
    {IDS_NOTUNC, "NOTUNC", TEXT_NOTUNC},
    {IDS_NOTEXISTS, "NOTEXISTS", TEXT_NOTEXISTS},
    {IDS_LINE, "LINE", TEXT_LINE},
    {IDS_EXP_ERROR_1, "EXP_ERROR_1", TEXT_EXP_ERROR_1},
    {IDS_EXP_ERROR_2, "EXP_ERROR_2", TEXT_EXP_ERROR_2},
    {IDS_EXP_ERROR_3, "EXP_ERROR_3", TEXT_EXP_ERROR_3},
    {IDS_EXP_ERROR_4, "EXP_ERROR_4", TEXT_EXP_ERROR_4},
    {IDS_EXP_ERROR_5, "EXP_ERROR_5", TEXT_EXP_ERROR_5},
    {IDS_EXP_ERROR_6, "EXP_ERROR_6", TEXT_EXP_ERROR_6},
    {IDS_EXP_ERROR_7, "EXP_ERROR_7", TEXT_EXP_ERROR_7},
    {IDS_EXP_ERROR_8, "EXP_ERROR_8", TEXT_EXP_ERROR_8},
    {IDS_FAILED, "FAILED", TEXT_FAILED},
    {IDS_PAGE_NFS, "NFS", TEXT_PAGE_NFS},
    {IDS_PAGE_SERVER, "Server", TEXT_PAGE_SERVER},
    {IDS_PAGE_EXPORTS, "Exports", TEXT_PAGE_EXPORTS},
    {IDS_PAGE_MOUNTS, "Mounts", TEXT_PAGE_MOUNTS},
    {IDS_PAGE_PORTMAP, "PortMapper", TEXT_PAGE_PORTMAP},
    {IDS_PAGE_LANGUAGE, "Language", TEXT_PAGE_LANGUAGE},
    {IDS_MOUNT, "MOUNT", TEXT_MOUNT},
    {IDS_PROGRAM, "PROGRAM", TEXT_PROGRAM},
    {IDS_VERSION, "VERSION", TEXT_VERSION},
    {IDS_PROT, "PROT", TEXT_PROT},
    {IDS_PORT, "PORT", TEXT_PORT},
    {IDS_TCP, "TCP", TEXT_TCP},
    {IDS_UDP, "UDP", TEXT_UDP},
    {IDS_READ_ONLY, "READ_ONLY", TEXT_READ_ONLY},
    {IDS_SHELL_TEXT, "CONTEXT", TEXT_SHELL_TEXT},
    {IDS_TOO_LARGE, "TOO_LARGE", TEXT_TOO_LARGE},
    {IDS_PROTOCOL, "PROTOCOL", TEXT_PROTOCOL},
    {IDS_DATE, "DATE", TEXT_DATE},
    {IDS_TIME, "TIME", TEXT_TIME},
    {IDS_MODULE, "MODULE", TEXT_MODULE},
    {IDS_LANGUAGE_COLUMN, "LANGUAGE", TEXT_LANGUAGE_COLUMN},
};

panel_text_source g_source = nullptr;

}  // namespace

const panel_text_entry* panel_text_table(uint32_t* count) {
    *count = uint32_t(sizeof kTexts / sizeof kTexts[0]);
    return kTexts;
}

const panel_text_entry* panel_dialog_text_table(uint32_t* count) {
    *count = uint32_t(sizeof kDialogTexts / sizeof kDialogTexts[0]);
    return kDialogTexts;
}

void panel_set_text_source(panel_text_source source) { g_source = source; }

std::string panel_text(uint32_t id) {
    std::string s;
    if (g_source && g_source(id, &s) && !s.empty()) return s;
    for (const panel_text_entry& t : kTexts)
        if (t.id == id) return t.builtin;
    for (const panel_text_entry& t : kDialogTexts)
        if (t.id == id) return t.builtin;
    return "";
}

const char* panel_text_key(uint32_t id) {
    for (const panel_text_entry& t : kTexts)
        if (t.id == id) return t.key;
    for (const panel_text_entry& t : kDialogTexts)
        if (t.id == id) return t.key;
    return nullptr;
}
