// A stand-in for a real-time virus scanner or indexer: watches a folder, and opens every file that
// appears in it (created or renamed in) the way such programs read it, without sharing deletion,
// holding it for the given milliseconds. Writes a marker file once it watches; stops after the
// given seconds. Usage: scanner FOLDER MARKER HOLD_MS SECONDS
#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

int wmain(int argc, wchar_t **argv)
{
    if (argc < 5)
        return 2;
    const HANDLE folder = CreateFileW(argv[1], FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, NULL);
    if (folder == INVALID_HANDLE_VALUE)
        return 1;
    const DWORD hold = (DWORD)_wtoi(argv[3]);
    const ULONGLONG end = GetTickCount64() + (ULONGLONG)_wtoi(argv[4]) * 1000;
    OVERLAPPED overlapped = {0};
    overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    DWORD buffer[16384];
    BOOL marked = FALSE;
    while (GetTickCount64() < end) {
        ResetEvent(overlapped.hEvent);
        if (!ReadDirectoryChangesW(folder, buffer, sizeof buffer, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME, NULL, &overlapped, NULL))
            return 1;
        if (!marked) {
            const HANDLE marker = CreateFileW(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
            if (marker != INVALID_HANDLE_VALUE)
                CloseHandle(marker);
            marked = TRUE;
        }
        if (WaitForSingleObject(overlapped.hEvent, 200) != WAIT_OBJECT_0) {
            CancelIo(folder);
            continue;
        }
        DWORD size = 0;
        if (!GetOverlappedResult(folder, &overlapped, &size, FALSE) || size == 0)
            continue;
        for (const FILE_NOTIFY_INFORMATION *info = (const FILE_NOTIFY_INFORMATION *)buffer;;
             info = (const FILE_NOTIFY_INFORMATION *)((const char *)info + info->NextEntryOffset)) {
            if (info->Action == FILE_ACTION_ADDED || info->Action == FILE_ACTION_RENAMED_NEW_NAME) {
                wchar_t path[MAX_PATH * 2];
                _snwprintf(path, MAX_PATH * 2, L"%ls\\%.*ls", argv[1], (int)(info->FileNameLength / sizeof(wchar_t)), info->FileName);
                path[MAX_PATH * 2 - 1] = 0;
                const HANDLE held = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
                if (held != INVALID_HANDLE_VALUE) {
                    Sleep(hold);
                    CloseHandle(held);
                }
            }
            if (info->NextEntryOffset == 0)
                break;
        }
    }
    return 0;
}
