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

panel_text_source g_source = nullptr;

}  // namespace

const panel_text_entry* panel_text_table(uint32_t* count) {
    *count = uint32_t(sizeof kTexts / sizeof kTexts[0]);
    return kTexts;
}

void panel_set_text_source(panel_text_source source) { g_source = source; }

std::string panel_text(uint32_t id) {
    std::string s;
    if (g_source && g_source(id, &s) && !s.empty()) return s;
    for (const panel_text_entry& t : kTexts)
        if (t.id == id) return t.builtin;
    return "";
}
