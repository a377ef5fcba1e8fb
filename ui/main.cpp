// The program's entry point and its one message loop.
#include "setup.h"
#include "text.h"

HINSTANCE AppInstance; // the program's own module: the dialog and the icon come from it
PathBuffer SetupDir;   // the program file's folder, without a trailing backslash: the package lies there

// SetupDir := everything before the last backslash of the program's own path, as the system
// names it. Where that name has a character the code page lacks, the ANSI call would give a
// look-alike, maybe a folder beside this one holding other files: the path's short name serves
// where the volume has one that is exact, and otherwise the folder stays empty.
static void FindSetupDir(void)
{
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    // A path cut short at the limit would name some other folder: count it as not fetched.
    if (length == 0 || length >= MAX_PATH)
        return;
    if (!ExactAnsiName(path, SetupDir, sizeof SetupDir)) {
        length = GetShortPathNameW(path, path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH || !ExactAnsiName(path, SetupDir, sizeof SetupDir))
            return;
    }
    // A backslash at index 0 leaves the folder empty, as no backslash does.
    int cut = LastBackslash(SetupDir);
    SetupDir[cut > 0 ? cut : 0] = 0;
}

// A setup program is run from a downloads folder, where a DLL planted beside it must never be
// loaded: from here on the platform searches the system folder alone for the DLLs it loads.
// Systems without the function (before Windows 8, or 7 without its update) run as before.
static void RestrictDllSearch(void)
{
    typedef BOOL (WINAPI *SetDllDirectoriesProc)(DWORD flags);
    SetDllDirectoriesProc setDirectories = (SetDllDirectoriesProc)(void (*)(void))GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
    if (setDirectories)
        setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Without a manifest the program is a legacy one to Windows: run by a standard user, or by an
// administrator not elevated, its writes into Program Files would be redirected to that user's
// VirtualStore, where makensis run elevated or by anyone else never finds them, and the user would
// hear "complite" all the same. With redirection off such a copy fails and the user is told so.
// Where there is no such redirection (no UAC; Wine) the call fails and nothing changes.
static void StopFileVirtualization(void)
{
    HANDLE token;
    DWORD enabled = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_DEFAULT, &token))
        return;
    SetTokenInformation(token, TokenVirtualizationEnabled, &enabled, sizeof enabled);
    CloseHandle(token);
}

// Without a manifest Windows takes the program for one that knows nothing of DPI: it draws the
// dialog at 96 DPI and stretches it, blurred at 150 %. Said here instead, before any window:
// per-monitor where the system has it (Windows 10 1703 on), which also rescales the dialog on
// a monitor of another DPI, else system-wide (Vista on). Older systems stretch nothing.
static void DeclareDpiAwareness(void)
{
    typedef BOOL (WINAPI *SetContextProc)(DPI_AWARENESS_CONTEXT context);
    typedef BOOL (WINAPI *SetAwareProc)(void);
    HMODULE user = GetModuleHandleA("user32.dll");
    SetContextProc setContext = (SetContextProc)(void (*)(void))GetProcAddress(user, "SetProcessDpiAwarenessContext");
    SetAwareProc setAware = (SetAwareProc)(void (*)(void))GetProcAddress(user, "SetProcessDPIAware");
    if (setContext && setContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2))
        return;
    if (setAware)
        setAware();
}

// Every message passes the dialog's keyboard handling first, so Tab, Escape and mnemonics work.
static void RunMessageLoop(HWND dialog)
{
    MSG message;
    // GetMessageA answers -1 on a failure; that ends the loop as the quit message would.
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        if (IsDialogMessageA(dialog, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

extern "C" void WinMainEntry(void)
{
    StopFileVirtualization(); // before anything is read or written
    RestrictDllSearch();
    DeclareDpiAwareness();
    AppInstance = GetModuleHandleA(NULL);
    FindSetupDir();
    HWND dialog = CreateDialogParamA(AppInstance, MAKEINTRESOURCEA(IDD_SETUP), NULL, SetupDialogProc, 0);
    // Without a dialog there is nothing to wait for.
    if (dialog) {
        ShowWindow(dialog, SW_SHOW);
        RunMessageLoop(dialog);
    }
    ExitProcess(0);
}
