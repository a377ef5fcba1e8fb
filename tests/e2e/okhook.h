// The log the OK hook keeps in memory shared with the test.
#pragma once
#include <windows.h>

#define OK_LOG_NAME "TavrinSetupOkLog"
#define OK_LOG_SIZE 64
// A DLL the tests put beside the program, which it must never load by its bare name.
#define PLANTED_DLL "planted.dll"

struct OkLog {
    volatile LONG count;          // requests made so far
    volatile LONG states[OK_LOG_SIZE]; // 1 enable, 0 disable, in order
    volatile char selection[MAX_PATH]; // the last folder the program asked the browser to select
    volatile LONG opening;             // the request right after that selection: -1 none yet
    volatile LONG planted;             // whether the hook, once inside, could load PLANTED_DLL: -1 not tried
    volatile LONG measure;             // set by the test: the hook measures the dialog's texts, then clears it
    volatile LONG measured;            // texts measured
    volatile char clipped[256];        // those that do not fit their control, with their sizes
};
