// A stand-in for the viewer under Wine: creates the file named by VURO_TEST_MARKER, so the test
// sees that the helper started it, and then stays for VURO_TEST_LINGER_MS milliseconds.
#include <windows.h>

int main(void)
{
    wchar_t marker[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"VURO_TEST_MARKER", marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 1;
    const HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    CloseHandle(file);
    wchar_t linger[16];
    if (GetEnvironmentVariableW(L"VURO_TEST_LINGER_MS", linger, 16) > 0)
        Sleep((DWORD)_wtoi(linger));
    return 0;
}
