// Helpers for the tests: scratch folders and files, the package's paths, registry keys.
#pragma once
#include <windows.h>
#include <string>

// A folder of its own under the temporary folder, removed with everything in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::string &Path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "\\" + name; }
private:
    std::string path_;
};

// Makes the root of the test run's scratch drive, Y:, the current folder for the scope.
class OnScratchDrive {
public:
    OnScratchDrive();
    ~OnScratchDrive();
private:
    char previous_[MAX_PATH];
};

void MakeDir(const std::string &path);
void WriteFile(const std::string &path, const std::string &content);
// The file's content, or "<absent>" when it cannot be read.
std::string ReadFile(const std::string &path);
bool IsDir(const std::string &path);
// The folder part of path: everything before its last backslash.
std::string FolderOf(const std::string &path);
bool Exists(const std::string &path);
void RemoveTree(const std::string &path);
// Makes each missing folder of path in turn; path may be up to the platform's folder limit.
void MakeDirs(const std::string &path);
// Lengthens dir by subfolders until it holds exactly length characters, and makes it.
std::string DeepDir(const std::string &dir, size_t length);

// Row r (from 1) of the package: its file beside the setup program in setup, and its place in
// the NSIS installation nsis.
std::string PackageSource(const std::string &setup, int r);
std::string PackageDest(const std::string &nsis, int r);

// HKLM\SOFTWARE\NSIS in the registry's 32-bit or 64-bit view.
void DeleteNsisKey(REGSAM view);
// wide: data is wide text, which may hold what the code page lacks.
void SetNsisValue(REGSAM view, DWORD type, const void *data, DWORD size, bool wide = false);
// The wide form of an ANSI path, to which a name of wide characters can be added.
std::wstring Wide(const std::string &text);
