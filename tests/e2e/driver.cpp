// Driving the setup program from outside.
#include "driver.h"
#include "testutil.h"
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>

void Fail(const std::string &what) { ADD_FAILURE() << what; }

bool Program::Start(const std::string &exe, DWORD flags)
{
    std::wstring wide(exe.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_ACP, 0, exe.data(), (int)exe.size(), &wide[0], (int)wide.size()));
    return Start(wide, flags);
}

bool Program::Start(const std::wstring &exe, DWORD flags)
{
    std::wstring folder = exe.substr(0, exe.rfind(L'\\'));
    // Wine now and then fails a start before the program runs; that is not the program's fault.
    for (int attempt = 0; attempt < 3; attempt++) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        std::wstring line = L"\"" + exe + L"\"";
        if (CreateProcessW(exe.c_str(), &line[0], NULL, NULL, FALSE, flags, NULL, folder.c_str(), &startup, &process))
            return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR)
            break;
        Sleep(500);
    }
    Fail("cannot start the program: error " + std::to_string(GetLastError()));
    return false;
}

bool Program::Running() const
{
    return process.hProcess && WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT;
}

long Program::Finish(DWORD ms)
{
    if (!process.hProcess)
        return -1;
    if (WaitForSingleObject(process.hProcess, ms) != WAIT_OBJECT_0) {
        Fail("the program did not end; killed");
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    return (long)code;
}

void Program::Stop()
{
    if (Running()) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
    }
}

Program::~Program()
{
    if (!process.hProcess)
        return;
    Stop();
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
}

bool StartWatched(Program &program, const std::string &exe, const char *functions)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\Debug", 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL))
        return false;
    RegSetValueExA(key, "RelayInclude", 0, REG_SZ, (const BYTE *)functions, (DWORD)strlen(functions) + 1);
    RegCloseKey(key);
    // The program alone reports, and its lines carry its process ID.
    SetEnvironmentVariableA("WINEDEBUG", "-all,+pid,+relay");
    bool started = program.Start(exe);
    SetEnvironmentVariableA("WINEDEBUG", "-all");
    return started;
}

// Wine writes what the program reports to the standard error it inherits, the output of this
// run, which tests/wine/run.sh keeps in a file and names.
std::vector<Call> WatchedCalls(const Program &program, const std::string &exe)
{
    std::vector<Call> calls;
    const char *output = getenv("TAVRIN_OUTPUT");
    std::string text = output ? ReadFile(output) : "<absent>", image = ReadFile(exe);
    if (text == "<absent>" || image.size() < 4096) {
        Fail("the run's output or the program cannot be read: TAVRIN_OUTPUT is " + std::string(output ? output : "not set"));
        return calls;
    }
    // Where the image lies: its entry point, where its first thread starts, less the entry's offset.
    const IMAGE_NT_HEADERS *headers = (const IMAGE_NT_HEADERS *)(image.data() + ((const IMAGE_DOS_HEADER *)image.data())->e_lfanew);
    ULONG_PTR entry = headers->OptionalHeader.AddressOfEntryPoint, size = headers->OptionalHeader.SizeOfImage, base = 0;
    char prefix[16];
    snprintf(prefix, sizeof prefix, "%04lx:", program.process.dwProcessId);
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        if (line.compare(0, strlen(prefix), prefix))
            continue;
        line = line.substr(line.find(':', strlen(prefix)) + 1); // past "pid:tid:"
        size_t ret = line.rfind(" ret=");
        ULONG_PTR caller = ret == std::string::npos ? 0 : strtoull(line.c_str() + ret + 5, NULL, 16);
        if (!base && !line.compare(0, 21, "Starting thread proc "))
            base = strtoull(line.c_str() + 21, NULL, 16) - entry;
        // "Call dll.Function(...)", not a window procedure's "Call window proc 688A1820 (...)".
        else if (!line.compare(0, 5, "Call ") && line.find('(') < line.find(' ', 5)) {
            Call call;
            call.function = line.substr(5, line.find('(') - 5);
            for (const char *a = line.c_str() + line.find('('); (*a == '(' || *a == ',') && a[1] != ')';)
                call.args.push_back(strtoull(a + 1, (char **)&a, 16));
            call.fromProgram = base && caller - base < size;
            calls.push_back(call);
        } else if (!line.compare(0, 5, "Ret  ") && !calls.empty() && !line.compare(5, calls.back().function.size() + 1, calls.back().function + "(")) {
            // The watched functions call none of each other: a return is the last call's.
            size_t value = line.find("retval=");
            calls.back().result = value == std::string::npos ? 0 : strtoull(line.c_str() + value + 7, NULL, 16);
        }
    }
    return calls;
}

std::string Text(HWND window)
{
    char text[2048];
    text[0] = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_ABORTIFHUNG, 5000, NULL);
    return text;
}

struct DialogScan {
    DWORD pid;
    const char *caption;
    bool setupDialog;
    HWND first;
    int count;
};

static BOOL CALLBACK ScanDialogProc(HWND w, LPARAM p)
{
    DialogScan *scan = (DialogScan *)p;
    DWORD pid = 0;
    char cls[16], caption[64];
    GetWindowThreadProcessId(w, &pid);
    if (pid != scan->pid || !IsWindowVisible(w) || !GetClassNameA(w, cls, sizeof cls) || strcmp(cls, "#32770"))
        return TRUE;
    // Another process's caption is read without a message to it.
    GetWindowTextA(w, caption, sizeof caption);
    if (strcmp(caption, scan->caption) || (GetDlgItem(w, 1004) != NULL) != scan->setupDialog)
        return TRUE;
    if (!scan->first)
        scan->first = w;
    scan->count++;
    return TRUE;
}

// The first of the process's windows that FindDialog looks for; count receives how many there
// are. EnumWindows lists a snapshot: a walk with FindWindowEx can skip or repeat a box that is
// brought to the top while it walks.
static HWND ScanDialogs(const Program &program, const char *caption, bool setupDialog, int *count)
{
    DialogScan scan = { program.process.dwProcessId, caption, setupDialog, NULL, 0 };
    EnumWindows(ScanDialogProc, (LPARAM)&scan);
    *count = scan.count;
    return scan.first;
}

HWND FindDialog(const Program &program, const char *caption, bool setupDialog)
{
    int count;
    return ScanDialogs(program, caption, setupDialog, &count);
}

int CountMessageBoxes(const Program &program)
{
    int count;
    ScanDialogs(program, "Tavrin Plugin Setup", false, &count);
    return count;
}

HWND WaitForSetupDialog(const Program &program)
{
    HWND dialog = NULL;
    WaitFor([&] { return (dialog = FindDialog(program, "Tavrin Plugin Setup", true)) != NULL; }, "the setup dialog");
    return dialog;
}

HWND WaitForMessageBox(const Program &program)
{
    HWND box = NULL;
    WaitFor([&] { return (box = FindDialog(program, "Tavrin Plugin Setup", false)) != NULL; }, "a message box");
    return box;
}

std::string MessageText(HWND box)
{
    char text[2048];
    text[0] = 0;
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    return text;
}

void Click(HWND button) { PostMessageA(button, BM_CLICK, 0, 0); }

void Sync(HWND window)
{
    DWORD_PTR result;
    SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result);
}

void TypeChar(HWND control, char c) { PostMessageA(control, WM_CHAR, (BYTE)c, 1); }

void PressKey(HWND control, UINT key)
{
    PostMessageA(control, WM_KEYDOWN, key, 1);
    PostMessageA(control, WM_KEYUP, key, 0xC0000001);
}

bool NoWindowsLeft(const Program &program)
{
    return !FindDialog(program, "Tavrin Plugin Setup", true) && !FindDialog(program, "Tavrin Plugin Setup", false);
}

bool SaveScreen(const std::string &path)
{
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFOHEADER info = { sizeof info, width, height, 1, 24, BI_RGB };
    std::string pixels((size_t)((width * 3 + 3) & ~3) * height, '\0');
    GetDIBits(memory, bitmap, 0, height, &pixels[0], (BITMAPINFO *)&info, DIB_RGB_COLORS);
    BITMAPFILEHEADER file = { 0x4D42, (DWORD)(sizeof file + sizeof info + pixels.size()), 0, 0,
                              sizeof file + sizeof info };
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    FILE *out = fopen(path.c_str(), "wb");
    if (!out)
        return false;
    fwrite(&file, sizeof file, 1, out);
    fwrite(&info, sizeof info, 1, out);
    fwrite(pixels.data(), pixels.size(), 1, out);
    fclose(out);
    return true;
}
