// The NSIS folder rules against real files and real registry keys.
#include <gtest/gtest.h>
#include "core.h"
#include "testutil.h"

TEST(FileExists, FilesFoldersAndPatterns)
{
    ScratchDir dir;
    WriteFile(dir / "a.txt", "a");
    MakeDir(dir / "sub");
    MakeDir(dir / "empty");
    struct { const char *what; std::string path; int expected; } cases[] = {
        { "a file", dir / "a.txt", 1 },
        { "a missing file", dir / "b.txt", 0 },
        { "a folder by its name", dir / "sub", 1 },
        { "a pattern that matches", dir / "*.txt", 1 },
        { "a pattern that matches nothing", dir / "*.nsh", 0 },
        { "every entry of a folder with files", dir / "sub\\*.*", 1 },
        { "every entry of an empty folder", dir / "empty\\*.*", 1 },
        { "every entry of a missing folder", dir / "none\\*.*", 0 },
        { "a file below a missing folder", dir / "none\\a.txt", 0 },
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(FileExists(c.path.c_str()), c.expected) << c.path;
    }
}

TEST(IsNsisDirectory, MarkerAndTextAsTyped)
{
    ScratchDir dir;
    MakeDir(dir / "nsis");
    WriteFile(dir / "nsis\\makensis.exe", "MZ");
    MakeDir(dir / "bydir");
    MakeDir(dir / "bydir\\makensis.exe");
    MakeDir(dir / "other");
    WriteFile(dir / "other\\makensisw.exe", "MZ");
    // The deepest folder whose probe still fits: 246 characters and "\makensis.exe" make 259.
    std::string deep = DeepDir(dir.Path(), 246);
    WriteFile(deep + "\\makensis.exe", "MZ");
    std::string shallower = deep.substr(0, deep.rfind('\\'));
    struct { const char *what; std::string text; int expected; } cases[] = {
        { "a folder holding makensis.exe", dir / "nsis", 1 },
        { "the same with a trailing backslash", dir / "nsis\\", 1 },
        { "a folder with a subfolder named makensis.exe", dir / "bydir", 1 },
        { "a folder without the marker", dir / "other", 0 },
        { "a missing folder", dir / "gone", 0 },
        { "a folder name with a blank after it", dir / "nsis ", 0 },
        { "246 characters, probe just fits", deep, 1 },
        { "247 characters, the probe cannot fit", deep + "\\", 0 },
        { "far past the path limit", deep + std::string(900, '\\'), 0 },
        { "the parent of the deep folder", shallower, 0 },
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(IsNsisDirectory(c.text.c_str()), c.expected) << c.text.size() << " characters";
    }
}

TEST(IsNsisDirectory, EmptyTextProbesTheRootOfTheCurrentDrive)
{
    OnScratchDrive drive;
    EXPECT_EQ(IsNsisDirectory(""), 0);
    WriteFile("\\makensis.exe", "MZ");
    EXPECT_EQ(IsNsisDirectory(""), 1);
    DeleteFileA("\\makensis.exe");
}

// A canary after the buffer shows any write past its 260 characters.
struct CanaryBuffer {
    PathBuffer text;
    char canary[16];
};

TEST(QueryNsisDirectory, RegistryValues)
{
    const std::string at259(259, 'n'), at260(260, 'n'), at258(258, 'n');
    std::string binary260(260, 'b');
    DWORD number = 0x414243;
    struct Case {
        const char *what;
        REGSAM view;         // the view the value is written to; 0: no key at all
        DWORD type;
        const void *data;    // NULL: a key without a default value
        DWORD size;
        std::string expected;
    } cases[] = {
        { "no key", 0, 0, NULL, 0, "" },
        { "a key without a default value", KEY_WOW64_32KEY, 0, NULL, 0, "" },
        { "a plain folder", KEY_WOW64_32KEY, REG_SZ, "C:\\NSIS", 8, "C:\\NSIS" },
        { "an empty text", KEY_WOW64_32KEY, REG_SZ, "", 1, "" },
        { "259 characters, taken whole", KEY_WOW64_32KEY, REG_SZ, at259.c_str(), 260, at259 },
        { "260 characters, too long", KEY_WOW64_32KEY, REG_SZ, at260.c_str(), 261, "" },
        { "259 characters stored without a zero", KEY_WOW64_32KEY, REG_BINARY, at259.c_str(), 259, at259 },
        { "258 characters stored as text without a zero", KEY_WOW64_32KEY, REG_SZ, at258.c_str(), 258, at258 },
        { "260 bytes with no zero", KEY_WOW64_32KEY, REG_BINARY, binary260.c_str(), 260, "" },
        { "unexpanded %ProgramFiles%", KEY_WOW64_32KEY, REG_EXPAND_SZ, "%ProgramFiles%\\NSIS", 20,
          "%ProgramFiles%\\NSIS" },
        { "a number, read as its bytes", KEY_WOW64_32KEY, REG_DWORD, &number, 4, "CBA" },
        { "only in the 64-bit view, which the product never sees", KEY_WOW64_64KEY, REG_SZ,
          "C:\\NSIS64", 10, "" },
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        DeleteNsisKey(KEY_WOW64_32KEY);
        DeleteNsisKey(KEY_WOW64_64KEY);
        if (c.view)
            SetNsisValue(c.view, c.type, c.data, c.size);
        CanaryBuffer buffer;
        FillMemory(&buffer, sizeof buffer, 'X');
        QueryNsisDirectory(buffer.text, sizeof buffer.text);
        EXPECT_EQ(std::string(buffer.text), c.expected);
        EXPECT_EQ(std::string(buffer.canary, sizeof buffer.canary), std::string(16, 'X'));
    }
    DeleteNsisKey(KEY_WOW64_32KEY);
    DeleteNsisKey(KEY_WOW64_64KEY);
}
