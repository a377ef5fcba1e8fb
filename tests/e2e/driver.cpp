// Driving the setup program from outside.
#include "driver.h"
#include <winternl.h>
#include <algorithm>
#include <cstdio>
#include <future>
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

// The debugger's loop: the program stopped at each call's entry, until every call is seen or it ends.
static void WatchLoop(Program &program, WatchedCall *calls, int count)
{
    // The same system DLLs lie at the same address in every process of one bitness.
    BYTE *targets[8], original[8], trap = 0xCC;
    for (int i = 0; i < count; i++)
        targets[i] = (BYTE *)GetProcAddress(LoadLibraryA(calls[i].dll), calls[i].function);
    HANDLE process = program.process.hProcess;
    ULONG_PTR base = 0, size = 0;
    int seen = 0;
    bool planted = false;
    DEBUG_EVENT event;
    while (seen < count && WaitForDebugEvent(&event, 60000) && event.dwDebugEventCode != EXIT_PROCESS_DEBUG_EVENT) {
        DWORD status = DBG_CONTINUE;
        EXCEPTION_RECORD &record = event.u.Exception.ExceptionRecord;
        bool breakpoint = event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT && record.ExceptionCode == EXCEPTION_BREAKPOINT;
        int hit = -1;
        for (int i = 0; breakpoint && i < count; i++)
            hit = record.ExceptionAddress == targets[i] && !calls[i].seen ? i : hit;
        // The files of the program and its DLLs stay open in the debugger until closed here.
        if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
            CloseHandle(event.u.CreateProcessInfo.hFile);
            IMAGE_DOS_HEADER dos;
            IMAGE_NT_HEADERS headers;
            base = (ULONG_PTR)event.u.CreateProcessInfo.lpBaseOfImage;
            ReadProcessMemory(process, (void *)base, &dos, sizeof dos, NULL);
            ReadProcessMemory(process, (void *)(base + dos.e_lfanew), &headers, sizeof headers, NULL);
            size = headers.OptionalHeader.SizeOfImage;
        } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT)
            CloseHandle(event.u.LoadDll.hFile);
        else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT && !breakpoint)
            status = DBG_EXCEPTION_NOT_HANDLED;
        else if (breakpoint && !planted) {
            // The loader's own breakpoint: the program's imports are bound, its code not yet run.
            for (int i = 0; i < count; i++) {
                planted = ReadProcessMemory(process, targets[i], &original[i], 1, NULL)
                          && WriteProcessMemory(process, targets[i], &trap, 1, NULL);
                FlushInstructionCache(process, targets[i], 1);
            }
        } else if (hit >= 0) {
            HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, event.dwThreadId);
            CONTEXT context = {};
            context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
            GetThreadContext(thread, &context);
            ULONG_PTR args[4] = {}, caller = 0;
#ifdef _WIN64
            ULONG_PTR registers[4] = { context.Rcx, context.Rdx, context.R8, context.R9 };
            std::copy(registers, registers + 4, args);
            ReadProcessMemory(process, (void *)context.Rsp, &caller, sizeof caller, NULL);
            context.Rip = (DWORD64)targets[hit];
#else
            // The return address, and above it the arguments, on the stack.
            ReadProcessMemory(process, (void *)context.Esp, &caller, sizeof caller, NULL);
            ReadProcessMemory(process, (void *)(context.Esp + 4), args, sizeof args, NULL);
            context.Eip = (DWORD)targets[hit];
#endif
            calls[hit].at(process, args, caller - base < size);
            calls[hit].seen = true;
            seen++;
            SetThreadContext(thread, &context);
            CloseHandle(thread);
            WriteProcessMemory(process, targets[hit], &original[hit], 1, NULL);
            FlushInstructionCache(process, targets[hit], 1);
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    for (int i = 0; i < count; i++)
        if (!calls[i].seen)
            Fail(std::string("the program ended, or stopped answering, before it called ") + calls[i].function);
    DebugSetProcessKillOnExit(FALSE);
    DebugActiveProcessStop(program.process.dwProcessId);
}

std::thread WatchCalls(Program &program, const std::string &exe, WatchedCall *calls, int count)
{
    std::promise<bool> started;
    std::future<bool> running = started.get_future();
    std::thread watcher([&program, exe, calls, count](std::promise<bool> started) {
        bool ok = program.Start(exe, DEBUG_ONLY_THIS_PROCESS);
        started.set_value(ok);
        if (ok)
            WatchLoop(program, calls, count);
    }, std::move(started));
    running.wait();
    return watcher;
}

ACCESS_MASK GrantedAccess(HANDLE process, HANDLE handle)
{
    HANDLE copy;
    PUBLIC_OBJECT_BASIC_INFORMATION info = {};
    if (!DuplicateHandle(process, handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return 0;
    NtQueryObject(copy, ObjectBasicInformation, &info, sizeof info, NULL);
    CloseHandle(copy);
    return info.GrantedAccess;
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
