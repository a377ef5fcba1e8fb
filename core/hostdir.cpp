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

int ExactAnsiName(LPCWSTR name, char *out, int capacity)
{
    BOOL lookAlike = FALSE;
    int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name, -1, out, capacity, NULL, &lookAlike);
    // Where the code page is UTF-8 (a choice in Windows's language settings) every name has its
    // exact form, and the call takes neither the flag nor the question: asked again without
    // them, any other code page refuses.
    if (!length && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        length = WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, name, -1, out, capacity, NULL, NULL);
    if (length && !lookAlike)
        return 1;
    out[0] = 0;
    return 0;
}

// Fills directory, of capacity bytes, with the registry's NSIS folder; if there is none, it does
// not fit, or its name has a character the code page lacks, it is left empty.
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
    WCHAR value[MAX_PATH + 1]; // room for a zero after the longest value read
    DWORD size = MAX_PATH * sizeof *value;

    directory[0] = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\NSIS", 0, access, &key) != ERROR_SUCCESS)
        return;
    LONG result = RegQueryValueExW(key, L"", NULL, &type, (LPBYTE)value, &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        return;
    // Text is read wide, so that a name the code page lacks is seen, not taken for its look-alike
    // as the ANSI call would; it need not end in a zero. A value with %variables% is offered as
    // stored.
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        value[size / sizeof *value] = 0;
        ExactAnsiName(value, directory, capacity);
        return;
    }
    // Any other value is offered as its bytes, as the ANSI call gives them: they need not end in
    // a zero, nor be text at all.
    const char *bytes = (const char *)value;
    if (size > 0 && bytes[size - 1] == 0)
        size--;
    if (size >= capacity)
        return;
    for (DWORD i = 0; i < size; i++)
        directory[i] = bytes[i];
    directory[size] = 0;
}
