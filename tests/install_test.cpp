// The install sequence against real folders, with the user's answers scripted.
#include <gtest/gtest.h>
#include <vector>
#include "core.h"
#include "package.h"
#include "testutil.h"

namespace {

struct Prompt {
    HWND owner;
    std::string text, caption;
    UINT style;
};

std::vector<Prompt> Prompts;
std::string Answers; // one letter a prompt: Yes, No, Cancel, Ok, Z for a box that failed (0)

int WINAPI ScriptedPrompt(HWND owner, LPCSTR text, LPCSTR caption, UINT style)
{
    Prompts.push_back({ owner, text, caption, style });
    char letter = Prompts.size() <= Answers.size() ? Answers[Prompts.size() - 1] : 'O';
    switch (letter) {
    case 'Y': return IDYES;
    case 'N': return IDNO;
    case 'C': return IDCANCEL;
    case 'Z': return 0;
    default: return IDOK;
    }
}

const HWND Owner = (HWND)(INT_PTR)0x1234;

// A system call as the core makes it, through this program's import of it, which a row may point
// elsewhere.
#ifdef _WIN64
#define IMPORT(name, argumentBytes) asm("__imp_" #name)
#else
#define IMPORT(name, argumentBytes) asm("__imp__" #name "@" #argumentBytes)
#endif

// A disk that fails to write its data back (an I/O error, a drive gone).
extern "C" FARPROC FlushImport IMPORT(FlushFileBuffers, 4);
BOOL WINAPI FailingFlush(HANDLE) { SetLastError(ERROR_IO_DEVICE); return FALSE; }

// A swap not asked to write through can be undone by a power cut after "complite".
extern "C" FARPROC MoveImport IMPORT(MoveFileExA, 12);

// A system that cannot hash.
extern "C" FARPROC AcquireImport IMPORT(CryptAcquireContextA, 20);
BOOL WINAPI FailingAcquire(HCRYPTPROV *, LPCSTR, LPCSTR, DWORD, DWORD) { SetLastError(ERROR_NOT_SUPPORTED); return FALSE; }

// A copy that cannot be read back whole for its sum: the disk fails after the first chunk, with
// the hash begun.
extern "C" FARPROC ReadImport IMPORT(ReadFile, 20);
FARPROC RealRead;
int ReadsLeft;
BOOL WINAPI FailingRead(HANDLE file, LPVOID to, DWORD size, LPDWORD got, LPOVERLAPPED overlapped)
{
    if (ReadsLeft-- > 0)
        return ((BOOL (WINAPI *)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED))RealRead)(file, to, size, got, overlapped);
    SetLastError(ERROR_IO_DEVICE);
    return FALSE;
}

// A destination folder refused for another reason than a missing parent.
extern "C" FARPROC CreateDirImport IMPORT(CreateDirectoryA, 8);
BOOL WINAPI RefusedCreateDir(LPCSTR, LPSECURITY_ATTRIBUTES) { SetLastError(ERROR_ACCESS_DENIED); return FALSE; }

int SwapsNotWrittenThrough;
FARPROC RealMove;
BOOL WINAPI CheckedMove(LPCSTR from, LPCSTR to, DWORD flags)
{
    SwapsNotWrittenThrough += !(flags & MOVEFILE_WRITE_THROUGH);
    return ((BOOL (WINAPI *)(LPCSTR, LPCSTR, DWORD))RealMove)(from, to, flags);
}

// The system's words for an error, as the copy-failure prompt gives them.
std::string Reason(char code)
{
    DWORD error = code == 'a' ? ERROR_ACCESS_DENIED : code == 'd' ? ERROR_DISK_FULL
                : code == 'i' ? ERROR_IO_DEVICE : code == 'p' ? ERROR_PATH_NOT_FOUND
                : code == 'q' ? ERROR_NOT_SUPPORTED : 0;
    char text[512] = "";
    if (error)
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0, text, sizeof text, NULL);
    std::string reason = text;
    while (!reason.empty() && (unsigned char)reason.back() <= ' ')
        reason.pop_back();
    return reason.empty() ? "" : reason + "\n\n";
}

// A package file's content, the same for every row that installs it: more than a page.
std::string NewContent(int row)
{
    std::string name = Package[row - 1].fileName;
    return "package file " + name + std::string(name.size() * 500, 'p');
}
std::string OldContent(int row) { return "installed file of row " + std::to_string(row); }

// Sums for a program that carries them: where the system cannot hash, they are never compared.
const FileSum Unhashed[4] = {};

struct Scenario {
    const char *what;
    const char *missing;   // rows whose package file is missing
    const char *installed; // rows already installed
    const char *layout;    // D, E: Docs, Examples absent; A: Plugins\x86-ansi there (NSIS 3);
                           // T: a file named Tavrin where Docs\Tavrin belongs; S: a copy left
                           // beside the plug-in by an earlier run that was ended; F: no room left;
                           // R: that copy and the plug-in's package file read-only; I: flushes fail;
                           // P: every package file and every installed one read-only; Q: the
                           // program carries sums, and the system cannot hash; U: it carries
                           // sums, and a copy fails to read back part-way; B: the last level of
                           // a destination refused (access denied)
    const char *locked;    // installed rows held open without sharing
    const char *answers;
    const char *prompts;   // in order: m<row> missing, r<row> replace, f<row> copy failed, A aborted;
                           // after f<row>, why: a access denied (a file in use too), d disk full,
                           // i I/O error, p no folder, q no hashing
    int outcome;
    const char *result;    // per row: N the package's file, O the old one, - no file
};

bool Has(const char *set, char c) { return strchr(set, c) != NULL; }

// The name a copy bears beside its file until it takes the file's place.
std::string Beside(std::string path) { path.back() = '~'; return path; }

// Lays out the package and NSIS folders, runs the sequence and checks everything the user would see.
void RunScenario(const Scenario &s, const std::string &setup, const std::string &nsis)
{
    SCOPED_TRACE(s.what);
    for (int r = 1; r <= PACKAGE_ROWS; r++) {
        std::string file = PackageSource(setup, r);
        if (!FolderOf(file).empty())
            MakeDirs(FolderOf(file));
        // A package file past the path limit cannot be there at all.
        if (file.size() < MAX_PATH)
            WriteFile(file, NewContent(r));
    }
    for (const char *r = s.missing; *r; r++)
        DeleteFileA(PackageSource(setup, *r - '0').c_str());
    MakeDirs(nsis);
    const char *parents[] = { "\\Docs", "\\Examples", "\\Include", "\\Plugins" };
    for (const char *parent : parents)
        if (!Has(s.layout, parent[1]))
            MakeDir(nsis + parent);
    if (Has(s.layout, 'A'))
        MakeDir(nsis + "\\Plugins\\x86-ansi");
    if (Has(s.layout, 'T'))
        WriteFile(nsis + "\\Docs\\Tavrin", "a file");
    if (Has(s.layout, 'S'))
        WriteFile(Beside(PackageDest(nsis, 4)), "left by a run that was ended");
    if (Has(s.layout, 'R')) {
        SetFileAttributesA(Beside(PackageDest(nsis, 4)).c_str(), FILE_ATTRIBUTE_READONLY);
        SetFileAttributesA(PackageSource(setup, 4).c_str(), FILE_ATTRIBUTE_READONLY);
    }
    std::vector<HANDLE> held;
    for (int r = 1; r <= PACKAGE_ROWS; r++) {
        if (Has(s.layout, 'P'))
            SetFileAttributesA(PackageSource(setup, r).c_str(), FILE_ATTRIBUTE_READONLY);
        if (!Has(s.installed, '0' + r))
            continue;
        std::string path = PackageDest(nsis, r);
        MakeDir(FolderOf(path));
        WriteFile(path, OldContent(r));
        if (Has(s.layout, 'P'))
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
        if (Has(s.locked, '0' + r))
            held.push_back(CreateFileA(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
    }

    ULARGE_INTEGER room;
    if (Has(s.layout, 'F') && GetDiskFreeSpaceExA(nsis.c_str(), &room, NULL, NULL))
        WriteFile(nsis + "\\filler", std::string((size_t)room.QuadPart, 'f'));

    Prompts.clear();
    Answers = s.answers;
    FARPROC flush = FlushImport;
    if (Has(s.layout, 'I'))
        FlushImport = (FARPROC)FailingFlush;
    FARPROC acquire = AcquireImport;
    if (Has(s.layout, 'Q'))
        AcquireImport = (FARPROC)FailingAcquire;
    RealRead = ReadImport;
    ReadsLeft = 1;
    if (Has(s.layout, 'U'))
        ReadImport = (FARPROC)FailingRead;
    FARPROC createDir = CreateDirImport;
    if (Has(s.layout, 'B'))
        CreateDirImport = (FARPROC)RefusedCreateDir;
    RealMove = MoveImport;
    MoveImport = (FARPROC)CheckedMove;
    SwapsNotWrittenThrough = 0;
    int outcome = RunInstall(Owner, setup.c_str(), nsis.c_str(), strpbrk(s.layout, "QU") ? Unhashed : NULL, ScriptedPrompt);
    CreateDirImport = createDir;
    ReadImport = RealRead;
    AcquireImport = acquire;
    FlushImport = flush;
    MoveImport = RealMove;
    EXPECT_EQ(SwapsNotWrittenThrough, 0);
    for (HANDLE h : held)
        CloseHandle(h);

    EXPECT_EQ(outcome, s.outcome);
    std::vector<std::string> expected;
    std::string tokens = s.prompts;
    for (size_t i = 0; i < tokens.size(); i += 3) {
        char kind = tokens[i];
        if (kind == 'A') {
            expected.push_back("Installation aborted|48");
            continue;
        }
        int r = tokens[i + 1] - '0';
        std::string dest = PackageDest(nsis, r);
        if (kind == 'm')
            expected.push_back(PackageSource(setup, r) + "\n\nFile does not exists. Continue?|308");
        else if (kind == 'r')
            expected.push_back(dest + "\n\nFile already exists. Replace it?|35");
        else
            expected.push_back(dest + "\n\n" + Reason(tokens[i + 2]) + "File could not be copied. Continue?|308");
    }
    ASSERT_EQ(Prompts.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        SCOPED_TRACE("prompt " + std::to_string(i + 1));
        EXPECT_EQ(Prompts[i].text + "|" + std::to_string(Prompts[i].style), expected[i]);
        EXPECT_EQ(Prompts[i].caption, "Tavrin Plugin Setup");
        EXPECT_EQ(Prompts[i].owner, Owner);
    }
    for (int r = 1; r <= PACKAGE_ROWS; r++) {
        SCOPED_TRACE("row " + std::to_string(r));
        std::string content = ReadFile(PackageDest(nsis, r));
        char c = s.result[r - 1];
        EXPECT_EQ(content, c == 'N' ? NewContent(r) : c == 'O' ? OldContent(r) : "<absent>");
        EXPECT_FALSE(Exists(Beside(PackageDest(nsis, r)))) << "a copy left beside the file";
        // Installed files are writable; one kept keeps its attribute.
        DWORD attributes = GetFileAttributesA(PackageDest(nsis, r).c_str());
        if (c != '-')
            EXPECT_EQ((attributes & FILE_ATTRIBUTE_READONLY) != 0, c == 'O' && Has(s.layout, 'P')) << "read-only";
    }
    // Only the last level of a destination is ever made, and only when its row is reached.
    EXPECT_EQ(IsDir(nsis + "\\Docs"), !Has(s.layout, 'D'));
    EXPECT_EQ(IsDir(nsis + "\\Examples"), !Has(s.layout, 'E'));
    EXPECT_EQ(IsDir(nsis + "\\Docs\\Tavrin"), s.result[0] != '-' || Has(s.installed, '1'));
    EXPECT_EQ(IsDir(nsis + "\\Examples\\Tavrin"), s.result[1] != '-' || Has(s.installed, '2'));
    // An NSIS 2 installation gets no folder of NSIS 3's.
    EXPECT_EQ(IsDir(nsis + "\\Plugins\\x86-ansi"), Has(s.layout, 'A'));
}

const Scenario Sequences[] = {
    { "fresh install, no prompt", "", "", "", "", "", "", 1, "NNNN-" },
    { "NSIS 3: the plug-in in Plugins\\x86-ansi too", "", "", "A", "", "", "", 1, "NNNNN" },
    { "Docs left out: row 1 skipped quietly", "", "", "D", "", "", "", 1, "-NNN-" },
    { "Examples left out: row 2 skipped quietly", "", "", "E", "", "", "", 1, "N-NN-" },
    { "missing readme, Yes: destination not looked at", "1", "", "", "", "Y", "m1 ", 1, "-NNN-" },
    { "missing readme, No: nothing touched", "1", "", "", "", "N", "m1 ", 0, "-----" },
    { "missing readme, failed box stops", "1", "", "", "", "Z", "m1 ", 0, "-----" },
    { "missing example, No: row 1 stays", "2", "", "", "", "N", "m2 ", 0, "N----" },
    { "missing plugin, Yes: asked about once", "4", "", "A", "", "Y", "m4 ", 1, "NNN--" },
    { "all missing, in row order", "1234", "", "A", "", "YYYY", "m1 m2 m3 m4 ", 1, "-----" },
    { "all installed, replace each", "", "12345", "A", "", "YYYYY", "r1 r2 r3 r4 r5 ", 1, "NNNNN" },
    { "keep the installed readme", "", "1", "", "", "N", "r1 ", 1, "ONNN-" },
    { "keep the plugin in Plugins, replace it in x86-ansi", "", "45", "A", "", "NY", "r4 r5 ", 1, "NNNON" },
    { "failed replace box stops, with no further box", "", "2", "", "", "Z", "r2 ", 0, "NO---" },
    { "Cancel on row 3: row 4 never looked at", "", "34", "", "", "CO", "r3 A  ", 0, "NNOO-" },
    { "Cancel on row 4: x86-ansi never looked at", "", "4", "A", "", "CO", "r4 A  ", 0, "NNNO-" },
    { "locked plugin, No stops", "", "4", "", "4", "YN", "r4 f4a", 0, "NNNO-" },
    { "locked plugin, Yes goes on", "", "4", "", "4", "YY", "r4 f4a", 1, "NNNO-" },
    { "locked plugin, failed box stops", "", "4", "", "4", "YZ", "r4 f4a", 0, "NNNO-" },
    { "locked plugin in x86-ansi, No stops", "", "5", "A", "5", "YN", "r5 f5a", 0, "NNNNO" },
    // The folder cannot be made, though its parent is there: the user hears of the failed copy.
    { "a file where Docs\\Tavrin belongs, No", "", "", "T", "", "N", "f1p", 0, "-----" },
    { "Docs\\Tavrin refused, access denied, No", "", "", "B", "", "N", "f1p", 0, "-----" },
    { "locked include, No stops before row 4", "", "3", "", "3", "YN", "r3 f3a", 0, "NNO--" },
    { "a copy left by an ended run is overwritten", "", "", "S", "", "", "", 1, "NNNN-" },
    { "a read-only copy left, of a read-only package file", "", "", "SR", "", "", "", 1, "NNNN-" },
    // Windows renames onto no read-only file: the user's Yes clears the attribute, a failure keeps it.
    { "read-only package over read-only installed files, Yes", "", "34", "P", "", "YY", "r3 r4 ", 1, "NNNN-" },
    { "read-only plugin held open stays read-only, No", "", "4", "P", "4", "YN", "r4 f4a", 0, "NNNO-" },
    { "a failed flush keeps the installed file, No", "", "1", "I", "", "YN", "r1 f1i", 0, "O----" },
    // No room but the old plug-in's one page, and the new one needs two: the old one stays whole.
    { "no room for the new plugin, No", "", "1234", "F", "", "NNNYN", "r1 r2 r3 r4 f4d", 0, "OOOO-" },
    { "no room for a new header, No", "", "12", "F", "", "NNN", "r1 r2 f3d", 0, "OO---" },
    // A release's program installs nothing unchecked.
    { "no hashing: the installed readme stays, No", "", "1", "Q", "", "YN", "r1 f1q", 0, "O----" },
    { "a hash broken part-way: the installed readme stays, No", "", "1", "U", "", "YN", "r1 f1i", 0, "O----" },
};

} // namespace

TEST(RunInstall, Sequences)
{
    for (const Scenario &s : Sequences) {
        ScratchDir dir;
        std::string nsis = Has(s.layout, 'F') ? "X:\\NSIS" : dir / "NSIS"; // X:, the run's small volume
        RunScenario(s, dir / "setup dir", nsis);
        RemoveTree(nsis);
    }
}

// Paths at and past the platform's limit: never cut short, never written past a buffer.
TEST(RunInstall, LongPaths)
{
    struct {
        const char *what;
        size_t setupLength, nsisLength; // 0: a short folder
        Scenario s;
    } cases[] = {
        // "\Docs\Tavrin\Readme.txt" is 23 characters: 236 + 23 = 259 fits; Examples' does not.
        { "NSIS folder of 236", 0, 236, { "", "", "", "", "", "Y", "f2 ", 1, "N-NN-" } },
        { "NSIS folder of 237", 0, 237, { "", "", "", "", "", "YY", "f1 f2 ", 1, "--NN-" } },
        { "NSIS folder of 237, No", 0, 237, { "", "", "", "", "", "N", "f1 ", 0, "-----" } },
        // "\Plugin\Tavrin.dll" is 18: 241 + 18 = 259 fits; Example's and Include's do not.
        { "setup folder of 241", 241, 0, { "", "", "", "", "", "YY", "m2 m3 ", 1, "N--N-" } },
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        c.s.what = c.what;
        ScratchDir dir;
        std::string setup = c.setupLength ? DeepDir(dir / "s", c.setupLength) : dir / "setup";
        std::string nsis = c.nsisLength ? DeepDir(dir / "n", c.nsisLength) : dir / "NSIS";
        RunScenario(c.s, setup, nsis);
    }
}

TEST(RunInstall, FoldersFarPastTheLimitAreAskedAboutWhole)
{
    ScratchDir dir;
    std::string setup = "C:\\" + std::string(256, 's');
    std::string nsis = "C:\\" + std::string(256, 'n');
    Prompts.clear();
    Answers = "YYYY";
    EXPECT_EQ(RunInstall(Owner, setup.c_str(), dir.Path().c_str(), NULL, ScriptedPrompt), 1);
    ASSERT_EQ(Prompts.size(), 4u);
    EXPECT_EQ(Prompts[1].text, setup + "\\Example\\TavrinTest.nsi\n\nFile does not exists. Continue?");

    WriteFile(dir / "Readme.txt", "r");
    Prompts.clear();
    Answers = "N";
    EXPECT_EQ(RunInstall(Owner, dir.Path().c_str(), nsis.c_str(), NULL, ScriptedPrompt), 0);
    ASSERT_EQ(Prompts.size(), 1u);
    EXPECT_EQ(Prompts[0].text, nsis + "\\Docs\\Tavrin\\Readme.txt\n\nFile could not be copied. Continue?");

    // A folder beyond any prompt's room still gets its question.
    std::string huge(2000, 'h');
    Prompts.clear();
    Answers = "N";
    EXPECT_EQ(InstallFile(Owner, huge.c_str(), "Readme.txt", dir.Path().c_str(), NULL, ScriptedPrompt), 0);
    ASSERT_EQ(Prompts.size(), 1u);
    EXPECT_EQ(Prompts[0].text, "File does not exists. Continue?");
}

// A program that could not fetch its own path has an empty setup folder. The package files laid
// out from it land in the root of the current drive (the scratch drive here): decoys, none read.
TEST(RunInstall, WithoutItsFolderTheProgramReadsNoPackage)
{
    ScratchDir dir;
    OnScratchDrive drive;
    RunScenario({ "empty setup folder", "", "", "A", "", "YYYY", "m1 m2 m3 m4 ", 1, "-----" }, "", dir / "NSIS");
    for (int r = 1; r <= PACKAGE_ROWS; r++) {
        std::string file = PackageSource("", r);
        DeleteFileA(file.c_str());
        RemoveDirectoryA(FolderOf(file).c_str());
    }
}
