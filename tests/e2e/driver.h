// Drives the setup program from outside, as a user would: windows found by caption and process,
// texts and button states read, keys typed and buttons pressed by posted messages.
#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Records a failure of the running test.
void Fail(const std::string &what);

// Waits up to the deadline for cond; on time-out fails naming what it waited for.
template <class Cond> bool WaitFor(Cond cond, const std::string &what, DWORD ms = 10000)
{
    DWORD start = GetTickCount();
    while (!cond()) {
        if (GetTickCount() - start > ms) {
            Fail("timed out waiting for " + what);
            return false;
        }
        Sleep(20);
    }
    return true;
}

// A running copy of the program.
struct Program {
    PROCESS_INFORMATION process = {};
    bool Start(const std::string &exe, DWORD flags = 0);
    bool Start(const std::wstring &exe, DWORD flags = 0);
    bool Running() const;
    // Waits for the end of the process; kills it on time-out. Answers the exit code, or -1.
    long Finish(DWORD ms = 10000);
    // Ends the process if it still runs.
    void Stop();
    ~Program();
};

// A call the program made, as Wine's relay channel reports it: its arguments and result, and
// whether the program's own image made it. Wine reports it however the program runs; a
// debugger's breakpoints never fire where 32-bit code runs through an emulator.
struct Call {
    std::string function; // as "dll.Function", the DLL's name in either case
    std::vector<ULONG_PTR> args;
    ULONG_PTR result = 0; // 0 where it has not returned
    bool fromProgram = false;
};
// Starts exe with Wine reporting its calls of functions ("dll.Function;...") into the run's output.
bool StartWatched(Program &program, const std::string &exe, const char *functions);
// The calls the program has made of them, in order.
std::vector<Call> WatchedCalls(const Program &program, const std::string &exe);

std::string Text(HWND window);
// A top-level dialog-class window of the process with that caption: the setup dialog has the
// NSIS field, a message box has not.
HWND FindDialog(const Program &program, const char *caption, bool setupDialog);
// How many message boxes the process shows.
int CountMessageBoxes(const Program &program);
HWND WaitForSetupDialog(const Program &program);
HWND WaitForMessageBox(const Program &program);
std::string MessageText(HWND box);
void Click(HWND button);
// Returns once the window's thread has handled everything before: a sent message waits its turn.
void Sync(HWND window);
void TypeChar(HWND control, char c);
void PressKey(HWND control, UINT key);
// Waits until the process shows no window with that caption any more.
bool NoWindowsLeft(const Program &program);
// Saves a picture of the whole screen as a BMP file.
bool SaveScreen(const std::string &path);
