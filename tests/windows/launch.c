// Starts a program with the exact command line in VURO_LAUNCH_COMMAND_LINE, as a launcher or the
// viewer would (CreateProcessW, no quoting of its own), waits for it and exits with its code.
// With VURO_LAUNCH_JOB=1 it first puts the program in a job of its own that kills its processes
// when closed and lets them break away, as terminals, launchers and updaters do, and closes that
// job once the program has exited.
#include <windows.h>

#include <stdlib.h>

int main(void)
{
    static wchar_t line[32768];
    const DWORD length = GetEnvironmentVariableW(L"VURO_LAUNCH_COMMAND_LINE", line, 32768);
    if (length == 0 || length >= 32768)
        return 2;
    wchar_t setting[4] = L"";
    GetEnvironmentVariableW(L"VURO_LAUNCH_JOB", setting, 4);
    HANDLE job = NULL;
    if (setting[0] == L'1') {
        job = CreateJobObjectW(NULL, NULL);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {0};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
        if (!job || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits))
            return 3;
    }
    STARTUPINFOW startup = {0};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(NULL, line, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &startup, &process))
        return 4;
    if (job && !AssignProcessToJobObject(job, process.hProcess))
        return 5;
    ResumeThread(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    if (job)
        CloseHandle(job);
    return (int)code;
}
