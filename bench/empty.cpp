// The floor of the start-up benchmark: the least a program can do to show a dialog from a
// template, with the same kind of entry point and loop as the setup program.
#include <windows.h>

static INT_PTR CALLBACK EmptyDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        DestroyWindow(dialog);
        PostQuitMessage(0);
        return TRUE;
    }
    return message == WM_INITDIALOG;
}

extern "C" void WinMainEntry(void)
{
    HWND dialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(1), NULL, EmptyDialogProc, 0);
    MSG message;
    while (dialog && GetMessageA(&message, NULL, 0, 0) > 0)
        if (!IsDialogMessageA(dialog, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    ExitProcess(0);
}
