// The setup program end to end: started from its package folder, driven as a user would.
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdlib>
#include <vector>
#include "driver.h"
#include "package.h"
#include "testutil.h"
#include "resource.h"

namespace {

// A package file's content, the same for every row that installs it.
std::string PackageContent(int row)
{
    std::string name = PackageSource("", row);
    return "package " + name + std::string(300 * name.size(), '\x5a') + "\r\n\x01\xff";
}
std::string OldContent(int row) { return "installed " + std::to_string(row); }
// The sample package's file, as the build beside the program under test made it.
std::string SampleContent(int row)
{
    return ReadFile(PackageSource(FolderOf(getenv("TAVRIN_EXE")) + "\\sample-package", row));
}

// A package folder with the program in it, an NSIS installation laid out as NSIS 2's (a plain
// Plugins folder), and the registry naming it.
class SetupRun : public ::testing::Test {
protected:
    ScratchDir dir;
    std::string setup = dir / "package folder", nsis = dir / "NSIS", decoy = dir / "NSIS 64";
    Program program;

    void SetUp() override
    {
        MakeDir(setup);
        MakePackage(setup, "1234");
        for (const char *sub : { "", "\\Docs", "\\Examples", "\\Include", "\\Plugins" })
            MakeDir(nsis + sub);
        WriteFile(nsis + "\\makensis.exe", "MZ");
        SetRegistry(nsis);
        // The program reads the registry's 32-bit view; the 64-bit view names another NSIS folder.
        MakeDir(decoy);
        WriteFile(decoy + "\\makensis.exe", "MZ");
        DeleteNsisKey(KEY_WOW64_64KEY);
        SetNsisValue(KEY_WOW64_64KEY, REG_SZ, decoy.c_str(), (DWORD)decoy.size() + 1);
    }

    void TearDown() override
    {
        program.Stop();
        DeleteNsisKey(KEY_WOW64_32KEY);
        DeleteNsisKey(KEY_WOW64_64KEY);
    }

    static void MakePackage(const std::string &folder, const char *rows)
    {
        const char *program = getenv("TAVRIN_EXE");
        ASSERT_TRUE(program) << "TAVRIN_EXE names the program under test";
        ASSERT_TRUE(CopyFileA(program, (folder + "\\TavrinSetup.exe").c_str(), FALSE)) << program;
        MakeDir(folder + "\\Example");
        MakeDir(folder + "\\Include");
        MakeDir(folder + "\\Plugin");
        for (const char *r = rows; *r; r++)
            WriteFile(PackageSource(folder, *r - '0'), PackageContent(*r - '0'));
    }

    static void SetRegistry(const std::string &value)
    {
        DeleteNsisKey(KEY_WOW64_32KEY);
        SetNsisValue(KEY_WOW64_32KEY, REG_SZ, value.c_str(), (DWORD)value.size() + 1);
    }

    // Starts the program in folder as run, and waits for its dialog.
    HWND Start(Program &run, const std::string &folder)
    {
        if (!run.Start(folder + "\\TavrinSetup.exe"))
            return NULL;
        return WaitForSetupDialog(run);
    }
    HWND Start(const std::string &folder) { return Start(program, folder); }

    // Per row: N the package's file installed (by default the tests' own), O the old one kept,
    // - none; and no copy left beside any.
    void ExpectInstalled(const std::string &rows, std::string (*content)(int row) = PackageContent)
    {
        for (int r = 1; r <= PACKAGE_ROWS; r++) {
            SCOPED_TRACE("row " + std::to_string(r));
            std::string got = ReadFile(PackageDest(nsis, r)), beside = PackageDest(nsis, r);
            char c = rows[r - 1];
            EXPECT_EQ(got, c == 'N' ? content(r) : c == 'O' ? OldContent(r) : "<absent>");
            EXPECT_FALSE(Exists(beside.replace(beside.size() - 1, 1, "~"))) << "a copy left beside it";
        }
    }

    // No file installed and no folder made.
    void ExpectUntouched()
    {
        ExpectInstalled("-----");
        EXPECT_FALSE(IsDir(nsis + "\\Docs\\Tavrin"));
    }

    void ExpectBox(HWND box, const std::string &text, HWND owner, std::initializer_list<int> buttons)
    {
        ASSERT_TRUE(box);
        EXPECT_EQ(MessageText(box), text);
        EXPECT_EQ(GetWindow(box, GW_OWNER), owner);
        for (int id : { IDOK, IDCANCEL, IDYES, IDNO }) {
            bool wanted = std::find(buttons.begin(), buttons.end(), id) != buttons.end();
            EXPECT_EQ(GetDlgItem(box, id) != NULL, wanted) << "button " << id;
        }
    }

    void ExpectEnabled(HWND dialog, bool enabled, const std::string &what)
    {
        WaitFor([&] { return (IsWindowEnabled(GetDlgItem(dialog, IDOK)) != 0) == enabled; },
                std::string("Install ") + (enabled ? "enabled" : "disabled") + " " + what, 5000);
    }
};

TEST_F(SetupRun, TypicalRun)
{
    // Its first act: file virtualization off for its token, or a standard user's copies into
    // Program Files would land in their VirtualStore. Wine has none (the call fails there), so the
    // calls are watched, and the token's rights, which must allow it. Its last: ExitProcess(0), as
    // Windows has no exit code for a program's entry point that returns.
    std::string exe = setup + "\\TavrinSetup.exe";
    ASSERT_TRUE(StartWatched(program, exe, "advapi32.OpenProcessToken;advapi32.SetTokenInformation;kernel32.ExitProcess"));
    HWND dialog = WaitForSetupDialog(program);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(Text(GetDlgItem(dialog, IDC_NSISDIR)), nsis);
    ExpectEnabled(dialog, true, "for the registry's NSIS folder");
    EXPECT_TRUE(SendMessageA(GetDlgItem(dialog, IDC_SETUPICON), STM_GETICON, 0, 0)) << "the dialog shows the icon";
    Click(GetDlgItem(dialog, IDOK));
    HWND box = WaitForMessageBox(program);
    EXPECT_FALSE(IsWindow(dialog)) << "the dialog is gone before the completion message";
    ExpectBox(box, "Installation complite", NULL, { IDOK });
    Click(GetDlgItem(box, IDOK));
    EXPECT_EQ(program.Finish(), 0);
    std::vector<Call> calls = WatchedCalls(program, exe);
    const struct { const char *function; size_t args; } expected[] = {
        { "advapi32.OpenProcessToken", 3 }, { "advapi32.SetTokenInformation", 4 }, { "kernel32.ExitProcess", 1 } };
    ASSERT_EQ(calls.size(), 3u) << "the program opens its token, sets it, and ends through ExitProcess";
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(_stricmp(calls[i].function.c_str(), expected[i].function), 0) << calls[i].function;
        ASSERT_EQ(calls[i].args.size(), expected[i].args) << expected[i].function;
        EXPECT_TRUE(calls[i].fromProgram) << expected[i].function << " called from the program's own code";
    }
    EXPECT_EQ(calls[0].args[0], (ULONG_PTR)-1) << "the program's own token";
    EXPECT_TRUE(calls[0].args[1] & TOKEN_ADJUST_DEFAULT) << "opened with the right to change it";
    EXPECT_EQ(calls[0].result, 1u) << "the token opened";
    EXPECT_EQ(calls[1].args[1], (ULONG_PTR)TokenVirtualizationEnabled);
    EXPECT_EQ(calls[1].args[3], sizeof(DWORD));
    EXPECT_EQ(calls[2].args[0], 0u) << "ExitProcess(0)";
    ExpectInstalled("NNNN-");
    EXPECT_FALSE(IsDir(nsis + "\\Plugins\\x86-ansi")) << "an NSIS 2 installation gets no folder of NSIS 3's";
}

TEST_F(SetupRun, NoRegistryFolderOffered)
{
    // Fullwidth letters, which the code page lacks: the ANSI call reads them as "nsis", a folder
    // that holds makensis.exe here.
    MakeDir(dir / "nsis");
    WriteFile(dir / "nsis\\makensis.exe", "MZ");
    std::wstring fullwidth = Wide(dir / "") + L"\xff4e\xff53\xff49\xff53";
    for (bool key : { false, true }) {
        SCOPED_TRACE(key ? "a fullwidth name beside its ASCII twin" : "no key");
        DeleteNsisKey(KEY_WOW64_32KEY);
        if (key)
            SetNsisValue(KEY_WOW64_32KEY, REG_SZ, fullwidth.c_str(), 2 * (DWORD)fullwidth.size() + 2, true);
        Program run;
        HWND dialog = Start(run, setup);
        ASSERT_TRUE(dialog);
        EXPECT_EQ(Text(GetDlgItem(dialog, IDC_NSISDIR)), "");
        ExpectEnabled(dialog, false, "with an empty field");
        Click(GetDlgItem(dialog, IDCANCEL));
        EXPECT_EQ(run.Finish(), 0);
    }
}

// Typed over the registry's folder: the rule follows every key, and Install fills the folder typed.
TEST_F(SetupRun, TypingFollowsTheRule)
{
    // Short, on the scratch drive: typing stops where the text fills the field's width.
    std::string typed = "Y:\\T";
    RemoveTree(typed);
    for (const char *sub : { "", "\\Docs", "\\Examples", "\\Include", "\\Plugins" })
        MakeDir(typed + sub);
    HWND dialog = Start(setup);
    ASSERT_TRUE(dialog);
    HWND field = GetDlgItem(dialog, IDC_NSISDIR);
    ExpectEnabled(dialog, true, "at start");
    SendMessageA(field, WM_SETTEXT, 0, (LPARAM)"Y:\\");
    ExpectEnabled(dialog, false, "for a folder without makensis.exe");
    SendMessageA(field, EM_SETSEL, 3, 3);
    TypeChar(field, 'T');
    WaitFor([&] { return Text(field) == typed; }, "the letter to be typed");
    ExpectEnabled(dialog, false, "while makensis.exe is not there");
    WriteFile(typed + "\\makensis.exe", "MZ");
    // Leaving the field runs the rule too: a makensis.exe that appeared meanwhile counts on Tab.
    PressKey(field, VK_TAB);
    ExpectEnabled(dialog, true, "once Tab leaves the field after makensis.exe appeared");
    SendMessageA(field, EM_SETSEL, 4, 4);
    TypeChar(field, 'x');
    ExpectEnabled(dialog, false, "after a letter is appended to the folder name");
    EXPECT_EQ(Text(field), typed + "x");
    TypeChar(field, '\b');
    ExpectEnabled(dialog, true, "once the letter is deleted");
    EXPECT_EQ(Text(field), typed);
    Click(GetDlgItem(dialog, IDOK));
    HWND box = WaitForMessageBox(program);
    ExpectBox(box, "Installation complite", NULL, { IDOK });
    Click(GetDlgItem(box, IDOK));
    EXPECT_EQ(program.Finish(), 0);
    for (int r = 1; r <= 4; r++)
        EXPECT_EQ(ReadFile(PackageDest(typed, r)), PackageContent(r)) << "row " << r;
    ExpectUntouched();
    RemoveTree(typed);
}

TEST_F(SetupRun, NoToAMissingFileEndsQuietly)
{
    DeleteFileA((setup + "\\Readme.txt").c_str());
    HWND dialog = Start(setup);
    ASSERT_TRUE(dialog);
    Click(GetDlgItem(dialog, IDOK));
    HWND box = WaitForMessageBox(program);
    ExpectBox(box, PackageSource(setup, 1) + "\n\nFile does not exists. Continue?", dialog, { IDYES, IDNO });
    Click(GetDlgItem(box, IDNO));
    // Any further message would keep the program from ending.
    EXPECT_EQ(program.Finish(), 0);
    ExpectUntouched();
}

TEST_F(SetupRun, CancelOnReplaceAborts)
{
    WriteFile(PackageDest(nsis, 3), OldContent(3));
    WriteFile(PackageDest(nsis, 4), OldContent(4));
    HWND dialog = Start(setup);
    ASSERT_TRUE(dialog);
    Click(GetDlgItem(dialog, IDOK));
    HWND box = WaitForMessageBox(program);
    ExpectBox(box, PackageDest(nsis, 3) + "\n\nFile already exists. Replace it?", dialog, { IDYES, IDNO, IDCANCEL });
    Click(GetDlgItem(box, IDCANCEL));
    WaitFor([&] { HWND b = FindDialog(program, "Tavrin Plugin Setup", false); return b && b != box; }, "the aborted message");
    box = FindDialog(program, "Tavrin Plugin Setup", false);
    ExpectBox(box, "Installation aborted", dialog, { IDOK });
    Click(GetDlgItem(box, IDOK));
    EXPECT_EQ(program.Finish(), 0);
    ExpectInstalled("NNOO-");
}

TEST_F(SetupRun, ClosingTouchesNothing)
{
    struct { const char *how; void (*close)(HWND dialog); } cases[] = {
        { "Cancel", [](HWND d) { Click(GetDlgItem(d, IDCANCEL)); } },
        { "Escape", [](HWND d) { PressKey(GetDlgItem(d, IDC_NSISDIR), VK_ESCAPE); } },
        { "the close button", [](HWND d) { PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0); } },
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.how);
        Program run;
        HWND dialog = Start(run, setup);
        ASSERT_TRUE(dialog);
        c.close(dialog);
        EXPECT_EQ(run.Finish(), 0);
        ExpectUntouched();
    }
}

TEST_F(SetupRun, InstallWhileDisabledInstallsNothing)
{
    DeleteFileA((nsis + "\\makensis.exe").c_str());
    struct { const char *how; void (*install)(HWND dialog); } cases[] = {
        { "Enter", [](HWND d) { PressKey(GetDlgItem(d, IDC_NSISDIR), VK_RETURN); } },
        // Reaches the dialog procedure whatever the button's state.
        { "a posted Install command", [](HWND d) { PostMessageA(d, WM_COMMAND, IDOK, 0); } },
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.how);
        Program run;
        HWND dialog = Start(run, setup);
        ASSERT_TRUE(dialog);
        ExpectEnabled(dialog, false, "for a folder without makensis.exe");
        c.install(dialog);
        // Nothing is to happen, so there is nothing to wait for but time.
        Sleep(1000);
        EXPECT_EQ(CountMessageBoxes(run), 0);
        EXPECT_TRUE(IsWindow(dialog));
        Click(GetDlgItem(dialog, IDCANCEL));
        EXPECT_EQ(run.Finish(), 0);
        ExpectUntouched();
    }
}

// What other programs post to the dialog reaches it under a prompt (taskkill without /F posts
// WM_CLOSE): none of it may close the prompt or start a second install.
TEST_F(SetupRun, MessagesUnderAPromptChangeNothing)
{
    // Every row installed, so every row asks.
    for (int r = 1; r <= PACKAGE_ROWS; r++) {
        MakeDir(FolderOf(PackageDest(nsis, r)));
        WriteFile(PackageDest(nsis, r), OldContent(r));
    }
    struct { const char *what; void (*post)(HWND dialog); } cases[] = {
        { "WM_CLOSE", [](HWND d) { PostMessageA(d, WM_CLOSE, 0, 0); } },
        { "Cancel", [](HWND d) { PostMessageA(d, WM_COMMAND, IDCANCEL, 0); } },
        { "Install", [](HWND d) { PostMessageA(d, WM_COMMAND, IDOK, 0); } },
        { "a click on Install", [](HWND d) { Click(GetDlgItem(d, IDOK)); } },
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        Program run;
        HWND dialog = Start(run, setup);
        ASSERT_TRUE(dialog);
        Click(GetDlgItem(dialog, IDOK));
        HWND box = WaitForMessageBox(run);
        c.post(dialog);
        Sleep(500); // time for a closed prompt or a second one to show
        int r = 1;
        for (; r <= PACKAGE_ROWS && CountMessageBoxes(run) == 1; r++) {
            SCOPED_TRACE("prompt " + std::to_string(r));
            ExpectBox(box, PackageDest(nsis, r) + "\n\nFile already exists. Replace it?", dialog,
                      { IDYES, IDNO, IDCANCEL });
            HWND answered = box;
            Click(GetDlgItem(box, IDNO));
            WaitFor([&] { box = FindDialog(run, "Tavrin Plugin Setup", false); return box && box != answered; },
                    "the next message box");
            Sync(box); // the box is up and waiting for an answer
        }
        EXPECT_EQ(r, PACKAGE_ROWS + 1) << CountMessageBoxes(run) << " message boxes at prompt " << r;
        ExpectBox(box, "Installation complite", NULL, { IDOK });
        Click(GetDlgItem(box, IDOK));
        EXPECT_EQ(run.Finish(), 0);
        ExpectInstalled("OOOOO");
    }
}

// A release's program, here with the sample package's sums, installs that package's files, and
// in their place no other: not one changed, nor one cut short, of which it says why.
TEST_F(SetupRun, AReleasedProgramInstallsOnlyItsOwnFiles)
{
    std::string released = dir / "released";
    std::string refused = "\n\nIt is not the file this setup was released with: damaged or changed.\n\n"
                          "File could not be copied. Continue?";
    struct Step { std::string text; int answer; };
    // NSIS 3's layout: the plug-in's second place takes the same file.
    MakeDir(nsis + "\\Plugins\\x86-ansi");
    struct { const char *what; int changed; const char *result; std::vector<Step> steps; } cases[] = {
        { "as released", 0, "NNNNN", { { "Installation complite", IDOK } } },
        { "a changed header, No", 3, "NN---", { { PackageSource(released, 3) + refused, IDNO } } },
        { "a plug-in cut short over an older one, Yes", 4, "NNNO-",
          { { PackageDest(nsis, 4) + "\n\nFile already exists. Replace it?", IDYES },
            { PackageSource(released, 4) + refused, IDYES }, { PackageSource(released, 5) + refused, IDYES },
            { "Installation complite", IDOK } } },
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        MakeDir(released);
        for (int r = 1; r <= 4; r++) {
            MakeDir(FolderOf(PackageSource(released, r)));
            std::string content = SampleContent(r);
            if (r == c.changed)
                content = r == 3 ? content.replace(10, 1, "!") : content.substr(0, 1000);
            WriteFile(PackageSource(released, r), content);
        }
        for (int r = 1; r <= PACKAGE_ROWS; r++)
            DeleteFileA(PackageDest(nsis, r).c_str());
        ASSERT_TRUE(CopyFileA((FolderOf(getenv("TAVRIN_EXE")) + "\\TavrinSetupWithSums.exe").c_str(),
                              (released + "\\TavrinSetup.exe").c_str(), FALSE));
        if (c.changed == 4)
            WriteFile(PackageDest(nsis, 4), OldContent(4));
        Program run;
        HWND dialog = Start(run, released), box = NULL;
        ASSERT_TRUE(dialog);
        Click(GetDlgItem(dialog, IDOK));
        for (const Step &step : c.steps) {
            HWND last = box;
            WaitFor([&] { return (box = FindDialog(run, "Tavrin Plugin Setup", false)) && box != last; }, step.text);
            EXPECT_EQ(MessageText(box), step.text);
            Click(GetDlgItem(box, step.answer));
        }
        EXPECT_EQ(run.Finish(), 0);
        ExpectInstalled(c.result, SampleContent);
    }
}

// The package is read beside the program wherever that is, and nowhere else.
TEST_F(SetupRun, FromItsOwnFolder)
{
    // Drive Y: is a scratch root made for the test run.
    RemoveTree("Y:\\Example");
    RemoveTree("Y:\\Include");
    RemoveTree("Y:\\Plugin");
    DeleteFileA("Y:\\Readme.txt");
    MakePackage("Y:", "1234");
    // A folder named with U+2010, which the code page lacks, beside its look-alike "pkg-x" that
    // holds another package: the ANSI call names the twin.
    MakeDir(dir / "pkg-x");
    MakePackage(dir / "pkg-x", "1234");
    for (int r = 1; r <= 4; r++)
        WriteFile(PackageSource(dir / "pkg-x", r), "the twin's " + OldContent(r));
    MakeDir(dir / "own");
    MakePackage(dir / "own", "1234");
    std::wstring own = Wide(dir / "pkg") + L"\x2010x";
    ASSERT_TRUE(MoveFileW(Wide(dir / "own").c_str(), own.c_str()));
    for (std::wstring folder : { std::wstring(L"Y:"), own }) {
        SCOPED_TRACE(folder == own ? "a folder the code page lacks" : "the root of a drive");
        for (int r = 1; r <= 4; r++)
            DeleteFileA(PackageDest(nsis, r).c_str());
        Program run;
        ASSERT_TRUE(run.Start(folder + L"\\TavrinSetup.exe"));
        HWND dialog = WaitForSetupDialog(run);
        ASSERT_TRUE(dialog);
        Click(GetDlgItem(dialog, IDOK));
        HWND box = WaitForMessageBox(run);
        ExpectBox(box, "Installation complite", NULL, { IDOK });
        Click(GetDlgItem(box, IDOK));
        EXPECT_EQ(run.Finish(), 0);
        ExpectInstalled("NNNN-");
    }
}

} // namespace

// Not a test of its own: the demo and the makensis check run it to press Install on the program in
// TAVRIN_PACKAGE; with TAVRIN_SHOTS it saves pictures of the dialog and the result there. It prints
// the message the program ends with, and answers No to a question.
TEST(Tool, DISABLED_PressInstall)
{
    const char *folder = getenv("TAVRIN_PACKAGE"), *shots = getenv("TAVRIN_SHOTS");
    ASSERT_TRUE(folder) << "TAVRIN_PACKAGE names the program's folder";
    Program program;
    ASSERT_TRUE(program.Start(std::string(folder) + "\\TavrinSetup.exe"));
    HWND dialog = WaitForSetupDialog(program);
    ASSERT_TRUE(dialog);
    if (shots) {
        Sleep(500); // let it paint
        EXPECT_TRUE(SaveScreen(std::string(shots) + "\\dialog.bmp"));
    }
    Click(GetDlgItem(dialog, IDOK));
    HWND box = WaitForMessageBox(program);
    ASSERT_TRUE(box);
    if (shots) {
        Sleep(500);
        EXPECT_TRUE(SaveScreen(std::string(shots) + "\\result.bmp"));
    }
    printf("message: %s\n", MessageText(box).c_str());
    EXPECT_EQ(MessageText(box), "Installation complite");
    Click(GetDlgItem(box, GetDlgItem(box, IDNO) ? IDNO : IDOK));
    EXPECT_EQ(program.Finish(), 0);
}
