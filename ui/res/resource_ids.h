// Resource ids of the downloader's dialogs, controls, pictures, icon and strings. Included by the
// resource script and by the C++ code (plain #defines, so windres reads it too).
#pragma once

// Dialog templates.
#define IDD_GET_INTERNET 130
#define IDD_INSTALL 132
#define IDD_OPTION 134
#define IDD_PROGRESS 135
#define IDD_UPDATE 139

// Strings, icon, bitmap.
#define IDS_ABOUTBOX 101
#define IDR_MAINFRAME 181
#define IDB_PROGRESS_FILL 148

// Pictures (resource type "PNG").
#define IDP_QUERY 174
#define IDP_WELCOME 175
#define IDP_OPTIONS 176
#define IDP_PROGRESS_A 177
#define IDP_PROGRESS_B 178
#define IDP_UPDATE 180
#define IDP_REINSTALL 184

// Controls.
#define IDC_BACK 1011
#define IDC_SHORTCUT_LABEL 1013
#define IDC_QUICK_LAUNCH 1014
#define IDC_START_MENU 1015
#define IDC_DESKTOP 1016
#define IDC_INSTALL_DIR 1017
#define IDC_BROWSE 1018
#define IDC_STATUS 1020
#define IDC_FILE_PROGRESS 1021
#define IDC_TOTAL_PROGRESS 1022
#define IDC_FILE_PERCENT 1023
#define IDC_TOTAL_PERCENT 1024
#define IDC_QUERY_STATUS 1029
#define IDC_RETRY 1030
#define IDC_AUTOSTART 1031

// System-menu item appended from IDS_ABOUTBOX.
#define IDM_ABOUTBOX 16
