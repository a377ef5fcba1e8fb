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
    int length = error ? (int)FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
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

// Whether the folder above destDir is there. Without it (Docs or Examples left out of the NSIS
// installation) the destination could never have been made, and the file is skipped quietly.
static int ParentExists(LPCSTR destDir)
{
    PathBuffer probe;
    int cut = LastBackslash(destDir);
    if (cut < 0)
        return 1; // a folder of the current one
    // The folder's own probe fits (the caller made it), so its parent's, shorter, does too.
    if (!ComposeText(probe, sizeof probe, "%s\\*.*", destDir))
        return 1;
    ComposeText(probe + cut, sizeof probe - cut, "\\*.*");
    return FileExists(probe);
}

// The data reaches the disk before the copy takes the old file's place, so that after a power
// cut the name never stands on data that was not written. A failed flush leaves its error as the
// last one: closing a handle does not change it.
static int FlushToDisk(LPCSTR path)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    int flushed = FlushFileBuffers(file);
    CloseHandle(file);
    return flushed;
}

// Copies source to a name beside dest, then puts it in dest's place in one step: dest is at every
// moment the old file or the whole new one, whether the disk fills up or the program is ended.
// The copy's name is dest's with its last character made '~' ("Tavrin.dl~"), so it always fits
// where dest does, and makensis, which loads *.dll, *.nsh and *.nsi, never meets a half-made one.
// Answers 0 once dest is the new file, else the error of the step that failed.
static DWORD CopyThenSwap(LPCSTR source, LPCSTR dest)
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
    if (CopyFileA(source, temp, FALSE) && SetFileAttributesA(temp, FILE_ATTRIBUTE_NORMAL) && FlushToDisk(temp)) {
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
                           PromptProc prompt)
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

    // Only the last level is made; if that fails, so does the copy below, and it is judged there.
    if (!FileExists(probe))
        CreateDirectoryA(destDir, NULL);

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

    DWORD error = CopyThenSwap(source, dest);
    if (!error || !ParentExists(destDir))
        return INSTALL_GO_ON;
    return AskCopyFailed(prompt, owner, destDir, fileName, error);
}

// Installs the package's rows in order; the first row that stops ends the sequence, and what
// earlier rows put in place stays there.
InstallOutcome RunInstall(HWND owner, LPCSTR setupDir, LPCSTR nsisDir, PromptProc prompt)
{
    char source[FOLDER_CAPACITY];
    char dest[FOLDER_CAPACITY];

    for (int i = 0; i < PACKAGE_ROWS; i++) {
        const InstallEntry *row = &Package[i];
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
        InstallOutcome outcome = setupDir[0] ? InstallFile(owner, source, row->fileName, dest, prompt)
                                             : AskMissing(prompt, owner, source, row->fileName);
        if (outcome == INSTALL_STOP)
            return INSTALL_STOP;
    }
    return INSTALL_GO_ON;
}
