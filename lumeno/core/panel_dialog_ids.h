/* The numbers of the export entry dialog, the raw exports editor and the
   configuration sheet, and their built-in English texts. Read by the C++
   code and by the resource compiler alike: #define lines only. TEXT_* are
   [Strings] texts (their keys follow the IDS_ name), CTRL_* [Control] texts. */
#ifndef LUMENO_PANEL_DIALOG_IDS_H
#define LUMENO_PANEL_DIALOG_IDS_H

/* Dialog resources */
#define IDD_PAGE_NFS 102
#define IDD_EXPORTS_EDITOR 103
#define IDD_PAGE_MOUNTS 106
#define IDD_PAGE_PORTMAP 107
#define IDD_PAGE_EXPORTS 108
#define IDD_PAGE_LANGUAGE 109
#define IDD_PAGE_SERVER 105
#define IDD_LOG 111
#define IDD_EXPORT_ENTRY 112

/* Export entry dialog (112) */
#define IDC_ENTRY_FOLDER_LABEL 1093
#define IDC_ENTRY_FOLDER 1072
#define IDC_ENTRY_BROWSE 1074
#define IDC_ENTRY_OPTIONS_LABEL 1094
#define IDC_ENTRY_OPTIONS 1075
#define IDC_OPT_ALLDIRS 1081
#define IDC_OPT_EXEC 1083
#define IDC_OPT_HIDE 1090
#define IDC_OPT_I32 1079
#define IDC_OPT_LOWERCASE 1085
#define IDC_OPT_PUBLIC 1082
#define IDC_OPT_READONLY 1080
#define IDC_OPT_ANSI 1030
#define IDC_OPT_ARGS_GROUP 1095
#define IDC_OPT_NAME 1086
#define IDC_OPT_MAPROOT 1087
#define IDC_OPT_MAPALL 1088
#define IDC_OPT_UMASK 1089
#define IDC_OPT_RANGE 1084
#define IDC_ENTRY_CLIENTS_LABEL 1096
#define IDC_ENTRY_CLIENTS 1076

/* Log viewer (111) */
#define IDC_LOG_LIST 1059
#define IDC_LOG_FILE_LABEL 1060
#define IDC_LOG_FILE 1061
#define IDC_LOG_PRINT 1070
#define IDC_LOG_STATUS 1032
#define CTRL_FILE "File:"
#define CTRL_PRINT "&Print"

/* Raw exports editor (103) */
#define IDC_EDITOR_TEXT 1058
#define IDC_EDITOR_STATUS 1032

/* Sheet pages */
#define IDC_PAGE_LIST 1007
#define IDC_PAGE_VIEW_LABEL 1071
#define IDC_EXPORTS_EDIT_FILE 1017
#define IDC_EXPORTS_STATUS 1032
#define IDC_FILTER_EXPORTS 1062
#define IDC_CONTEXT_MENU 1097
/* Language page (109); its list is IDC_PAGE_LIST */
#define IDC_LANGUAGE_LABEL 1046
#define IDC_LANGUAGE_TEXT 1006
#define IDC_LANGUAGE_AVAILABLE 1047
#define IDC_LANGUAGE_BY 1050
#define IDC_LANGUAGE_AUTHOR 1053
#define PAGE_TIMER_ID 2

/* NFS page (102) */
#define IDC_NFS_PROTOCOL 1045
#define IDC_NFS_V2 1026
#define IDC_NFS_V3 1027
#define IDC_NFS_MODE 1044
#define IDC_NFS_UDP 1020
#define IDC_NFS_TCP 1021
#define IDC_NFS_PORT_LABEL 1003
#define IDC_NFS_PORT 1004
#define IDC_MOUNT_PORT_LABEL 1011
#define IDC_MOUNT_PORT 1012
#define IDC_NFS_WEBNFS 1066
#define IDC_NFS_NLM 1064
#define IDC_NLM_PORT 1065
#define IDC_NFS_PORTMAP 1010
#define IDC_THREADS_LABEL 1040
#define IDC_THREADS 1005
#define IDC_BLOCKSIZE_LABEL 1042
#define IDC_BLOCKSIZE 1008
#define IDC_INODE_RESET 1033
#define IDC_NFS_INFO 1019

/* Server page (105) */
#define IDC_SRV_PROTSPEC 1091
#define IDC_SRV_NFS2WRITE 1022
#define IDC_SRV_NFS3WRITE 1023
#define IDC_SRV_LOWERCASE 1034
#define IDC_SRV_MAPROOT 1063
#define IDC_SRV_DIRCOUNT 1018
#define IDC_SRV_FILESPEC 1092
#define IDC_SRV_FILEID 1067
#define IDC_SRV_SAVEATTR 1098
#define IDC_SRV_SETEXEC 1037
#define IDC_SRV_CREATEACCESS 1035
#define IDC_SRV_SOFT 1024
#define IDC_SRV_REPARSE 1068
#define IDC_SRV_NTFS 1038
#define IDC_SRV_HARD 1025

/* [Strings] texts, numbered on from the main window's */
#define IDS_CONTEXT 230
#define TEXT_CONTEXT "Edit Exports"
#define IDS_DIR_TITLE 231
#define TEXT_DIR_TITLE "Select a folder for export:"
#define IDS_NOOPTARG 232
#define TEXT_NOOPTARG "Option argument not specified"
#define IDS_NOTUNC 233
#define TEXT_NOTUNC "Remote folder specification must use UNC format"
#define IDS_NOTEXISTS 234
#define TEXT_NOTEXISTS "Directory not available. Continue anyway?"
#define IDS_LINE 235
#define TEXT_LINE "Line"
#define IDS_EXP_ERROR_1 236
#define TEXT_EXP_ERROR_1 "Failed to open exports file"
#define IDS_EXP_ERROR_2 237
#define TEXT_EXP_ERROR_2 "ignored, expected drive"
#define IDS_EXP_ERROR_3 238
#define TEXT_EXP_ERROR_3 "ignored, expected path"
#define IDS_EXP_ERROR_4 239
#define TEXT_EXP_ERROR_4 "ignored, drive/folder is reparse point"
#define IDS_EXP_ERROR_5 240
#define TEXT_EXP_ERROR_5 "ignored, unknown option"
#define IDS_EXP_ERROR_6 241
#define TEXT_EXP_ERROR_6 "ignored, invalid client"
#define IDS_EXP_ERROR_7 242
#define TEXT_EXP_ERROR_7 "truncated, too many clients"
#define IDS_EXP_ERROR_8 243
#define TEXT_EXP_ERROR_8 "ignored, duplicate entry"
#define IDS_FAILED 244
#define TEXT_FAILED "Failed to create dialog"
#define IDS_PAGE_NFS 245
#define TEXT_PAGE_NFS "NFS"
#define IDS_PAGE_SERVER 246
#define TEXT_PAGE_SERVER "Server"
#define IDS_PAGE_EXPORTS 247
#define TEXT_PAGE_EXPORTS "Exports"
#define IDS_PAGE_MOUNTS 248
#define TEXT_PAGE_MOUNTS "Mounts"
#define IDS_PAGE_PORTMAP 249
#define TEXT_PAGE_PORTMAP "PortMapper"
#define IDS_PAGE_LANGUAGE 250
#define TEXT_PAGE_LANGUAGE "Language"
#define IDS_MOUNT 251
#define TEXT_MOUNT "Mount Point"
#define IDS_PROGRAM 252
#define TEXT_PROGRAM "Program"
#define IDS_VERSION 253
#define TEXT_VERSION "Version"
#define IDS_PROT 254
#define TEXT_PROT "Protocol"
#define IDS_PORT 255
#define TEXT_PORT "Port"
#define IDS_TCP 256
#define TEXT_TCP "TCP"
#define IDS_UDP 257
#define TEXT_UDP "UDP"
#define IDS_READ_ONLY 259
#define TEXT_READ_ONLY "Editing the exports needs administrator rights; shown read-only."
#define IDS_SHELL_TEXT 260     /* the Explorer verb's menu text; its key is CONTEXT as well */
#define TEXT_SHELL_TEXT "Export in NFS"
#define IDS_TOO_LARGE 262
#define TEXT_TOO_LARGE "The file is larger than this editor holds: shown in part, not saved."
#define IDS_PROTOCOL 263   /* the log viewer's title */
#define TEXT_PROTOCOL "Log"
#define IDS_DATE 264
#define TEXT_DATE "Date"
#define IDS_TIME 265
#define TEXT_TIME "Time"
#define IDS_MODULE 266    /* the Language page's columns */
#define TEXT_MODULE "Module"
#define IDS_LANGUAGE_COLUMN 267
#define TEXT_LANGUAGE_COLUMN "Language"
#define IDC_EXPORTS_READ_ONLY 1100

#endif
