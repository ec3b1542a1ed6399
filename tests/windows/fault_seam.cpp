// The Windows tests' fault seam, linked only into vuro-helper-faults.exe: VURO_FAULT names the
// calls to fail, "FUNCTION:K:CODE" (the K-th call of FUNCTION fails with the Windows error CODE)
// or "FUNCTION:K+:CODE" (the K-th and every later call), several joined by commas; a CODE of
// "dMS" holds the call MS milliseconds instead, then lets it run (for a test to change something
// meanwhile); an entry "cloud:PREFIX" presents every file and folder whose name begins with PREFIX
// as a cloud placeholder (see presentHandle), "dfs:PREFIX" every folder so named as a DFS link and
// "zeroids" every handle without a file number (see presentIdentity), "cloud:PREFIX:CODE" one whose provider fails its
// fetch with CODE; "short:LONG:SHORT" answers a name on its volume whose last name is LONG (any
// letter case) with SHORT in its place, as FAT answers for a folder opened by its short name; an
// entry "opens:PATH" has each open's create options and impersonation level
// written to PATH at exit, one "0xOPTIONS LEVEL" line each; an entry "count:PATH" (the last one) has the number of calls of each function written to PATH at exit,
// one "FUNCTION COUNT" line each.

#include "platform/platform_windows.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

// One call, or run of calls, to fail.
struct Fault {
    std::string function;
    unsigned long when = 0;
    bool onwards = false;
    unsigned long code = 0;
    unsigned long delayMs = 0; // held, not failed, when set
};

struct Seam {
    std::mutex mutex;
    std::map<std::string, unsigned long> calls;
    std::vector<Fault> faults;
    std::string countsPath;
    std::string opensPath;
    std::string errorModePath;
    long firstErrorMode = -1; // at the first call through the seam
    long firstWerFlags = -1;  // and Windows Error Reporting's flags then (-1: not to be had)
    std::vector<std::pair<unsigned long, int>> opens;
    std::wstring cloudPrefix;
    std::wstring dfsPrefix;
    bool zeroIds = false;
    bool refuseNormalized = false;
    std::wstring shareRoot;
    bool shareSubfolder = false; // the folder named shareRoot is \\srv\share\NAME, not the share's root
    std::wstring longName, shortName;
    unsigned long fetchFailure = 0;
    std::map<void *, bool> opensAsItself; // every handle the helper opened, the latest open of each value

    Seam()
    {
        const char *setting = std::getenv("VURO_FAULT");
        if (!setting)
            return;
        std::string text = setting;
        const std::size_t counting = text.find("count:");
        if (counting != std::string::npos) {
            countsPath = text.substr(counting + 6);
            text.erase(counting);
        }
        for (std::size_t begin = 0; begin < text.size();) {
            std::size_t end = text.find(',', begin);
            if (end == std::string::npos)
                end = text.size();
            const std::string entry = text.substr(begin, end - begin);
            begin = end + 1;
            if (entry.compare(0, 6, "short:") == 0) {
                const std::size_t colon = entry.find(':', 6);
                if (colon != std::string::npos) {
                    longName.assign(entry.begin() + 6, entry.begin() + std::ptrdiff_t(colon));
                    shortName.assign(entry.begin() + std::ptrdiff_t(colon) + 1, entry.end());
                }
                continue;
            }
            if (entry.compare(0, 10, "errormode:") == 0) {
                errorModePath = entry.substr(10);
                continue;
            }
            if (entry.compare(0, 6, "opens:") == 0) {
                opensPath = entry.substr(6);
                continue;
            }
            if (entry == "zeroids") {
                zeroIds = true;
                continue;
            }
            if (entry.compare(0, 4, "dfs:") == 0) {
                dfsPrefix.assign(entry.begin() + 4, entry.end());
                continue;
            }
            if (entry == "smb") {
                refuseNormalized = true;
                continue;
            }
            if (entry.compare(0, 6, "share:") == 0) {
                shareRoot.assign(entry.begin() + 6, entry.end());
                continue;
            }
            if (entry.compare(0, 9, "sharesub:") == 0) {
                shareRoot.assign(entry.begin() + 9, entry.end());
                shareSubfolder = true;
                continue;
            }
            if (entry.compare(0, 6, "cloud:") == 0) {
                const std::size_t code = entry.find(':', 6);
                cloudPrefix.assign(entry.begin() + 6, code == std::string::npos ? entry.end() : entry.begin() + std::ptrdiff_t(code));
                fetchFailure = code == std::string::npos ? 0 : std::strtoul(entry.c_str() + code + 1, nullptr, 10);
                continue;
            }
            const std::size_t first = entry.find(':'), second = entry.find(':', first + 1);
            if (first == std::string::npos || second == std::string::npos)
                continue;
            Fault fault;
            fault.function = entry.substr(0, first);
            const std::string k = entry.substr(first + 1, second - first - 1);
            fault.onwards = !k.empty() && k.back() == '+';
            fault.when = std::strtoul(k.c_str(), nullptr, 10);
            if (entry[second + 1] == 'd')
                fault.delayMs = std::strtoul(entry.c_str() + second + 2, nullptr, 10);
            else
                fault.code = std::strtoul(entry.c_str() + second + 1, nullptr, 10);
            faults.push_back(fault);
        }
    }
    ~Seam()
    {
        if (FILE *file = errorModePath.empty() ? nullptr : std::fopen(errorModePath.c_str(), "w")) {
            std::fprintf(file, "%ld %ld\n", firstErrorMode, firstWerFlags);
            std::fclose(file);
        }
        if (FILE *file = opensPath.empty() ? nullptr : std::fopen(opensPath.c_str(), "w")) {
            for (const auto &open : opens)
                std::fprintf(file, "0x%08lx %d\n", open.first, open.second);
            std::fclose(file);
        }
        if (countsPath.empty())
            return;
        if (FILE *file = std::fopen(countsPath.c_str(), "w")) {
            for (const auto &call : calls)
                std::fprintf(file, "%s %lu\n", call.first.c_str(), call.second);
            std::fclose(file);
        }
    }
};

Seam &seam()
{
    static Seam instance;
    return instance;
}

// "calls->openAlgorithmProvider" and "cng->calls.hashData" are named by their last part.
std::string shortName(const char *function)
{
    const std::string name = function;
    const std::size_t cut = name.find_last_of(".>");
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

} // namespace

bool isFaultDue(const char *function, unsigned long &code)
{
    Seam &state = seam();
    const std::string name = shortName(function);
    unsigned long delayMs = 0;
    {
        const std::lock_guard<std::mutex> lock(state.mutex);
        const unsigned long count = ++state.calls[name];
        if (state.firstErrorMode < 0) {
            state.firstErrorMode = long(GetErrorMode());
            using WerGetFlagsCall = HRESULT(WINAPI *)(HANDLE, PDWORD);
            DWORD flags = 0;
            const auto getFlags = reinterpret_cast<WerGetFlagsCall>(
                reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "WerGetFlags")));
            if (getFlags && getFlags(GetCurrentProcess(), &flags) == S_OK)
                state.firstWerFlags = long(flags);
        }
        for (const Fault &fault : state.faults) {
            if (name == fault.function && (fault.onwards ? count >= fault.when : count == fault.when)) {
                if (!fault.delayMs) {
                    code = fault.code;
                    return true;
                }
                delayMs = fault.delayMs;
            }
        }
    }
    if (delayMs)
        Sleep(DWORD(delayMs));
    return false;
}

namespace {

bool isPresentedName(const std::wstring &prefix, const wchar_t *name, std::size_t length)
{
    return !prefix.empty() && length >= prefix.size() && std::wstring(name, prefix.size()) == prefix;
}

// A placeholder's attributes as a cloud files volume shows them to a program that sees
// placeholders (the default): a folder to be filled when opened, a file whose data is fetched
// when read.
unsigned long placeholderAttributes(unsigned long attributes)
{
    const unsigned long RecallOnOpen = 0x00040000UL, RecallOnDataAccess = 0x00400000UL; // Windows 10 1709's, not in MinGW's headers
    attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return attributes | RecallOnOpen;
    return (attributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_OFFLINE |
           RecallOnDataAccess;
}

const unsigned long CloudTag = 0x9000601AUL; // IO_REPARSE_TAG_CLOUD_6, OneDrive's

} // namespace

void noteOpenOptions(unsigned long options, int impersonationLevel)
{
    Seam &state = seam();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.opens.emplace_back(options, impersonationLevel);
}

void notePresentedOpen(void *handle, bool asItself)
{
    Seam &state = seam();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.opensAsItself[handle] = asItself;
}

namespace {

// The last name of the open handle's path; empty where the system gives none.
std::wstring lastNameOf(void *handle)
{
    const DWORD code = GetLastError();
    wchar_t path[4096];
    const DWORD length = GetFinalPathNameByHandleW(handle, path, 4096, FILE_NAME_NORMALIZED);
    SetLastError(code);
    if (length == 0 || length >= 4096)
        return std::wstring();
    const std::wstring whole(path, length);
    const std::size_t slash = whole.find_last_of(L'\\');
    return whole.substr(slash == std::wstring::npos ? 0 : slash + 1);
}

const unsigned long DfsTag = 0x8000000AUL; // IO_REPARSE_TAG_DFS

bool isOpenedAsItself(Seam &state, void *handle)
{
    const std::lock_guard<std::mutex> lock(state.mutex);
    return state.opensAsItself[handle];
}

} // namespace

bool presentHandle(void *handle, unsigned long &attributes, unsigned long *tag, bool &asItself)
{
    Seam &state = seam();
    if (state.cloudPrefix.empty() && state.dfsPrefix.empty())
        return false;
    const std::wstring name = lastNameOf(handle);
    if (isPresentedName(state.dfsPrefix, name.c_str(), name.size())) {
        // Opened as itself, the link; as presented, the plain folder it leads to.
        asItself = isOpenedAsItself(state, handle);
        if (asItself) {
            attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
            if (tag)
                *tag = DfsTag;
        }
        return asItself;
    }
    if (!isPresentedName(state.cloudPrefix, name.c_str(), name.size()))
        return false;
    attributes = placeholderAttributes(attributes);
    if (tag)
        *tag = CloudTag;
    asItself = isOpenedAsItself(state, handle);
    return true;
}

void presentIdentity(void *handle, unsigned long long &volume, bool &noNumber)
{
    Seam &state = seam();
    noNumber = state.zeroIds;
    if (state.dfsPrefix.empty())
        return;
    const std::wstring name = lastNameOf(handle);
    if (isPresentedName(state.dfsPrefix, name.c_str(), name.size()) && !isOpenedAsItself(state, handle))
        volume += 1;
}

void presentName(void *handle, unsigned long flags, wchar_t *path, unsigned long size, unsigned long &length)
{
    Seam &state = seam();
    if (length == 0)
        return;
    if (state.refuseNormalized && !(flags & FILE_NAME_OPENED)) {
        length = 0;
        SetLastError(ERROR_ACCESS_DENIED);
        return;
    }
    if (state.shareRoot.empty() || length >= size)
        return;
    const std::wstring whole(path, length);
    std::wstring trimmed = whole;
    while (!trimmed.empty() && trimmed.back() == L'\\')
        trimmed.pop_back();
    if (trimmed.size() < state.shareRoot.size() + 1 || trimmed.compare(trimmed.size() - state.shareRoot.size(), std::wstring::npos, state.shareRoot) != 0 ||
        trimmed[trimmed.size() - state.shareRoot.size() - 1] != L'\\')
        return;
    (void)handle;
    std::wstring answer = (flags & VOLUME_NAME_NONE) ? L"\\srv\\share" : L"\\\\?\\UNC\\srv\\share";
    if (state.shareSubfolder)
        answer += L"\\" + state.shareRoot;
    if (answer.size() >= size) {
        length = DWORD(answer.size() + 1);
        return;
    }
    std::memcpy(path, answer.c_str(), (answer.size() + 1) * sizeof(wchar_t));
    length = DWORD(answer.size());
}

void presentFileName(wchar_t *name, unsigned long &lengthBytes)
{
    Seam &state = seam();
    if (state.longName.empty())
        return;
    const std::wstring whole(name, lengthBytes / sizeof(wchar_t));
    const std::size_t slash = whole.find_last_of(L'\\');
    const std::wstring last = whole.substr(slash == std::wstring::npos ? 0 : slash + 1);
    if (last.size() != state.longName.size() ||
        CompareStringOrdinal(last.c_str(), int(last.size()), state.longName.c_str(), int(state.longName.size()), TRUE) != CSTR_EQUAL ||
        state.shortName.size() > state.longName.size())
        return;
    const std::wstring answer = whole.substr(0, whole.size() - last.size()) + state.shortName;
    std::memcpy(name, answer.c_str(), answer.size() * sizeof(wchar_t));
    lengthBytes = static_cast<unsigned long>(answer.size() * sizeof(wchar_t));
}

unsigned long presentedFetchFailure()
{
    return seam().fetchFailure;
}

void presentRecord(const wchar_t *name, std::size_t length, unsigned long &attributes, unsigned long &tag)
{
    if (isPresentedName(seam().dfsPrefix, name, length) && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        tag = DfsTag;
        return;
    }
    if (!isPresentedName(seam().cloudPrefix, name, length))
        return;
    attributes = placeholderAttributes(attributes);
    tag = CloudTag;
}
