// A stand-in for the viewer under Wine: writes its current folder into the file named by
// VURO_TEST_MARKER, so the test sees that the helper started it and where, then stays for
// VURO_TEST_LINGER_MS milliseconds and, still alive then, creates the marker's name plus ".done".
// Its error mode, as it started with it, goes into the marker's name plus ".mode".
#include <windows.h>

#include <wchar.h>

int main(void)
{
    wchar_t marker[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"VURO_TEST_MARKER", marker, MAX_PATH - 8);
    if (length == 0 || length >= MAX_PATH - 8)
        return 1;
    // Written before the marker, which the test waits for.
    char mode[16];
    wchar_t modeMarker[MAX_PATH];
    DWORD written = 0;
    HANDLE file = CreateFileW(wcscat(wcscpy(modeMarker, marker), L".mode"), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        WriteFile(file, mode, (DWORD)wsprintfA(mode, "%u", GetErrorMode()), &written, NULL);
        CloseHandle(file);
    }
    file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    char folder[MAX_PATH];
    const DWORD size = GetCurrentDirectoryA(MAX_PATH, folder);
    if (size > 0 && size < MAX_PATH)
        WriteFile(file, folder, size, &written, NULL);
    CloseHandle(file);
    wchar_t linger[16];
    if (GetEnvironmentVariableW(L"VURO_TEST_LINGER_MS", linger, 16) > 0) {
        Sleep((DWORD)_wtoi(linger));
        wcscat(marker, L".done");
        file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    return 0;
}
