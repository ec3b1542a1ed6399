// FILE_ID_INFO and the directory information classes; older systems answer them with an error,
// which is handled, not with a missing import.
#define _WIN32_WINNT 0x0602

#include "platform.h"
#include "platform_windows.h"

#include <windows.h>
#include <bcrypt.h>
#include <shlwapi.h>

#include <cstring>
#include <new>
#include <vector>

namespace {

// Paths travel as WTF-8, so names with unpaired surrogates (which NTFS keeps) survive.
std::wstring wideFromUtf8(const std::string &text)
{
    const std::u16string wide = utf16FromWtf8(text);
    return std::wstring(wide.begin(), wide.end());
}

std::string utf8FromWide(const wchar_t *text)
{
    return wtf8FromUtf16(std::u16string(text, text + wcslen(text)));
}

std::string utf8FromWide(const std::wstring &text)
{
    return wtf8FromUtf16(std::u16string(text.begin(), text.end()));
}

// The system's own text for an error code, without its trailing line end.
std::string errorText(DWORD code)
{
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::wstring text = length > 0 && buffer ? std::wstring(buffer, length) : std::wstring();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(code) : utf8FromWide(text.c_str());
}

// The same wording as the standard library's filesystem errors on the other platforms.
std::string failureText(const char *what, DWORD code, const std::wstring &path)
{
    return std::string("filesystem error: ") + what + ": " + errorText(code) + " [" + utf8FromWide(path.c_str()) + "]";
}

bool hasPrefix(const std::wstring &text, const wchar_t *prefix)
{
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

// The extended-length form of a path ("\\?\C:\..."), which Windows lists and opens up to its
// own limit of about 32,767 characters instead of 260. The walk passes such paths down, so only
// the start folder, given by the user, is made absolute and cleaned here.
std::wstring extendedLengthPath(const std::wstring &path)
{
    if (hasPrefix(path, L"\\\\?\\") || hasPrefix(path, L"\\\\.\\"))
        return path;
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return path;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed)
        return path;
    full.resize(length);
    if (hasPrefix(full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Reasons that belong to the folder itself: closed to this user; gone, a bad or too long name, or
// a drive without a medium. Both read as an empty folder.
bool isClosedToUser(DWORD code)
{
    return code == ERROR_ACCESS_DENIED;
}

bool isGone(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_NOT_READY:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return true;
    default:
        return false;
    }
}

// Out of handles, or of the kernel's pools that handles come from: nothing to do with the tree.
bool isOutOfHandles(DWORD code)
{
    return code == ERROR_TOO_MANY_OPEN_FILES || code == ERROR_NO_SYSTEM_RESOURCES || code == ERROR_NOT_ENOUGH_QUOTA;
}

// Running out of memory is no failure of one entry or folder: the whole mode is then cut short.
void throwIfOutOfMemory(DWORD code)
{
    if (code == ERROR_NOT_ENOUGH_MEMORY || code == ERROR_OUTOFMEMORY)
        throw std::bad_alloc();
}

ListingEnd openFailure(DWORD code, bool followLink, const std::wstring &path, std::string &failure)
{
    throwIfOutOfMemory(code);
    if (isClosedToUser(code))
        return ListingEnd::Closed;
    if (isGone(code))
        return ListingEnd::Gone;
    failure = failureText("directory iterator cannot open directory", code, path);
    if (code == ERROR_DIRECTORY || code == ERROR_CANT_ACCESS_FILE || code == ERROR_CANT_RESOLVE_FILENAME)
        return followLink ? ListingEnd::Gone : ListingEnd::NotAFolder;
    return isOutOfHandles(code) ? ListingEnd::Exhausted : ListingEnd::OpenFailed;
}

// The open folder's volume serial number and file id; the 128-bit FILE_ID_INFO where the system
// has it (Windows 8 and later, ReFS), else the 64-bit index of BY_HANDLE_FILE_INFORMATION.
// A file system that gives no ids (zero, or all ones) leaves the identity unknown.
bool identityOf(HANDLE file, FileIdentity &identity)
{
    FILE_ID_INFO id;
    if (GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id)) {
        std::uint64_t high = 0, low = 0;
        std::memcpy(&high, id.FileId.Identifier + 8, 8);
        std::memcpy(&low, id.FileId.Identifier, 8);
        identity = makeFileIdentity(id.VolumeSerialNumber, high, low);
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return false;
    std::uint64_t low = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    // The 64-bit index of all ones is the 128-bit one of all ones seen through the old call.
    identity = makeFileIdentity(info.dwVolumeSerialNumber, low == ~std::uint64_t(0) ? low : 0, low);
    return true;
}

// A new handle of the file at path, or INVALID_HANDLE_VALUE with the last error set.
HANDLE openForAttributes(const std::wstring &path, DWORD flags)
{
    return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// Sizes a symbolic link or junction as what it leads to, when that is a file. Returns false, with
// the failure text, when the system ran out of handles.
bool sizeLinkTarget(const std::wstring &path, ListedEntry &entry)
{
    const HANDLE file = openForAttributes(path, 0);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        throwIfOutOfMemory(code);
        entry.failure = failureText("cannot get file size", code, path);
        return !isOutOfHandles(code);
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(file, &info);
    const DWORD code = GetLastError();
    CloseHandle(file);
    if (!known)
        entry.failure = failureText("cannot get file size", code, path);
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        entry.failure = "filesystem error: cannot get file size: Is a directory [" + utf8FromWide(path) + "]";
    else
        entry.size = (std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

bool isDotOrDotDot(const wchar_t *name, std::size_t length)
{
    return (length == 1 && name[0] == L'.') || (length == 2 && name[0] == L'.' && name[1] == L'.');
}

// Fills entry from one record of the folder's listing; prefix is the folder's path ending in one
// separator. A file is sized by the record itself, so only links and folders need a path. Both
// record kinds (with file ids, and the fuller one without) carry the same fields used here.
// Returns false, with the failure text, when the system ran out of handles.
template <typename Record>
bool fillEntry(const Record &record, const std::wstring &prefix, ListedEntry &entry)
{
    clearListedEntry(entry);
    // For a reparse point, the directory listing reports its reparse tag in the EA size field.
    const WindowsEntryKind kind = kindOfWindowsEntry(record.FileAttributes, record.EaSize);
    if (kind == WindowsEntryKind::File) {
        entry.size = std::uint64_t(record.EndOfFile.QuadPart);
        return true;
    }
    const std::wstring path = prefix + std::wstring(record.FileName, record.FileNameLength / sizeof(wchar_t));
    if (kind == WindowsEntryKind::Folder) {
        entry.isFolder = true;
        entry.path = utf8FromWide(path);
        return true;
    }
    return sizeLinkTarget(path, entry);
}

// Visits every record of one batch of the listing; false, with the failure text in entry, when
// the system ran out of handles part way.
template <typename Record>
bool visitBatch(const std::vector<std::uint64_t> &buffer, const std::wstring &prefix, ListedEntry &entry,
                const std::function<void(const ListedEntry &)> &visit)
{
    const char *record = reinterpret_cast<const char *>(buffer.data());
    for (;;) {
        const auto &info = *reinterpret_cast<const Record *>(record);
        if (!isDotOrDotDot(info.FileName, info.FileNameLength / sizeof(wchar_t))) {
            if (!fillEntry(info, prefix, entry))
                return false;
            visit(entry);
        }
        if (info.NextEntryOffset == 0)
            return true;
        record += info.NextEntryOffset;
    }
}

// Codes with which a file system or network redirector refuses a listing's information class.
bool refusesInformationClass(DWORD code)
{
    return code == ERROR_INVALID_PARAMETER || code == ERROR_INVALID_LEVEL || code == ERROR_NOT_SUPPORTED;
}

// True when the open handle is a folder that is no symbolic link or junction.
bool isPlainFolder(HANDLE handle)
{
    FILE_ATTRIBUTE_TAG_INFO info;
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info))
        return false;
    if (!(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    return !(info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !IsReparseTagNameSurrogate(info.ReparseTag);
}

// Closes a handle when the listing ends, however it ends.
struct HandleCloser {
    HANDLE handle;
    ~HandleCloser() { CloseHandle(handle); }
};

} // namespace

bool queryVolumeCapacity(const std::string &rootUtf8, std::uint64_t &capacity)
{
    ULARGE_INTEGER availableToCaller, totalBytes, totalFree;
    if (!GetDiskFreeSpaceExW(wideFromUtf8(rootUtf8).c_str(), &availableToCaller, &totalBytes, &totalFree))
        return false;
    capacity = totalBytes.QuadPart;
    return true;
}

std::string formatShortByteSize(std::uint64_t bytes)
{
    wchar_t buffer[100] = {};
    // The shell takes a signed count; its text is the one the viewer shows elsewhere.
    StrFormatByteSizeW(static_cast<LONGLONG>(bytes), buffer, 100);
    return utf8FromWide(buffer);
}

void ignoreBrokenPipes()
{
    // Windows has no such signal: a write to a closed pipe fails with an error.
}

WindowsEntryKind kindOfWindowsEntry(std::uint32_t attributes, std::uint32_t reparseTag)
{
    // Symbolic links and junctions stand for another name: never walked, so no cycles, and sized
    // as their target. Other reparse points (cloud files, deduplicated files) are what they seem.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(reparseTag))
        return WindowsEntryKind::NameSurrogate;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? WindowsEntryKind::Folder : WindowsEntryKind::File;
}

namespace {

DWORD WINAPI runWork(void *argument)
{
    (*static_cast<const std::function<void()> *>(argument))();
    return 0;
}

} // namespace

void runOnThreads(int extraThreads, std::size_t stackBytes, const std::function<void()> &work)
{
    std::vector<HANDLE> threads;
    for (int i = 0; i < extraThreads; ++i) {
        // A reservation only: the walk does not recurse, so small stacks do, and a 32-bit
        // process keeps its address space.
        const HANDLE thread = CreateThread(nullptr, stackBytes, runWork, const_cast<std::function<void()> *>(&work),
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (thread)
            threads.push_back(thread);
    }
    work();
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

namespace {

// One CNG hash: its algorithm provider and the hash object on it.
struct CngDigest {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

} // namespace

void startDigest(DigestAlgorithm algorithm, RunningDigest &digest)
{
    CngDigest *cng = new CngDigest;
    const wchar_t *name = algorithm == DigestAlgorithm::Md5 ? BCRYPT_MD5_ALGORITHM : BCRYPT_SHA1_ALGORITHM;
    if (BCryptOpenAlgorithmProvider(&cng->algorithm, name, nullptr, 0) != 0 ||
        BCryptCreateHash(cng->algorithm, &cng->hash, nullptr, 0, nullptr, 0, 0) != 0) {
        digest.context = cng;
        discardDigest(digest);
        throw std::bad_alloc();
    }
    digest.context = cng;
}

void addToDigest(RunningDigest &digest, const char *bytes, std::size_t size)
{
    CngDigest *cng = static_cast<CngDigest *>(digest.context);
    BCryptHashData(cng->hash, reinterpret_cast<PUCHAR>(const_cast<char *>(bytes)), ULONG(size), 0);
}

std::string finishDigest(RunningDigest &digest)
{
    CngDigest *cng = static_cast<CngDigest *>(digest.context);
    DWORD size = 0, written = 0;
    BCryptGetProperty(cng->hash, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&size), sizeof size, &written, 0);
    std::string value(size, '\0');
    BCryptFinishHash(cng->hash, reinterpret_cast<PUCHAR>(&value[0]), size, 0);
    discardDigest(digest);
    return value;
}

void discardDigest(RunningDigest &digest)
{
    CngDigest *cng = static_cast<CngDigest *>(digest.context);
    if (!cng)
        return;
    if (cng->hash)
        BCryptDestroyHash(cng->hash);
    if (cng->algorithm)
        BCryptCloseAlgorithmProvider(cng->algorithm, 0);
    delete cng;
    digest.context = nullptr;
}

FileOutcome openReadFile(const std::string &pathUtf8, InputFile &file)
{
    const HANDLE handle = CreateFileW(extendedLengthPath(wideFromUtf8(pathUtf8)).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        throwIfOutOfMemory(code);
        return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION
                   ? FileOutcome::Refused : FileOutcome::Failed;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !identityOf(handle, file.identity)) {
        CloseHandle(handle);
        return FileOutcome::Failed;
    }
    file.handle = reinterpret_cast<std::intptr_t>(handle);
    return FileOutcome::Done;
}

std::int64_t readFileChunk(const InputFile &file, char *buffer, std::size_t size)
{
    DWORD count = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(file.handle), buffer, DWORD(size > 0x40000000 ? 0x40000000 : size), &count, nullptr)) {
        throwIfOutOfMemory(GetLastError());
        return -1;
    }
    return count;
}

void closeReadFile(InputFile &file)
{
    if (file.handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(file.handle));
    file.handle = -1;
}

FileOutcome identityOfPath(const std::string &pathUtf8, FileIdentity &identity)
{
    const HANDLE handle = openForAttributes(extendedLengthPath(wideFromUtf8(pathUtf8)), 0);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? FileOutcome::Refused : FileOutcome::Failed;
    }
    const bool known = identityOf(handle, identity);
    CloseHandle(handle);
    return known ? FileOutcome::Done : FileOutcome::Failed;
}

namespace {

// The path the system gives for an open handle, in extended-length form.
bool finalPathOf(HANDLE handle, std::wstring &path)
{
    const DWORD needed = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (needed == 0)
        return false;
    path.assign(needed, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(handle, &path[0], needed, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= needed)
        return false;
    path.resize(length);
    return true;
}

} // namespace

bool resolveResultPath(const std::string &pathUtf8, std::string &resolved)
{
    const std::wstring path = extendedLengthPath(wideFromUtf8(pathUtf8));
    std::wstring final;
    // An existing file: the system follows every link to it and names where it ended.
    HANDLE handle = openForAttributes(path, 0);
    if (handle != INVALID_HANDLE_VALUE) {
        const bool named = finalPathOf(handle, final);
        CloseHandle(handle);
        if (!named)
            return false;
        resolved = utf8FromWide(final);
        return true;
    }
    if (GetLastError() != ERROR_FILE_NOT_FOUND)
        return false;
    // A link whose target is missing is left alone: where Windows would create it is not told.
    handle = openForAttributes(path, FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return false;
    }
    const std::size_t separator = path.find_last_of(L'\\');
    if (separator == std::wstring::npos)
        return false;
    handle = openForAttributes(path.substr(0, separator + 1), 0);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const bool named = finalPathOf(handle, final);
    CloseHandle(handle);
    if (!named)
        return false;
    if (final.empty() || final.back() != L'\\')
        final += L'\\';
    resolved = utf8FromWide(final + path.substr(separator + 1));
    return true;
}

namespace {

bool writeAll(HANDLE file, const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD count = 0;
        if (!WriteFile(file, bytes.data() + done, DWORD(bytes.size() - done), &count, nullptr) || count == 0)
            return false;
        done += count;
    }
    return true;
}

// Writes bytes over the existing file, under an exclusive lock from the truncation to the last
// byte, so helpers writing at once leave one whole report; a failed write leaves it empty.
FileOutcome writeInPlace(const std::wstring &path, const std::string &bytes)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return FileOutcome::Failed;
    OVERLAPPED whole = {};
    bool done = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0;
    const bool locked = done;
    done = done && SetEndOfFile(file);
    if (done && !writeAll(file, bytes)) {
        done = false;
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        SetEndOfFile(file);
    }
    if (locked)
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(file);
    return done ? FileOutcome::Done : FileOutcome::Failed;
}

// A new file under a short name of the helper's own in folder, which fits beside any name.
HANDLE createTemporary(const std::wstring &folder, std::wstring &name)
{
    static const wchar_t Letters[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
    std::uint64_t seed = GetTickCount64() ^ (std::uint64_t(GetCurrentProcessId()) << 32);
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = folder + L".vuro-";
        for (int i = 0; i < 6; ++i) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            name += Letters[(seed >> 33) % 36];
        }
        const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return file;
    }
    return INVALID_HANDLE_VALUE;
}

bool refusesRename(DWORD code)
{
    return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}

// Writes bytes beside path and moves them over it; Refused when the folder takes no new file or
// the move stays refused (the old file held open by a reader, a scanner or an indexer).
FileOutcome writeBeside(const std::wstring &path, const std::string &bytes)
{
    std::wstring temporary;
    const HANDLE file = createTemporary(path.substr(0, path.find_last_of(L'\\') + 1), temporary);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        return code == ERROR_ACCESS_DENIED || code == ERROR_WRITE_PROTECT || code == ERROR_FILENAME_EXCED_RANGE
                   ? FileOutcome::Refused : FileOutcome::Failed;
    }
    const bool written = writeAll(file, bytes) && FlushFileBuffers(file);
    CloseHandle(file);
    if (!written) {
        DeleteFileW(temporary.c_str());
        return FileOutcome::Failed;
    }
    DWORD code = 0;
    for (DWORD delayMs : {0, 20, 40, 80, 160}) {
        Sleep(delayMs);
        if (MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return FileOutcome::Done;
        code = GetLastError();
        if (!refusesRename(code))
            break;
    }
    if (!DeleteFileW(temporary.c_str()))
        DeleteFileW(temporary.c_str());
    return refusesRename(code) ? FileOutcome::Refused : FileOutcome::Failed;
}

} // namespace

FileOutcome replaceFileContent(const std::string &pathUtf8, const std::string &bytes)
{
    const std::wstring path = extendedLengthPath(wideFromUtf8(pathUtf8));
    const DWORD attributes = GetFileAttributesW(path.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists && GetLastError() != ERROR_FILE_NOT_FOUND)
        return FileOutcome::Failed;
    if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)))
        return FileOutcome::Refused;
    const FileOutcome outcome = writeBeside(path, bytes);
    if (outcome != FileOutcome::Refused)
        return outcome;
    return exists ? writeInPlace(path, bytes) : FileOutcome::Failed;
}

ListingEnd listFolderAs(const std::string &folder, bool followLink, bool withFileIds,
                        const std::function<bool(const FileIdentity &)> &enter,
                        const std::function<void(const ListedEntry &)> &visit, std::string &failure)
{
    // Entries are this prefix and their name: one separator, also after a drive root's own.
    std::wstring prefix = extendedLengthPath(wideFromUtf8(folder));
    if (prefix.empty() || prefix.back() != L'\\')
        prefix += L'\\';
    // One open handle gives the folder's identity and then its listing, in batches of records that
    // hold names, attributes, reparse tags and sizes, so no file needs a query of its own. Below
    // the start folder, a link is opened as itself and never walked, even one swapped in since
    // the parent was listed.
    const HANDLE handle = CreateFileW(prefix.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return openFailure(GetLastError(), followLink, prefix, failure);
    const HandleCloser closer{handle};
    if (!followLink && !isPlainFolder(handle)) {
        failure = "filesystem error: directory iterator cannot open directory: no longer a folder [" + utf8FromWide(prefix) + "]";
        return ListingEnd::NotAFolder;
    }
    FileIdentity identity;
    if (!identityOf(handle, identity))
        return openFailure(GetLastError(), followLink, prefix, failure);
    if (!enter(identity))
        return ListingEnd::Declined;
    std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t)); // 8-byte aligned records
    const DWORD bufferSize = DWORD(buffer.size() * sizeof(std::uint64_t));
    ListedEntry entry;
    bool anyRecord = false;
    bool ids = withFileIds;
    DWORD code = 0;
    for (;;) {
        if (!GetFileInformationByHandleEx(handle, ids ? FileIdBothDirectoryInfo : FileFullDirectoryInfo, buffer.data(),
                                          bufferSize)) {
            code = GetLastError();
            // Some file systems and redirectors know no listing with file ids: the fuller one
            // without them gives the same names, attributes, tags and sizes.
            if (!anyRecord && ids && refusesInformationClass(code)) {
                ids = false;
                continue;
            }
            break;
        }
        anyRecord = true;
        const bool handled = ids ? visitBatch<FILE_ID_BOTH_DIR_INFO>(buffer, prefix, entry, visit)
                                 : visitBatch<FILE_FULL_DIR_INFO>(buffer, prefix, entry, visit);
        if (!handled) {
            failure = entry.failure;
            return ListingEnd::Exhausted;
        }
    }
    throwIfOutOfMemory(code);
    // A folder without even "." and ".." (a FAT drive's root) has nothing to list from the start.
    const bool empty = !anyRecord && code == ERROR_FILE_NOT_FOUND;
    if (code != ERROR_NO_MORE_FILES && !empty) {
        failure = failureText("directory iterator cannot advance", code, prefix);
        return isOutOfHandles(code) ? ListingEnd::Exhausted : ListingEnd::BrokeOff;
    }
    return ListingEnd::Complete;
}

ListingEnd listFolder(const std::string &folder, bool followLink, const std::function<bool(const FileIdentity &)> &enter,
                      const std::function<void(const ListedEntry &)> &visit, std::string &failure)
{
    return listFolderAs(folder, followLink, true, enter, visit, failure);
}
