// Resource identifiers of Saltmark.exe, shared by the resource script and the dialog code.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_SALTMARK_DIALOG 102
#define IDR_MAINFRAME 128
#define IDC_MESSAGE_TEXT 1000
#define IDC_CHOOSE_FILE 1001
#define IDC_SAVE_IMAGE 1002

// The About item of the system menu. The system's own commands use the high bits; the low
// four bits are the system's too, so the command is compared with them cleared.
#define IDM_ABOUTBOX 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
