/* The panel's resource and command numbers and its built-in English texts.
   Read by the C++ code and by the resource compiler alike, so it holds
   nothing but #define lines. Each text carries the key under which a
   language file replaces it: [Strings] keys for TEXT_*, [Menu] keys for
   MENU_*. */
#ifndef LUMENO_PANEL_IDS_H
#define LUMENO_PANEL_IDS_H

/* Resources */
#define IDI_PANEL 114          /* the program and tray icon */
#define IDI_LOG_ERROR 115      /* a log line that reports an error */
#define IDI_LOG_LINE 116       /* an ordinary log line */
#define IDM_MAIN 101           /* the menu bar */
#define IDA_MAIN 100           /* the accelerators */
#define IDD_ABOUT 104
#define IDC_ABOUT_PRODUCT 1000 /* the about box's product line */
#define IDC_ABOUT_LINK 1001    /* the button that opens the vendor's page */
#define IDC_HEADER_BAR 1069    /* the header line above the list */
#define IDC_STATUS_BAR 1032    /* the status line below it */
#define IDC_LIST 1007          /* the list view (no id of its own in the layout) */

/* Commands */
#define CMD_START 120
#define CMD_STOP 121
#define CMD_LOG 122
#define CMD_EXIT 123
#define CMD_PREFERENCES 124
#define CMD_EXPORTS 125
#define CMD_MOUNTS 126
#define CMD_NAMES 127
#define CMD_CONTENTS 128
#define CMD_ABOUT 131
#define CMD_INSERT 132
#define CMD_EDIT 133
#define CMD_REMOVE 134
#define CMD_DISCONNECT 135

/* Private window messages: WM_USER + n, and the tray icon's callback */
#define PANEL_MSG_REFRESH_OFFSET 0
#define PANEL_MSG_INSERT_OFFSET 1
#define PANEL_TRAY_MESSAGE 0x8000
#define PANEL_TRAY_ID 0x8000
#define PANEL_TIMER_ID 1

/* The program's names */
#define PANEL_TITLE "Tervalo NFS Server"
#define PANEL_VERSION_TEXT "1.2.70"
#define PANEL_VENDOR_PAGE "https://tervalo.example/nfs/"

/* [Strings] texts: the string table, numbered from 200 */
#define IDS_CLIENTS 200
#define TEXT_CLIENTS "Clients"
#define IDS_READY 201
#define TEXT_READY "Ready on Port"
#define IDS_ERROR_PIPE 202
#define TEXT_ERROR_PIPE "NFS Server service not active"
#define IDS_NFS_ERROR_1 203
#define TEXT_NFS_ERROR_1 "Initialization failed"
#define IDS_EXIT 204
#define TEXT_EXIT "Exit"
#define IDS_INSERT 205
#define TEXT_INSERT "Insert"
#define IDS_EDIT 206
#define TEXT_EDIT "Edit"
#define IDS_REMOVE 207
#define TEXT_REMOVE "Remove"
#define IDS_DISCONNECT 208
#define TEXT_DISCONNECT "Disconnect"
#define IDS_FOLDER 209
#define TEXT_FOLDER "Folder"
#define IDS_OPTIONS 210
#define TEXT_OPTIONS "Options"
#define IDS_TYPE 211
#define TEXT_TYPE "Type"
#define IDS_CLIENT 212
#define TEXT_CLIENT "Client"
#define IDS_ENTRIES 213
#define TEXT_ENTRIES "Entries"
#define IDS_MODE 214
#define TEXT_MODE "(view mode, no Administrator rights)"

/* [Menu] texts */
#define MENU_FILE "File"
#define MENU_SERVICE "Service"
#define MENU_START "&Start"
#define MENU_STOP "S&top"
#define MENU_LOG "&View Log"
#define MENU_EXIT "E&xit"
#define MENU_EDIT "Edit"
#define MENU_MENU "&Preferences"
#define MENU_VIEW "View"
#define MENU_EXPORTS "&Exported Folders"
#define MENU_MOUNTS "&Mounted Folders"
#define MENU_NAMES "Resolve Addresses"
#define MENU_HELP "Help"
#define MENU_CONTENTS "&Contents"
#define MENU_ABOUT "&About..."

#endif
