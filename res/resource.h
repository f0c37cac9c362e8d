// Identifiers of the installer's resources. Included by the resource script and by the code.
#pragma once

// Dialog templates.
#define IDD_ABOUT 100
#define IDD_INSTALL_WIZARD 102
#define IDD_PROGRESS_STRIP 130

// Strings and menu commands.
#define IDS_ABOUT_MENU 101
#define IDM_ABOUT 0x0010

// Icon, the skin picture (resource type "IMG") and the bitmaps.
#define IDI_APP 128
#define IDB_SKIN 129
#define IDB_BAR_FILL 131
#define IDB_BAR_CAP 132
#define IDB_MINIMIZE 133
#define IDB_CLOSE 134
#define IDB_START 135
#define IDB_AGREE_ON 136
#define IDB_AGREE_OFF 137
#define IDB_START_DISABLED 138
#define IDB_PAUSE 139
#define IDB_CONTINUE 140
#define IDB_BROWSE 141

// The same art drawn at 150 % and 200 % (PNG pictures of type "IMG"): the id of the 100 % piece
// plus ART_SET_150 or ART_SET_200.
#define ART_SET_150 100
#define ART_SET_200 200
#define IDB_SKIN_150 229
#define IDB_BAR_FILL_150 231
#define IDB_BAR_CAP_150 232
#define IDB_MINIMIZE_150 233
#define IDB_CLOSE_150 234
#define IDB_START_150 235
#define IDB_AGREE_ON_150 236
#define IDB_AGREE_OFF_150 237
#define IDB_START_DISABLED_150 238
#define IDB_PAUSE_150 239
#define IDB_CONTINUE_150 240
#define IDB_BROWSE_150 241
#define IDB_SKIN_200 329
#define IDB_BAR_FILL_200 331
#define IDB_BAR_CAP_200 332
#define IDB_MINIMIZE_200 333
#define IDB_CLOSE_200 334
#define IDB_START_200 335
#define IDB_AGREE_ON_200 336
#define IDB_AGREE_OFF_200 337
#define IDB_START_DISABLED_200 338
#define IDB_PAUSE_200 339
#define IDB_CONTINUE_200 340
#define IDB_BROWSE_200 341

// Controls.
#define IDC_STATIC -1
#define IDC_STRIP_PICTURE 1000
#define IDC_BAR_CAP 1002
#define IDC_CLOSE 1003
#define IDC_STATUS 1004
#define IDC_MINIMIZE 1006
#define IDC_AGREE 1007
#define IDC_PATH 1008
#define IDC_BROWSE 1009
#define IDC_TERMS_LINK 1010
#define IDC_MANUAL_LINK 1011
#define IDC_LOG_PATH 1012

#ifndef RC_INVOKED
// Resource type of the PNG skin picture.
constexpr const wchar_t* kSkinImageType = L"IMG";
#endif
