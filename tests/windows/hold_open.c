// Holds a file open the way a Qt program, a virus scanner or an indexer reads it (others may read
// and write it, but not delete or rename over it), writes a marker file once it holds it, and
// lets go after the given number of seconds. Usage: hold_open FILE MARKER SECONDS
// Given a pipe's name (\\.\pipe\NAME) and a fourth argument, it serves that pipe instead for the
// seconds given, and writes the fourth as a marker when a client connects.
#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

static void touch(const wchar_t *path)
{
    HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (marker != INVALID_HANDLE_VALUE)
        CloseHandle(marker);
}

static DWORD seconds;

// Ends the pipe's server after the seconds given, whether or not a client came.
static DWORD WINAPI endLater(void *unused)
{
    (void)unused;
    Sleep(seconds * 1000);
    ExitProcess(0);
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc < 4)
        return 2;
    if (argc > 4 && wcsncmp(argv[1], L"\\\\.\\pipe\\", 9) == 0) {
        HANDLE pipe = CreateNamedPipeW(argv[1], PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, NULL);
        if (pipe == INVALID_HANDLE_VALUE)
            return 1;
        seconds = (DWORD)_wtoi(argv[3]);
        CloseHandle(CreateThread(NULL, 0, endLater, NULL, 0, NULL));
        touch(argv[2]);
        if (ConnectNamedPipe(pipe, NULL) || GetLastError() == ERROR_PIPE_CONNECTED)
            touch(argv[4]);
        return 0;
    }
    HANDLE held = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (held == INVALID_HANDLE_VALUE)
        return 1;
    touch(argv[2]);
    Sleep((DWORD)_wtoi(argv[3]) * 1000);
    CloseHandle(held);
    return 0;
}
