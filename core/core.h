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

// A file's SHA-256 sum.
typedef BYTE FileSum[32];

// The program's title: the dialog's caption and that of every message box.
extern const char ProgramTitle[];

// Fills out, of capacity bytes, with name in the ANSI code page, which the program's calls take.
// Answers 0, out empty, where the name does not fit or has a character the code page lacks: the
// system would put a look-alike in its place ("best fit"), which may name another folder.
int ExactAnsiName(LPCWSTR name, char *out, int capacity);

int FileExists(LPCSTR path);
int IsNsisDirectory(LPCSTR directory);
void QueryNsisDirectory(char *directory, DWORD capacity);

// sum: the file's as released, which the bytes that take the installed file's place must have;
// none: the file is installed as it is found.
InstallOutcome InstallFile(HWND owner, LPCSTR sourceDir, LPCSTR fileName, LPCSTR destDir,
                           const BYTE *sum, PromptProc prompt);
// sums: the package's files' as released, in the order the table first names them; none: the
// package is installed as it is found.
InstallOutcome RunInstall(HWND owner, LPCSTR setupDir, LPCSTR nsisDir, const FileSum *sums,
                          PromptProc prompt);
