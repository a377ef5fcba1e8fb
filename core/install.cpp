// Copies the package's files into an NSIS installation, asking before it skips or replaces one.
#include "core.h"
#include "package.h"
#include "text.h"

const char ProgramTitle[] = "Tavrin Plugin Setup";

// The program's texts stand exactly as it has always shown them, "does not exists" and
// "complite" included: they are not to be corrected.
static const char MissingQuestion[] = "File does not exists. Continue?";
static const char ReplaceQuestion[] = "File already exists. Replace it?";
static const char CopyFailedQuestion[] = "File could not be copied. Continue?";

// Why a package file is refused: its bytes are not those the release recorded. The code is none
// of the system's (the customer bit is set), so the reason is the program's own.
#define ERROR_NOT_RELEASED 0x20000001
static const char NotReleasedReason[] = "It is not the file this setup was released with: damaged or changed.";

// Room in a prompt for the system's words on an error, and for a question.
#define REASON_ROOM MAX_PATH
#define QUESTION_ROOM 64

// Asks about folder\name: the path alone on the first line, then, after an empty line, why a call
// failed in the system's own words and language where error names one (a file in use, a write
// refused to a standard user, a full disk), then the question after another.
static int AskAboutPath(PromptProc prompt, HWND owner, LPCSTR folder, LPCSTR name,
                        LPCSTR question, UINT style, DWORD error = ERROR_SUCCESS)
{
    char text[PROMPT_CAPACITY];
    int used = 0;
    // Only a folder far past the path limit can fail to fit; the question is then asked without
    // its path rather than not at all.
    if (ComposeText(text, sizeof text - REASON_ROOM - QUESTION_ROOM, "%s\\%s\n\n", folder, name))
        used = TextLength(text);
    DWORD from = error == ERROR_NOT_RELEASED ? FORMAT_MESSAGE_FROM_STRING : FORMAT_MESSAGE_FROM_SYSTEM;
    int length = error ? (int)FormatMessageA(from | FORMAT_MESSAGE_IGNORE_INSERTS, NotReleasedReason,
                                             error, 0, text + used, REASON_ROOM - 2, NULL) : 0;
    // the message's own line break, and any blank, off its end
    while (length > 0 && (unsigned char)text[used + length - 1] <= ' ')
        length--;
    if (length) {
        used += length;
        text[used++] = '\n';
        text[used++] = '\n';
    }
    ComposeText(text + used, sizeof text - used, "%s", question);
    return prompt(owner, text, ProgramTitle, style);
}

// Only Yes goes on. Any other answer stops, 0 among them: a box that could not be shown, or that
// went down with its owner, has not asked the user anything.
static InstallOutcome GoOnIfYes(int answer)
{
    return answer == IDYES ? INSTALL_GO_ON : INSTALL_STOP;
}

static InstallOutcome AskMissing(PromptProc prompt, HWND owner, LPCSTR sourceDir, LPCSTR fileName)
{
    return GoOnIfYes(AskAboutPath(prompt, owner, sourceDir, fileName, MissingQuestion,
                                  MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2));
}

static InstallOutcome AskCopyFailed(PromptProc prompt, HWND owner, LPCSTR destDir, LPCSTR fileName,
                                    DWORD error)
{
    return GoOnIfYes(AskAboutPath(prompt, owner, destDir, fileName, CopyFailedQuestion,
                                  MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2, error));
}

// 1 when folder\name exists; a path past the limit does not.
static int PathExists(LPCSTR folder, LPCSTR name)
{
    PathBuffer path;
    return ComposeText(path, sizeof path, "%s\\%s", folder, name) && FileExists(path);
}

// 1 when the file, read from where it stands, has the SHA-256 sum; else 0, the last error saying
// why: the system's where it could not read or hash, ERROR_NOT_RELEASED where the sums differ.
static int HasSum(HANDLE file, const BYTE *sum)
{
    HCRYPTPROV provider;
    HCRYPTHASH hash;
    BYTE chunk[1024], digest[32];
    DWORD got, size = sizeof digest, error;
    int hashed = 0, differs = 0;
    // The system's own SHA-256, which its AES provider has from Windows XP SP3 on.
    if (!CryptAcquireContextA(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return 0;
    if (CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
        while ((hashed = ReadFile(file, chunk, sizeof chunk, &got, NULL)) && got
               && (hashed = CryptHashData(hash, chunk, got, 0)))
            ;
        hashed = hashed && CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0);
        CryptDestroyHash(hash);
    }
    error = GetLastError(); // before the release, which may set it
    CryptReleaseContext(provider, 0);
    for (int i = 0; hashed && i < (int)sizeof digest; i++)
        differs |= digest[i] ^ sum[i];
    if (hashed && !differs)
        return 1;
    SetLastError(hashed ? ERROR_NOT_RELEASED : error);
    return 0;
}

// The data reaches the disk before the copy takes the old file's place, so that after a power
// cut the name never stands on data that was not written; and where the release recorded the
// file's sum, the copy, read back, must have it. A failure leaves its error as the last one:
// closing a handle does not change it.
static int FlushAndCheck(LPCSTR path, const BYTE *sum)
{
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    int good = FlushFileBuffers(file) && (!sum || HasSum(file, sum));
    CloseHandle(file);
    return good;
}

// Copies source to a name beside dest, then puts it in dest's place in one step: dest is at every
// moment the old file or the whole new one, whether the disk fills up or the program is ended.
// The copy's name is dest's with its last character made '~' ("Tavrin.dl~"), so it always fits
// where dest does, and makensis, which loads *.dll, *.nsh and *.nsi, never meets a half-made one.
// Answers 0 once dest is the new file, else the error of the step that failed.
static DWORD CopyThenSwap(LPCSTR source, LPCSTR dest, const BYTE *sum)
{
    PathBuffer temp;
    ComposeText(temp, sizeof temp, "%s", dest); // dest came from a buffer of this size
    temp[TextLength(temp) - 1] = '~';
    // Where there is no dest yet, the attribute calls on it below fail, harmlessly.
    DWORD attributes = GetFileAttributesA(dest);
    // A copy left by an earlier run that was ended is our own, even read-only; this fails,
    // harmlessly, where there is none. CopyFileA carries a read-only package file's attribute
    // over (a CD, an archive tool): the copy is made writable again, or the installed file would
    // be unflushed and refuse the next install's replace.
    SetFileAttributesA(temp, FILE_ATTRIBUTE_NORMAL);
    if (CopyFileA(source, temp, FALSE) && SetFileAttributesA(temp, FILE_ATTRIBUTE_NORMAL) && FlushAndCheck(temp, sum)) {
        // Windows refuses to rename onto a read-only file, and the user has said Yes to
        // replacing this one. The rename itself is on the disk before the call answers.
        SetFileAttributesA(dest, attributes & ~FILE_ATTRIBUTE_READONLY);
        if (MoveFileExA(temp, dest, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return ERROR_SUCCESS;
    }
    DWORD error = GetLastError();
    SetFileAttributesA(dest, attributes); // dest as it was, read-only again if it was
    DeleteFileA(temp); // a copy cut short, or one that could not take dest's place
    return error;
}

// Copies sourceDir\fileName to destDir\fileName, creating the last level of destDir and asking the
// user when the file is missing, already there or not copied.
InstallOutcome InstallFile(HWND owner, LPCSTR sourceDir, LPCSTR fileName, LPCSTR destDir,
                           const BYTE *sum, PromptProc prompt)
{
    PathBuffer source;
    PathBuffer probe;
    PathBuffer dest;

    // A source path past the path limit could not be opened, so it counts as missing.
    if (!ComposeText(source, sizeof source, "%s\\%s", sourceDir, fileName) || !FileExists(source))
        return AskMissing(prompt, owner, sourceDir, fileName);

    // A destination past the path limit is neither created nor copied, and the user hears of it.
    if (!ComposeText(probe, sizeof probe, "%s\\*.*", destDir)
        || !ComposeText(dest, sizeof dest, "%s\\%s", destDir, fileName))
        return AskCopyFailed(prompt, owner, destDir, fileName, ERROR_SUCCESS);

    // Only the last level is made. Without the folder above it (Docs or Examples left out of the
    // NSIS installation) the file could never go in, and is skipped quietly; any other failure
    // fails the copy below, and is judged there.
    if (!FileExists(probe) && !CreateDirectoryA(destDir, NULL) && GetLastError() == ERROR_PATH_NOT_FOUND)
        return INSTALL_GO_ON;

    if (FileExists(dest)) {
        int answer = AskAboutPath(prompt, owner, destDir, fileName, ReplaceQuestion,
                                  MB_YESNOCANCEL | MB_ICONQUESTION);
        if (answer == IDNO)
            return INSTALL_GO_ON;
        if (answer == IDCANCEL)
            prompt(owner, "Installation aborted", ProgramTitle, MB_ICONWARNING);
        if (answer != IDYES)
            return INSTALL_STOP;
    }

    DWORD error = CopyThenSwap(source, dest, sum);
    if (!error)
        return INSTALL_GO_ON;
    // A file not as released is named where the user can fetch it again: in the package.
    return AskCopyFailed(prompt, owner, error == ERROR_NOT_RELEASED ? sourceDir : destDir, fileName, error);
}

// Installs the package's rows in order; the first row that stops ends the sequence, and what
// earlier rows put in place stays there.
InstallOutcome RunInstall(HWND owner, LPCSTR setupDir, LPCSTR nsisDir, const FileSum *sums,
                          PromptProc prompt)
{
    char source[FOLDER_CAPACITY];
    char dest[FOLDER_CAPACITY];
    int file = -1;

    for (int i = 0; i < PACKAGE_ROWS; i++) {
        const InstallEntry *row = &Package[i];
        // Every row but a further place brings the package's next file, as the sums are ordered.
        file += !row->onlyIntoExisting;
        // The program's folders come from path-sized buffers, so a row's folders always fit;
        // only a caller passing longer texts meets this, and nothing is done for it.
        if (!ComposeText(source, sizeof source, row->sourceFormat ? row->sourceFormat : "%s", setupDir)
            || !ComposeText(dest, sizeof dest, row->destFormat, nsisDir, PACKAGE_FOLDER))
            return INSTALL_STOP;
        if (row->onlyIntoExisting
            && !(setupDir[0] && PathExists(source, row->fileName) && PathExists(dest, "*.*")))
            continue;
        // Without its own folder the program cannot locate the package, and an empty folder would
        // read the files from the current drive's root: every file counts as missing instead.
        InstallOutcome outcome = setupDir[0] ? InstallFile(owner, source, row->fileName, dest,
                                                             sums ? sums[file] : NULL, prompt)
                                             : AskMissing(prompt, owner, source, row->fileName);
        if (outcome == INSTALL_STOP)
            return INSTALL_STOP;
    }
    return INSTALL_GO_ON;
}
