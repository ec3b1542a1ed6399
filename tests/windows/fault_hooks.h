#pragma once

// The Windows tests' fault seam, as the platform layer calls it in their build of the helper
// (VURO_FAULT_SEAM): each call through SYS may fail on cue, and some answers are presented as
// file systems Wine cannot make would give them (fault_seam.cpp says how). Included by
// platform/windows_internal.h in that build only; the shipped program has none of it.

#include <windows.h>
#include <winternl.h>

// The fault seam of the Windows tests' build (VURO_FAULT_SEAM): true when this call of the named
// function is the one to fail, with the error code stored in code. Not in the shipped program.
bool isFaultDue(const char *function, unsigned long &code);

// The seam's presented answers: VURO_FAULT's "cloud:PREFIX" makes every file and folder whose name
// begins with PREFIX answer as a cloud placeholder whose data is not on the machine. The seam
// notes each open, whether it took the reparse point as itself.
void notePresentedOpen(void *handle, bool asItself);

// The seam notes the create options and the impersonation level of the quality of service (-1
// for none) of every open, for a test to read ("opens:PATH").
void noteOpenOptions(unsigned long options, int impersonationLevel);

// True when the open handle is such a placeholder: its attributes (and tag, where given) are
// then the placeholder's, and asItself says whether it was opened as the reparse point itself.
bool presentHandle(void *handle, unsigned long &attributes, unsigned long *tag, bool &asItself);

// The seam's presented identity of an open handle: "zeroids" answers every handle's file number
// as none (noNumber), as a redirector whose listing gives numbers and whose handles give none;
// "dfs:PREFIX" makes each folder whose name begins with PREFIX a DFS link: a reparse point (tag
// IO_REPARSE_TAG_DFS) opened as itself, a folder on another volume as the system presents it.
void presentIdentity(void *handle, unsigned long long &volume, bool &noNumber);

// The error a placeholder folder's listing fails with as the system presents it ("cloud:PREFIX:CODE",
// as when the provider is not running); 0 when it lists.
unsigned long presentedFetchFailure();

// A name the system gave for an open handle (GetFinalPathNameByHandleW: flags, the buffer and its
// size, the length it answered) as a share answers it: "smb" refuses every normalized name
// (ERROR_ACCESS_DENIED, as for a folder on the way the user may not open); "share:NAME" names a
// folder called NAME the root of \\srv\share; "sharesub:NAME" names it \\srv\share\NAME.
void presentName(void *handle, unsigned long flags, wchar_t *path, unsigned long size, unsigned long &length);

// A name on its volume (FileNameInfo: its characters and their length in bytes) as FAT gives it for
// a folder opened by its short name ("short:LONG:SHORT"): the long names on the way, its own last
// name short.
void presentFileName(wchar_t *name, unsigned long &lengthBytes);

// A listed entry of that name gets the placeholder's attributes, and its tag where the listing
// puts it (the EA size field).
void presentRecord(const wchar_t *name, std::size_t length, unsigned long &attributes, unsigned long &tag);

template <typename Result, typename... Arguments>
void presentAnswer(Result &, Arguments...)
{
}

// Opens: the seam notes whether the handle stands for a reparse point as itself.
inline void presentAnswer(NTSTATUS &status, PHANDLE opened, ACCESS_MASK, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK,
                          PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG options, PVOID, ULONG)
{
    const auto *quality = static_cast<const SECURITY_QUALITY_OF_SERVICE *>(attributes->SecurityQualityOfService);
    noteOpenOptions(options, quality ? int(quality->ImpersonationLevel) : -1);
    if (status >= 0)
        notePresentedOpen(*opened, (options & FILE_OPEN_REPARSE_POINT) != 0);
}

inline void presentAnswer(HANDLE &opened, LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags, HANDLE)
{
    if (opened != INVALID_HANDLE_VALUE)
        notePresentedOpen(opened, (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0);
}

inline void presentAnswer(BOOL &ok, HANDLE file, LPBY_HANDLE_FILE_INFORMATION info)
{
    bool asItself = false;
    if (!ok)
        return;
    presentHandle(file, info->dwFileAttributes, nullptr, asItself);
    unsigned long long volume = info->dwVolumeSerialNumber;
    bool noNumber = false;
    presentIdentity(file, volume, noNumber);
    info->dwVolumeSerialNumber = DWORD(volume);
    if (noNumber)
        info->nFileIndexHigh = info->nFileIndexLow = 0;
}

template <typename Record>
void presentRecords(void *buffer)
{
    for (char *at = static_cast<char *>(buffer);;) {
        auto &record = *reinterpret_cast<Record *>(at);
        presentRecord(record.FileName, record.FileNameLength / sizeof(wchar_t), record.FileAttributes, record.EaSize);
        if (record.NextEntryOffset == 0)
            return;
        at += record.NextEntryOffset;
    }
}

// Attribute queries and listings: a placeholder as the cloud volume shows it; one opened as
// itself lists nothing, as one whose contents were never fetched.
inline void presentAnswer(BOOL &ok, HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID buffer, DWORD)
{
    if (!ok)
        return;
    bool asItself = false;
    unsigned long ignored = 0;
    switch (type) {
    case FileAttributeTagInfo: {
        auto &info = *static_cast<FILE_ATTRIBUTE_TAG_INFO *>(buffer);
        presentHandle(file, info.FileAttributes, &info.ReparseTag, asItself);
        break;
    }
    case FileBasicInfo: presentHandle(file, static_cast<FILE_BASIC_INFO *>(buffer)->FileAttributes, nullptr, asItself); break;
    case FileIdInfo: {
        auto &info = *static_cast<FILE_ID_INFO *>(buffer);
        bool noNumber = false;
        presentIdentity(file, info.VolumeSerialNumber, noNumber);
        if (noNumber)
            std::memset(info.FileId.Identifier, 0, sizeof info.FileId.Identifier);
        break;
    }
    case FileNameInfo: {
        auto &info = *static_cast<FILE_NAME_INFO *>(buffer);
        presentFileName(info.FileName, info.FileNameLength);
        break;
    }
    case FileIdBothDirectoryInfo:
    case FileIdBothDirectoryRestartInfo:
    case FileFullDirectoryInfo:
        if (presentHandle(file, ignored, nullptr, asItself) && (asItself || presentedFetchFailure())) {
            ok = FALSE;
            SetLastError(asItself ? ERROR_NO_MORE_FILES : presentedFetchFailure());
        } else if (type != FileFullDirectoryInfo) {
            presentRecords<FILE_ID_BOTH_DIR_INFO>(buffer);
        } else {
            presentRecords<FILE_FULL_DIR_INFO>(buffer);
        }
        break;
    default: break;
    }
}

// Names: a share's answers (see presentName).
inline void presentAnswer(DWORD &length, HANDLE file, LPWSTR path, DWORD size, DWORD flags)
{
    presentName(file, flags, path, size, length);
}

template <typename Result, typename... Arguments>
auto faultSeam(const char *name, Result(WINAPI *function)(Arguments...), Result failure)
{
    return [=](Arguments... arguments) -> Result {
        unsigned long code = 0;
        if (isFaultDue(name, code)) {
            SetLastError(DWORD(code));
            return failure;
        }
        Result result = function(arguments...);
        presentAnswer(result, arguments...);
        return result;
    };
}
