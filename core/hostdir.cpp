// What counts as an NSIS folder, and where the folder offered at start-up comes from.
#include "core.h"
#include "text.h"

// 1 when the path, which may end in a wildcard pattern, matches a file or folder.
int FileExists(LPCSTR path)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    FindClose(search);
    return 1;
}

// 1 when the folder text, exactly as typed, holds makensis.exe.
int IsNsisDirectory(LPCSTR directory)
{
    PathBuffer probe;
    // A folder text with no room left for the marker names no folder the platform could open.
    if (!ComposeText(probe, sizeof probe, "%s\\makensis.exe", directory))
        return 0;
    return FileExists(probe);
}

// Fills directory, of capacity bytes, with the registry's NSIS folder; if there is none, or it
// does not fit, it is left empty.
void QueryNsisDirectory(char *directory, DWORD capacity)
{
#ifdef _WIN64
    // The product is 32-bit and so reads the 32-bit view; the 64-bit test build asks for that view.
    const REGSAM access = KEY_READ | KEY_WOW64_32KEY;
#else
    const REGSAM access = KEY_READ;
#endif
    HKEY key;
    DWORD type;
    DWORD size = capacity;

    directory[0] = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\NSIS", 0, access, &key) != ERROR_SUCCESS)
        return;
    // The type is not looked at: a value with %variables% is offered as stored.
    LONG result = RegQueryValueExA(key, "", NULL, &type, (LPBYTE)directory, &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        directory[0] = 0;
        return;
    }
    // The stored value need not end in a zero, nor be text at all.
    if (size > 0 && directory[size - 1] == 0)
        return;
    if (size < capacity)
        directory[size] = 0;
    else
        directory[0] = 0;
}
