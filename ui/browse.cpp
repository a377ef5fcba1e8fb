// The "..." button: the platform's folder browser, whose OK only accepts an NSIS folder.
#include "setup.h"
#include <shlobj.h>

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
        if (!SHGetPathFromIDListA((LPCITEMIDLIST)lParam, path))
            path[0] = 0;
        ApplyOkRule(browser, path);
        break;
    }
    return 0;
}

void BrowseForNsisDirectory(HWND dialog)
{
    PathBuffer directory;
    BROWSEINFOA request = {}; // no root: the whole namespace from the desktop down

    GetWindowTextA(DirField, directory, sizeof directory);
    request.hwndOwner = dialog;
    request.pszDisplayName = directory;
    request.lpszTitle = "Choose NSIS directory:";
    request.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE | BIF_NONEWFOLDERBUTTON;
    request.lpfn = BrowseCallbackProc;
    request.lParam = (LPARAM)directory;

    LPITEMIDLIST chosen = SHBrowseForFolderA(&request);
    if (!chosen)
        return;
    int found = SHGetPathFromIDListA(chosen, directory);
    IMalloc *allocator;
    if (SUCCEEDED(SHGetMalloc(&allocator))) {
        allocator->Free(chosen);
        allocator->Release();
    }
    // The field changes only for a folder with a path; its notification then updates Install.
    if (found)
        SetWindowTextA(DirField, directory);
}
