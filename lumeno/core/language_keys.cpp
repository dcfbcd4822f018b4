#include "lumeno/core/language_keys.h"

#include "lumeno/core/panel_dialog_ids.h"
#include "lumeno/core/panel_ids.h"

namespace {

constexpr int kOk = 1, kCancel = 2;

const panel_control_key kControls[] = {
    // NFS page
    {IDD_PAGE_NFS, IDC_NFS_PROTOCOL, "PROTOCOL", "NFS Server protocol:"},
    {IDD_PAGE_NFS, IDC_NFS_V2, "V2", "Version 2"},
    {IDD_PAGE_NFS, IDC_NFS_V3, "V3", "Version 3"},
    {IDD_PAGE_NFS, IDC_NFS_MODE, "NFSMode", "Operate NFS Server on:"},
    {IDD_PAGE_NFS, IDC_NFS_UDP, "UDP", "UDP"},
    {IDD_PAGE_NFS, IDC_NFS_TCP, "TCP", "TCP"},
    {IDD_PAGE_NFS, IDC_NFS_PORT_LABEL, "NFSPORT", "NFS Server Port:"},
    {IDD_PAGE_NFS, IDC_MOUNT_PORT_LABEL, "MOUNTPORT", "Mount Daemon on Port:"},
    {IDD_PAGE_NFS, IDC_NFS_WEBNFS, "WEBNFS", "WebNFS Protocol"},
    {IDD_PAGE_NFS, IDC_NFS_NLM, "NLMPORT", "Network Lock Manager on Port:"},
    {IDD_PAGE_NFS, IDC_NFS_PORTMAP, "PORTMAP", "Use built-in portmapper"},
    {IDD_PAGE_NFS, IDC_THREADS_LABEL, "THREADS", "Number of UDP NFS Server Threads:"},
    {IDD_PAGE_NFS, IDC_BLOCKSIZE_LABEL, "BLOCKSIZE", "Maximum NFS transfer size (bytes):"},
    {IDD_PAGE_NFS, IDC_INODE_RESET, "INODERESET", "Reset inode-table on restart of server (needs restart of clients)"},
    {IDD_PAGE_NFS, IDC_NFS_INFO, "INFO", "Modifications are activated after server restart"},
    // Server page
    {IDD_PAGE_SERVER, IDC_SRV_PROTSPEC, "PROTSPEC", "Protocol specific"},
    {IDD_PAGE_SERVER, IDC_SRV_NFS2WRITE, "NFS2WRITE", "Async write for NFS-2 (faster)"},
    {IDD_PAGE_SERVER, IDC_SRV_NFS3WRITE, "NFS3WRITE", "Force sync write for NFS-3"},
    {IDD_PAGE_SERVER, IDC_SRV_LOWERCASE, "LOWERCASE", "Convert Windows drive letter for clients to lower case"},
    {IDD_PAGE_SERVER, IDC_SRV_MAPROOT, "MAPROOT", "Map client root to root"},
    {IDD_PAGE_SERVER, IDC_SRV_DIRCOUNT, "DIRCOUNT", "No count of sub-dirs (faster)"},
    {IDD_PAGE_SERVER, IDC_SRV_FILESPEC, "FILESPEC", "File system specific"},
    {IDD_PAGE_SERVER, IDC_SRV_FILEID, "FILEID", "Use Windows file ID as inode on NTFS volumes"},
    {IDD_PAGE_SERVER, IDC_SRV_SAVEATTR, "SAVEATTR", "Save unix attributes/uid/gid on NTFS volumes"},
    {IDD_PAGE_SERVER, IDC_SRV_SETEXEC, "SETEXEC", "Set execute bit for all files"},
    {IDD_PAGE_SERVER, IDC_SRV_CREATEACCESS, "CREATEACCESS", "Use default file access mode for create with mode zero"},
    {IDD_PAGE_SERVER, IDC_SRV_SOFT, "SOFT", "Allow unix style symbolic links"},
    {IDD_PAGE_SERVER, IDC_SRV_REPARSE, "REPARSE", "Use NTFS reparse points for symbolic links"},
    {IDD_PAGE_SERVER, IDC_SRV_NTFS, "NTFS", "Allow hard links on NTFS volumes"},
    {IDD_PAGE_SERVER, IDC_SRV_HARD, "HARD", "Emulate hard links by a file copy for other volumes."},
    {IDD_PAGE_SERVER, IDC_NFS_INFO, "INFO", "Modifications are activated after server restart"},
    // Exports, Mounts and Language pages
    {IDD_PAGE_EXPORTS, IDC_PAGE_VIEW_LABEL, "CLIENTVIEW", "Client view of folders"},
    {IDD_PAGE_EXPORTS, IDC_EXPORTS_EDIT_FILE, "EXPORTS", "&Edit exports file"},
    {IDD_PAGE_EXPORTS, IDC_FILTER_EXPORTS, "FILTEREXPORTS", "Entries visible to authorized clients only"},
    {IDD_PAGE_EXPORTS, IDC_CONTEXT_MENU, "CONTEXT", "Add  Export via NFS  to context menu of folders"},
    {IDD_PAGE_MOUNTS, IDC_PAGE_VIEW_LABEL, "CLIENTVIEW", "Client view of folders"},
    {IDD_PAGE_LANGUAGE, IDC_LANGUAGE_LABEL, "LANGUAGE", "Current Language:"},
    {IDD_PAGE_LANGUAGE, IDC_LANGUAGE_AVAILABLE, "AVAILABLE", "Available Languages:"},
    {IDD_PAGE_LANGUAGE, IDC_LANGUAGE_BY, "TRANSLATION", "Translation by:"},
    // Export entry dialog
    {IDD_EXPORT_ENTRY, IDC_ENTRY_FOLDER_LABEL, "FOLDER", "Folder"},
    {IDD_EXPORT_ENTRY, IDC_ENTRY_OPTIONS_LABEL, "OPTIONS", "Options"},
    {IDD_EXPORT_ENTRY, IDC_OPT_ALLDIRS, "OPTALLDIRS", "-alldirs  Allow clients to mount subfolders"},
    {IDD_EXPORT_ENTRY, IDC_OPT_EXEC, "OPTEXEC", "-exec  Set execute bit for all files"},
    {IDD_EXPORT_ENTRY, IDC_OPT_HIDE, "OPTHIDE", "-hide  Entry visible on authorized clients only"},
    {IDD_EXPORT_ENTRY, IDC_OPT_I32, "OPTI32", "-i32  Limit inode size to 32 bits"},
    {IDD_EXPORT_ENTRY, IDC_OPT_LOWERCASE, "OPTLOWERCASE", "-lowercase  Convert names of folders and files to lower case"},
    {IDD_EXPORT_ENTRY, IDC_OPT_PUBLIC, "OPTPUBLIC", "-public  Export as start folder for WEBNFS"},
    {IDD_EXPORT_ENTRY, IDC_OPT_READONLY, "OPTREADONLY", "-readonly  Readonly access"},
    {IDD_EXPORT_ENTRY, IDC_OPT_ANSI, "ANSI", "-w  Clients use Windows (ANSI) character-set, not UTF-8"},
    {IDD_EXPORT_ENTRY, IDC_OPT_ARGS_GROUP, "OPTARGS", "Options with arguments"},
    {IDD_EXPORT_ENTRY, IDC_OPT_NAME, "OPTNAME", "-name:  Visible name of folder on clients"},
    {IDD_EXPORT_ENTRY, IDC_OPT_MAPROOT, "OPTMAPROOT", "-maproot:  Map root access to specified uid:gid"},
    {IDD_EXPORT_ENTRY, IDC_OPT_MAPALL, "OPTMAPALL", "-mapall:  Map all clients to specified  uid:gid"},
    {IDD_EXPORT_ENTRY, IDC_OPT_UMASK, "OPTUMASK", "-umask:  Use specified access mask for clients"},
    {IDD_EXPORT_ENTRY, IDC_OPT_RANGE, "OPTRANGE", "-range  Client name/address list specifies ranges"},
    {IDD_EXPORT_ENTRY, IDC_ENTRY_CLIENTS_LABEL, "CLIENTS", "Names or IP Addresses of clients"},
    {IDD_EXPORT_ENTRY, kOk, "SAVE", "Save"},
    {IDD_EXPORT_ENTRY, kCancel, "CANCEL", "Cancel"},
    // Raw exports editor and log viewer
    {IDD_EXPORTS_EDITOR, kOk, "SAVE", "Save"},
    {IDD_LOG, IDC_LOG_FILE_LABEL, "FILE", CTRL_FILE},
    {IDD_LOG, IDC_LOG_PRINT, "PRINT", CTRL_PRINT},
};

const panel_menu_key kMenus[] = {
    {0, 0, -1, "FILE", MENU_FILE},
    {0, 0, 0, "SERVICE", MENU_SERVICE},
    {CMD_START, 0, 0, "START", MENU_START},
    {CMD_STOP, 0, 0, "STOP", MENU_STOP},
    {CMD_LOG, 0, -1, "LOG", MENU_LOG},
    {CMD_EXIT, 0, -1, "EXIT", MENU_EXIT},
    {0, 1, -1, "EDIT", MENU_EDIT},
    {CMD_PREFERENCES, 1, -1, "MENU", MENU_MENU},
    {0, 2, -1, "VIEW", MENU_VIEW},
    {CMD_EXPORTS, 2, -1, "EXPORTS", MENU_EXPORTS},
    {CMD_MOUNTS, 2, -1, "MOUNTS", MENU_MOUNTS},
    {CMD_NAMES, 2, -1, "NAMES", MENU_NAMES},
    {0, 3, -1, "HELP", MENU_HELP},
    {CMD_CONTENTS, 3, -1, "CONTENTS", MENU_CONTENTS},
    {CMD_ABOUT, 3, -1, "ABOUT", MENU_ABOUT},
};

}  // namespace

const panel_control_key* panel_control_keys(uint32_t* count) {
    *count = uint32_t(sizeof kControls / sizeof kControls[0]);
    return kControls;
}

const panel_menu_key* panel_menu_keys(uint32_t* count) {
    *count = uint32_t(sizeof kMenus / sizeof kMenus[0]);
    return kMenus;
}
