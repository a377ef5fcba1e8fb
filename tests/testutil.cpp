// Helpers for the tests.
#include "testutil.h"
#include <gtest/gtest.h>
#include "package.h"

ScratchDir::ScratchDir()
{
    static int counter;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    path_ = std::string(temp) + "tavrin-" + std::to_string(GetCurrentProcessId()) + "-"
            + std::to_string(++counter);
    RemoveTree(path_);
    MakeDir(path_);
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

OnScratchDrive::OnScratchDrive()
{
    GetCurrentDirectoryA(sizeof previous_, previous_);
    EXPECT_TRUE(SetCurrentDirectoryA("Y:\\")) << "drive Y: is the test run's scratch drive";
}

OnScratchDrive::~OnScratchDrive() { SetCurrentDirectoryA(previous_); }

void MakeDir(const std::string &path)
{
    if (!CreateDirectoryA(path.c_str(), NULL) && GetLastError() != ERROR_ALREADY_EXISTS)
        ADD_FAILURE() << "cannot make " << path << ": error " << GetLastError();
}

void MakeDirs(const std::string &path)
{
    for (size_t cut = path.find('\\', 3); cut != std::string::npos; cut = path.find('\\', cut + 1))
        CreateDirectoryA(path.substr(0, cut).c_str(), NULL);
    MakeDir(path);
}

std::string DeepDir(const std::string &dir, size_t length)
{
    std::string path = dir;
    while (path.size() < length) {
        size_t room = length - path.size() - 1;
        path += "\\" + std::string(room > 60 ? 60 : room < 1 ? 1 : room, 'd');
    }
    EXPECT_EQ(path.size(), length);
    MakeDirs(path);
    return path;
}

void WriteFile(const std::string &path, const std::string &content)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot write " << path;
    DWORD written;
    WriteFile(file, content.data(), (DWORD)content.size(), &written, NULL);
    CloseHandle(file);
}

std::string ReadFile(const std::string &path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return "<absent>";
    std::string content;
    char chunk[4096];
    DWORD got;
    while (ReadFile(file, chunk, sizeof chunk, &got, NULL) && got)
        content.append(chunk, got);
    CloseHandle(file);
    return content;
}

bool Exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string FolderOf(const std::string &path) { return path.substr(0, path.rfind('\\')); }

bool IsDir(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void RemoveTree(const std::string &path)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path + "\\" + name);
            else if (SetFileAttributesA((path + "\\" + name).c_str(), FILE_ATTRIBUTE_NORMAL))
                DeleteFileA((path + "\\" + name).c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(path.c_str());
}

std::string PackageSource(const std::string &setup, int r)
{
    const InstallEntry &row = Package[r - 1];
    std::string folder = row.sourceFormat ? row.sourceFormat : "%s";
    return folder.replace(folder.find("%s"), 2, setup) + "\\" + row.fileName;
}

// Where each row's file belongs in a user's NSIS, written out rather than learnt from the
// program's table, so that a wrong place there shows.
static const char *const InstalledPlaces[] = {
    "Docs\\Tavrin\\Readme.txt", "Examples\\Tavrin\\TavrinTest.nsi", "Include\\Tavrin.nsh",
    "Plugins\\Tavrin.dll", "Plugins\\x86-ansi\\Tavrin.dll",
};
static_assert(ARRAYSIZE(InstalledPlaces) == PACKAGE_ROWS, "a place for every row");

std::string PackageDest(const std::string &nsis, int r) { return nsis + "\\" + InstalledPlaces[r - 1]; }

void DeleteNsisKey(REGSAM view)
{
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\NSIS", view, 0);
}

void SetNsisValue(REGSAM view, DWORD type, const void *data, DWORD size, bool wide)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\NSIS", 0, NULL, 0, KEY_WRITE | view,
                              NULL, &key, NULL), ERROR_SUCCESS);
    if (data)
        EXPECT_EQ(wide ? RegSetValueExW(key, L"", 0, type, (const BYTE *)data, size)
                       : RegSetValueExA(key, "", 0, type, (const BYTE *)data, size), ERROR_SUCCESS);
    RegCloseKey(key);
}

std::wstring Wide(const std::string &text) { return std::wstring(text.begin(), text.end()); }
