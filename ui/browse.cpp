// The "..." button: the platform's folder browser, whose OK only accepts an NSIS folder.
#include "setup.h"

void BrowseForNsisDirectory(HWND dialog)
{
    (void)dialog;
}
