// The installation core: what an NSIS folder is, and how the package is copied into one.
#pragma once
#include <windows.h>

// A path or text of the platform's path limit, terminating zero included.
typedef char PathBuffer[MAX_PATH];

// A package folder: a path-sized folder text followed by one of the package's subfolders.
#define FOLDER_CAPACITY (MAX_PATH + 32)

// A prompt: a folder and a file name, the reason for a failure, and the question, each on a line
// of its own.
#define PROMPT_CAPACITY (3 * MAX_PATH + 64)

// Result of one copy step and of the whole sequence.
typedef int InstallOutcome;
#define INSTALL_STOP 0
#define INSTALL_GO_ON 1

// How the core asks the user: shaped like MessageBoxA, which the program passes; tests pass a script.
typedef int (WINAPI *PromptProc)(HWND owner, LPCSTR text, LPCSTR caption, UINT style);

// The program's title: the dialog's caption and that of every message box.
extern const char ProgramTitle[];

int FileExists(LPCSTR path);
int IsNsisDirectory(LPCSTR directory);
void QueryNsisDirectory(char *directory, DWORD capacity);

InstallOutcome InstallFile(HWND owner, LPCSTR sourceDir, LPCSTR fileName, LPCSTR destDir,
                           PromptProc prompt);
InstallOutcome RunInstall(HWND owner, LPCSTR setupDir, LPCSTR nsisDir, PromptProc prompt);
