// Resource identifiers shared by the dialog code and the resource data.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_TARVIK_DIALOG 102
#define IDC_INIT_GRAB_START 1000
#define IDC_GRAB_STOP_RELEASE 1001
#define IDC_GRAB_ONCE 1002
#define IDC_PICTURE 1003
#define IDR_PICTURE_MENU 129
#define ID_PICTURE_SAVE 32771
#define ID_PICTURE_COPY 32772
#define ID_PICTURE_LIVE 32773
#define ID_CAMERA_SETTINGS 32774
#define ID_PICTURE_RECORD 32775
#define ID_PICTURE_TRIGGER 32776
