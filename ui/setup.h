// The setup window: values and procedures shared by the entry point, the dialog and the browser.
#pragma once
#include "core.h"
#include "resource.h"

extern HINSTANCE AppInstance;
extern PathBuffer SetupDir;
extern HWND DirField;

INT_PTR CALLBACK SetupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void BrowseForNsisDirectory(HWND dialog);
