// Links the installation core with no runtime and the four system libraries alone.
#include "core.h"

extern "C" void CoreLinkEntry(void)
{
    PathBuffer directory;
    QueryNsisDirectory(directory);
    if (IsNsisDirectory(directory))
        RunInstall(NULL, "", directory, MessageBoxA);
    ExitProcess(0);
}
