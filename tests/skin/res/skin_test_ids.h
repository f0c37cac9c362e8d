// Identifiers of the skin tests' resources. The art ids match the installer's.
#pragma once

#define IDD_SKIN_WIZARD_TEST 300
#define IDD_SKIN_PLAIN_TEST 301
#define IDD_LINK_TEST 302

#define IDB_SKIN 129
#define IDB_MINIMIZE 133
#define IDB_CLOSE 134
#define IDB_START 135
#define IDB_AGREE_ON 136
#define IDB_AGREE_OFF 137
#define IDB_START_DISABLED 138
#define IDB_PAUSE 139
#define IDB_CONTINUE 140
#define IDB_BROWSE 141
#define IDB_BAR_CAP 132
#define IDB_STRIP68 310
#define IDB_NOT_A_PNG 399

// Controls of the wizard-like dialog (the installer's numbers).
#define IDC_BAR_CAP 1002
#define IDC_CLOSE 1003
#define IDC_STATUS 1004
#define IDC_MINIMIZE 1006
#define IDC_AGREE 1007
#define IDC_PATH 1008
#define IDC_BROWSE 1009
#define IDC_TERMS_LINK 1010
#define IDC_MANUAL_LINK 1011

// Controls of the plain host dialog.
#define IDC_UPPER 401
#define IDC_LOWER 402
#define IDC_EDIT 403
#define IDC_HIDDEN 404

// Controls of the link and button dialog.
#define IDC_LINK_LEFT 501
#define IDC_LINK_EMPTY 502
#define IDC_LINK_CENTER 503
#define IDC_LINK_RIGHT 504
#define IDC_LINK_CENTERIMAGE 505
#define IDC_LINK_NOASSOC 506
#define IDC_HOVER 510
#define IDC_HOVER_OTHER 511
