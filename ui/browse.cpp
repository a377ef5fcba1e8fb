// The "..." button: the platform's folder browser, whose OK only accepts an NSIS folder.
#include "setup.h"
#include <shlobj.h>

// SHELL32 serves the browser alone, and loading it costs more memory than the rest of the program:
// it is loaded on the first "..." (from the system folder, the only place searched by then), and
// these are fetched from it then.
static decltype(&SHBrowseForFolderA) BrowseForFolder;
static decltype(&SHGetPathFromIDListW) PathFromIDList; // read by the browser's callback too
static decltype(&SHGetMalloc) GetShellMalloc;

// 1 when the three are at hand. A second load of the library only counts one more use of it.
static int LoadShell(void)
{
    HMODULE shell = LoadLibraryA("shell32.dll");
    if (!shell)
        return 0;
    BrowseForFolder = (decltype(BrowseForFolder))(void (*)(void))GetProcAddress(shell, "SHBrowseForFolderA");
    PathFromIDList = (decltype(PathFromIDList))(void (*)(void))GetProcAddress(shell, "SHGetPathFromIDListW");
    GetShellMalloc = (decltype(GetShellMalloc))(void (*)(void))GetProcAddress(shell, "SHGetMalloc");
    return BrowseForFolder && PathFromIDList && GetShellMalloc;
}

// Fills path with the folder's, as the system names it; answers 0, path empty, for a folder with no
// place in the file system, or one whose name has a character the code page lacks (the ANSI call
// would give a look-alike, maybe another folder's name).
static int FolderPath(LPCITEMIDLIST folder, char *path)
{
    WCHAR wide[MAX_PATH];
    path[0] = 0;
    return PathFromIDList(folder, wide) && ExactAnsiName(wide, path, MAX_PATH);
}

// Enables the browser's OK exactly while path, the selected folder, holds makensis.exe. An empty
// path (a virtual folder, with no place in the file system) is not probed.
static void ApplyOkRule(HWND browser, LPCSTR path)
{
    SendMessageA(browser, BFFM_ENABLEOK, 0, path[0] && IsNsisDirectory(path));
}

static int CALLBACK BrowseCallbackProc(HWND browser, UINT event, LPARAM lParam, LPARAM lpData)
{
    PathBuffer path;
    switch (event) {
    case BFFM_INITIALIZED:
        // lpData is the field's text, the folder the browser opens on.
        SendMessageA(browser, BFFM_SETSELECTIONA, TRUE, lpData);
        ApplyOkRule(browser, (LPCSTR)lpData);
        break;
    case BFFM_SELCHANGED:
        FolderPath((LPCITEMIDLIST)lParam, path);
        ApplyOkRule(browser, path);
        break;
    }
    return 0;
}

void BrowseForNsisDirectory(HWND dialog)
{
    PathBuffer directory;
    BROWSEINFOA request = {}; // no root: the whole namespace from the desktop down

    // Without SHELL32 there is no browser, and the field stays as it is.
    if (!LoadShell())
        return;
    GetWindowTextA(DirField, directory, sizeof directory);
    request.hwndOwner = dialog;
    request.pszDisplayName = directory;
    request.lpszTitle = "Choose NSIS directory:";
    request.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE | BIF_NONEWFOLDERBUTTON;
    request.lpfn = BrowseCallbackProc;
    request.lParam = (LPARAM)directory;

    LPITEMIDLIST chosen = BrowseForFolder(&request);
    if (!chosen)
        return;
    int found = FolderPath(chosen, directory);
    IMalloc *allocator;
    if (SUCCEEDED(GetShellMalloc(&allocator))) {
        allocator->Free(chosen);
        allocator->Release();
    }
    // The field changes only for a folder with an exact path; its notification then updates Install.
    if (found)
        SetWindowTextA(DirField, directory);
}
