// Holds a file open the way a Qt program, a virus scanner or an indexer reads it (others may read
// and write it, but not delete or rename over it), writes a marker file once it holds it, and
// lets go after the given number of seconds. Usage: hold_open FILE MARKER SECONDS
#include <windows.h>

#include <stdlib.h>

int wmain(int argc, wchar_t **argv)
{
    if (argc < 4)
        return 2;
    HANDLE held = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (held == INVALID_HANDLE_VALUE)
        return 1;
    HANDLE marker = CreateFileW(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (marker != INVALID_HANDLE_VALUE)
        CloseHandle(marker);
    Sleep((DWORD)_wtoi(argv[3]) * 1000);
    CloseHandle(held);
    return 0;
}
