// Start-up and memory under Wine: for each program in turn, the time from process creation to
// its first visible window, and the process's peak resident memory once that window is up.
// Usage: startup.exe RUNS NAME=PROGRAM...   Prints: NAME median min max (ms) and peak KiB.
#include <windows.h>
#include <psapi.h>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

struct Found { DWORD pid; HWND window; };

static BOOL CALLBACK FindVisible(HWND w, LPARAM p)
{
    Found *found = (Found *)p;
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid == found->pid && IsWindowVisible(w)) {
        found->window = w;
        return FALSE;
    }
    return TRUE;
}

// One run: milliseconds to the first visible window and peak KiB, or -1 on failure.
static bool RunOnce(const std::string &program, double *ms, double *kib)
{
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    std::string line = "\"" + program + "\"";
    std::string folder = program.substr(0, program.rfind('\\'));
    QueryPerformanceCounter(&start);
    if (!CreateProcessA(program.c_str(), &line[0], NULL, NULL, FALSE, 0, NULL, folder.c_str(), &startup, &process))
        return false;
    Found found = { process.dwProcessId, NULL };
    for (;;) {
        EnumWindows(FindVisible, (LPARAM)&found);
        QueryPerformanceCounter(&now);
        *ms = 1000.0 * (now.QuadPart - start.QuadPart) / frequency.QuadPart;
        if (found.window || *ms > 20000)
            break;
        Sleep(1);
    }
    Sleep(300); // let it settle before its memory is read
    PROCESS_MEMORY_COUNTERS counters = { sizeof counters };
    *kib = GetProcessMemoryInfo(process.hProcess, &counters, sizeof counters) ? counters.PeakWorkingSetSize / 1024.0 : -1;
    if (found.window)
        PostMessageA(found.window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.hProcess, 5000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return found.window != NULL;
}

static void Summary(const char *name, const char *unit, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    printf("%s %s %.1f %.1f %.1f\n", name, unit, v[v.size() / 2], v.front(), v.back());
}

int main(int argc, char **argv)
{
    int runs = atoi(argv[1]);
    std::vector<std::string> names, programs;
    for (int i = 2; i < argc; i++) {
        std::string arg = argv[i];
        names.push_back(arg.substr(0, arg.find('=')));
        programs.push_back(arg.substr(arg.find('=') + 1));
    }
    std::vector<std::vector<double>> times(programs.size()), memory(programs.size());
    // One warm-up run each, then the programs alternate, so that a change in the machine's load
    // falls on all of them alike.
    for (int r = -1; r < runs; r++) {
        for (size_t p = 0; p < programs.size(); p++) {
            double ms, kib;
            if (!RunOnce(programs[p], &ms, &kib)) {
                fprintf(stderr, "%s showed no window\n", programs[p].c_str());
                return 1;
            }
            if (r >= 0) {
                times[p].push_back(ms);
                memory[p].push_back(kib);
            }
        }
    }
    for (size_t p = 0; p < programs.size(); p++) {
        Summary(names[p].c_str(), "startup_ms", times[p]);
        Summary(names[p].c_str(), "peak_kib", memory[p]);
    }
    return 0;
}
