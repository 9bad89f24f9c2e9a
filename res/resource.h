// Resource, control and command ids, shared by the resource script and the code.
#pragma once

// Dialog templates: the Japanese one has the lower id, the English one that id + 100.
#define IDD_MAIN_JA 1000
#define IDD_MAIN_EN 1100
#define IDD_LANGUAGE_JA 1001
#define IDD_LANGUAGE_EN 1101
#define IDD_ABOUT_JA 1004
#define IDD_ABOUT_EN 1104
#define IDD_REPORT_JA 1005
#define IDD_REPORT_EN 1105

#define IDI_APPLICATION_ICON 10011
#define IDR_MENU_JA 10013
#define IDR_MENU_EN 10014

// Conversion window.
#define IDC_FILE_LIST 4101
#define IDC_ADD 4102
#define IDC_DELETE 4103
#define IDC_ALL_DELETE 4104
#define IDC_OUTPUT_FOLDER 4105
#define IDC_BROWSE 4106
#define IDC_FREQUENCY 4107
#define IDC_CHANNELS 4108
#define IDC_QUALITY 4109
#define IDC_SAMPLE_FORMAT 4112      // the high quality's sample format
#define IDC_PREVENT_CLIPPING 4113  // lower a file's gain so that it does not clip
#define IDC_ADD_FOLDER 4114       // adds the WAV files below a folder
#define IDC_KEEP_SUBFOLDERS 4115  // outputs keep the subfolders of an added folder
#define IDC_SKIP_EXISTING 4116    // sources already converted are passed over
#define IDC_LIST_STATUS 4110    // one line under the list: files left out when adding
#define IDC_PROGRESS_TEXT 4111  // the current file of a batch and the time left
#define IDC_CANCEL 4198
#define IDC_EXECUTE 4199
#define IDC_FILE_PROGRESS 10113
#define IDC_BATCH_PROGRESS 10114
// The group boxes and labels of the conversion window, which only its layout moves.
#define IDC_LIST_GROUP 4120
#define IDC_OUTPUT_GROUP 4121
#define IDC_PROGRESS_GROUP 4122
#define IDC_FREQUENCY_LABEL 4123
#define IDC_CHANNELS_LABEL 4124
#define IDC_QUALITY_LABEL 4125
#define IDC_SAMPLE_FORMAT_LABEL 4126

// About box and language dialog.
#define IDC_VERSION 10101
#define IDC_LANGUAGE_LIST 10102
#define IDC_EDITION 10130

// The final report of a batch (its text has the id 0xFFFF, as in a message box).
#define IDC_REPORT_ICON 10140
#define IDC_OPEN_FOLDER 10141
#define IDC_SAVE_REPORT 10142

// Menu commands.
#define IDM_VIEW_TOOLBAR 5012
#define IDM_VIEW_STATUSBAR 5013
#define IDM_ABOUT 5014
#define IDM_HELP 5015
#define IDM_CHOOSE_LANGUAGE 5017
#define IDM_EXIT 5019
#define IDM_TILE_VERTICAL 5020
#define IDM_TILE_HORIZONTAL 5021
#define IDM_CASCADE 5022
#define IDM_CLOSE_ALL 5023
