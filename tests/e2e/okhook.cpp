// A hook the browser tests place in the setup program. Once inside, it routes the program's own
// SendMessageA through a logger that records, in memory the test shares, the OK state each
// BFFM_ENABLEOK asks the folder browser for and the folder BFFM_SETSELECTIONA asks it to select. Wine's browser sets OK again itself (by SendMessageW,
// which is not routed) right after the program's callback has run on a selection change, so this
// log is all that shows the program's own rule.
#include "okhook.h"
#include <shlobj.h>
#include <string.h>

typedef LRESULT (WINAPI *SendProc)(HWND, UINT, WPARAM, LPARAM);
static SendProc RealSendMessageA;

static OkLog *SharedLog(void)
{
    static OkLog *log;
    if (!log) {
        HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, OK_LOG_NAME);
        if (mapping)
            log = (OkLog *)MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(OkLog));
    }
    return log;
}

static LRESULT WINAPI LoggingSendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Set once the selection asked for on opening is done: the next request is the opening's.
    static bool selected;
    OkLog *log = SharedLog();
    if (log && message == BFFM_ENABLEOK) {
        LONG next = InterlockedIncrement(&log->count) - 1;
        if (next < OK_LOG_SIZE)
            log->states[next] = lParam ? 1 : 0;
        if (selected)
            log->opening = lParam ? 1 : 0;
        selected = false;
    }
    if (!log || message != BFFM_SETSELECTIONA || !wParam)
        return RealSendMessageA(window, message, wParam, lParam);
    lstrcpynA((char *)log->selection, (const char *)lParam, MAX_PATH);
    LRESULT result = RealSendMessageA(window, message, wParam, lParam);
    selected = true;
    return result;
}

// Points the program's import of SendMessageA at the logger.
static void RouteProgramSends(void)
{
    BYTE *base = (BYTE *)GetModuleHandleA(NULL);
    IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (IMAGE_IMPORT_DESCRIPTOR *dll = (IMAGE_IMPORT_DESCRIPTOR *)(base + imports); dll->Name; dll++) {
        IMAGE_THUNK_DATA *name = (IMAGE_THUNK_DATA *)(base + dll->OriginalFirstThunk);
        IMAGE_THUNK_DATA *address = (IMAGE_THUNK_DATA *)(base + dll->FirstThunk);
        for (; name->u1.AddressOfData; name++, address++) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)
                || strcmp((char *)((IMAGE_IMPORT_BY_NAME *)(base + name->u1.AddressOfData))->Name, "SendMessageA"))
                continue;
            DWORD old;
            VirtualProtect(&address->u1.Function, sizeof address->u1.Function, PAGE_READWRITE, &old);
            RealSendMessageA = (SendProc)address->u1.Function;
            address->u1.Function = (ULONG_PTR)LoggingSendMessageA;
            VirtualProtect(&address->u1.Function, sizeof address->u1.Function, old, &old);
        }
    }
}

// Whether a control's text, drawn in the control's own font, fits inside it; a button's border
// and focus frame take a few pixels of each edge.
static BOOL CALLBACK MeasureText(HWND control, LPARAM data)
{
    OkLog *log = (OkLog *)data;
    char text[64], cls[16], line[96];
    GetClassNameA(control, cls, sizeof cls);
    bool button = !lstrcmpiA(cls, "Button");
    if ((!button && lstrcmpiA(cls, "Static")) || (GetWindowLongA(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON
        || !GetWindowTextA(control, text, sizeof text))
        return TRUE;
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, (HFONT)SendMessageA(control, WM_GETFONT, 0, 0));
    RECT need = {}, room;
    DrawTextA(dc, text, -1, &need, DT_CALCRECT | DT_SINGLELINE);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    GetClientRect(control, &room);
    int edge = button ? 3 : 0;
    log->measured++;
    if (need.right > room.right - 2 * edge || need.bottom > room.bottom - 2 * edge) {
        wsprintfA(line, "\"%s\" %dx%d in %dx%d; ", text, (int)need.right, (int)need.bottom, (int)room.right, (int)room.bottom);
        lstrcpynA((char *)log->clipped + lstrlenA((char *)log->clipped), line, sizeof log->clipped - lstrlenA((char *)log->clipped));
    }
    return TRUE;
}

extern "C" __declspec(dllexport) LRESULT CALLBACK OkHookProc(int code, WPARAM wParam, LPARAM lParam)
{
    OkLog *shared = SharedLog();
    if (shared && shared->measure) {
        shared->measure = 0;
        EnumChildWindows(GetAncestor(((CWPSTRUCT *)lParam)->hwnd, GA_ROOT), MeasureText, (LPARAM)shared);
    }
    if (!RealSendMessageA) {
        RouteProgramSends();
        // As any library the program or the system loads by name after start-up.
        if (OkLog *log = SharedLog())
            log->planted = LoadLibraryA(PLANTED_DLL) != NULL;
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}
