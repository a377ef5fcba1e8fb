// The package: where each file lies beside the setup program and where it goes in NSIS. The one
// table the program, its tests and its tools learn the package from; free of platform headers.
#pragma once

// The package's own folder in NSIS's Docs and Examples.
#define PACKAGE_FOLDER "Tavrin"

// One file of the package and one place it goes.
struct InstallEntry {
    const char *sourceFormat; // applied to the setup folder; none: the setup folder itself
    const char *fileName;
    const char *destFormat;   // applied to the NSIS folder and, where there is a second %s, PACKAGE_FOLDER
    // 1: a further place for a file an earlier row has asked about already, used only where the
    // NSIS installation has that folder; never created, and the file's absence is not asked again.
    int onlyIntoExisting;
};

static const InstallEntry Package[] = {
    { 0,             "Readme.txt",     "%s\\Docs\\%s",          0 },
    { "%s\\Example", "TavrinTest.nsi", "%s\\Examples\\%s",      0 },
    { "%s\\Include", "Tavrin.nsh",     "%s\\Include",           0 },
    { "%s\\Plugin",  "Tavrin.dll",     "%s\\Plugins",           0 },
    // NSIS 3 looks for a 32-bit ANSI plug-in in Plugins\x86-ansi alone, NSIS 2 in Plugins.
    { "%s\\Plugin",  "Tavrin.dll",     "%s\\Plugins\\x86-ansi", 1 },
};

#define PACKAGE_ROWS ((int)(sizeof Package / sizeof Package[0]))
