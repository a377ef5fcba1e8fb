// The setup dialog: the NSIS folder field, Install, Cancel and "...".
#include "setup.h"

static HWND InstallButton; // the Install button, enabled only while the field names an NSIS folder
HWND DirField;                    // the NSIS folder field
// Set once the install sequence starts; the program ends with it. Its prompts are modal, but what
// others post to the dialog still reaches it under them: a second Install, or a Cancel or close
// that would destroy the dialog and the open prompt with it.
static int Installing;

#ifdef TAVRIN_PACKAGE_SUMS
// The sums of the package's files as released, which the release's build writes into a source of
// its own: no other bytes are installed.
extern const FileSum ReleasedSums[];
#else
// Built from source without them, the program installs the package beside it as it is.
static const FileSum *const ReleasedSums = NULL;
#endif

static void OnInitDialog(HWND dialog)
{
    PathBuffer directory;
    directory[0] = 0;
    InstallButton = GetDlgItem(dialog, IDOK);
    DirField = GetDlgItem(dialog, IDC_NSISDIR);
    QueryNsisDirectory(directory, sizeof directory);
    SetWindowTextA(dialog, ProgramTitle);
    SendMessageA(dialog, WM_SETICON, ICON_BIG, (LPARAM)LoadIconA(AppInstance, MAKEINTRESOURCEA(IDI_SETUP)));
    SendMessageA(DirField, EM_LIMITTEXT, MAX_PATH, 0);
    // Raises the field's change notification, which sets Install's state.
    SetWindowTextA(DirField, directory);
}

// A text cut short at the buffer is long past any NSIS folder the rule accepts, so the rule
// holds for what is read exactly when it holds for the whole field.
static void UpdateInstallButton(void)
{
    PathBuffer directory;
    GetWindowTextA(DirField, directory, sizeof directory);
    EnableWindow(InstallButton, IsNsisDirectory(directory));
}

static void CloseDialog(HWND dialog)
{
    DestroyWindow(dialog);
    PostQuitMessage(0);
}

static void OnInstall(HWND dialog)
{
    PathBuffer directory;
    // Install runs only while its button allows it, whichever way the command arrives.
    if (!IsWindowEnabled(InstallButton))
        return;
    GetWindowTextA(DirField, directory, sizeof directory);
    Installing = 1;
    InstallOutcome outcome = RunInstall(dialog, SetupDir, directory, ReleasedSums, MessageBoxA);
    DestroyWindow(dialog);
    // "complite" is the program's own spelling, kept on purpose.
    if (outcome == INSTALL_GO_ON)
        MessageBoxA(NULL, "Installation complite", ProgramTitle, MB_ICONINFORMATION);
    PostQuitMessage(0);
}

static INT_PTR OnCommand(HWND dialog, WORD command)
{
    // The sequence runs undisturbed: the user's answers alone decide what is written.
    if (Installing)
        return TRUE;
    switch (command) {
    case IDOK:
        OnInstall(dialog);
        return TRUE;
    case IDCANCEL:
        CloseDialog(dialog);
        return TRUE;
    case IDC_NSISDIR:
        // Every notification of the field, focus changes included, re-runs the rule.
        UpdateInstallButton();
        return TRUE;
    case IDC_BROWSE:
        BrowseForNsisDirectory(dialog);
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK SetupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog(dialog);
        return TRUE; // the focus goes to the first tab stop, the field
    case WM_COMMAND:
        return OnCommand(dialog, LOWORD(wParam));
    }
    return FALSE;
}
