// The sample package's plug-in: a stand-in for the real Tavrin.dll, a 32-bit ANSI NSIS plug-in
// with one function. It needs no C runtime, like the setup program.
#include <windows.h>

// An entry of the installer's string stack, as NSIS lays it out: text holds string_size characters.
struct StackEntry {
    StackEntry *next;
    char text[1];
};

static const char SampleVersion[] = "0.0 (sample)";

extern "C" BOOL WINAPI DllEntry(HINSTANCE, DWORD, LPVOID) { return TRUE; }

// Tavrin::Version pushes the plug-in's version onto the stack. NSIS calls it with the C calling
// convention: the parent window, the size of a string, the variables, the stack and extra data.
extern "C" __declspec(dllexport) void __cdecl Version(HWND, int stringSize, char *, StackEntry **stackTop, void *)
{
    if (!stackTop || stringSize <= 0)
        return;
    StackEntry *entry = (StackEntry *)GlobalAlloc(GPTR, sizeof(StackEntry) + stringSize);
    if (!entry)
        return;
    lstrcpynA(entry->text, SampleVersion, stringSize);
    entry->next = *stackTop;
    *stackTop = entry;
}
