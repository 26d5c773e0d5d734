#pragma once

// Resource and control IDs of the program's windows.
enum {
    IDD_ABOUTBOX = 100,
    IDS_ABOUTBOX = 101,
    IDD_MAIN = 102,
    IDR_MAINFRAME = 128,

    IDC_VERSION = 1000,
    IDC_WEB_LINK = 1001,
    IDC_EMAIL_LINK = 1002,

    IDC_USER_LIST = 1003,
    IDC_EXTERNAL_IP = 1008,
    IDC_AUTO_HOST = 1010,
    IDC_START = 1011,
    IDC_AUTO_NAME = 1012,
    IDC_ADD_USER = 1014,
    IDC_DELETE_USERS = 1015,
    IDC_AUTO_CONFIG = 1019,
    IDC_HELP_BUTTON = 1027,
    IDC_EDIT_USER = 1028,
    IDC_FORWARD_STATUS = 1029, // the status line of forwarding; a label, no tooltip

    IDM_ABOUTBOX = 0x0010, // the About item of the window menu
};
