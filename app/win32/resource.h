// Resource and control ids of the Windows program, shared by the resource
// script, the window code and the test driver.
#pragma once

#define IDM_ABOUTBOX 0x0010
#define IDD_ABOUTBOX 100
#define IDD_ZT9047QUPDATE_DIALOG 102
#define IDR_MAINFRAME 128
#define IDR_FIRMWARE 143

#define IDC_EDIT_COMPORT 1000
#define IDC_PROGRESS 1004
#define IDC_DOWNLOAD 1007
#define IDC_STATUS 1008
#define IDC_SPIN_PORT 1010

// The application's exit command; the Close button carries it.
#define ID_APP_EXIT 0xE141

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
