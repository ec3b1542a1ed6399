// The plumbing first: it sets the Windows version the system headers declare.
#include "platform/windows_internal.h"
#include "platform/process.h"
#include "platform/platform_windows.h"

#include <shellapi.h>

#include <algorithm>
#include <cstring>

using namespace windows_internal;

bool runsElevated()
{
    const std::vector<char> elevation = processTokenInformation(TokenElevation);
    return elevation.size() >= sizeof(TOKEN_ELEVATION) && reinterpret_cast<const TOKEN_ELEVATION *>(elevation.data())->TokenIsElevated;
}

void sleepMilliseconds(int ms)
{
    Sleep(DWORD(ms));
}

namespace {

// The command line split by the system's rules, each argument as WTF-8.
std::vector<std::string> splitBySystem(const std::wstring &line)
{
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t **split = CommandLineToArgvW(line.c_str(), &count);
    if (!split)
        return arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(bytesFrom(split[i], wcslen(split[i])));
    LocalFree(split);
    return arguments;
}

// Where the program's name ends in the command line: it is split by its own rule, quotes alone.
std::size_t programNameEnd(const std::wstring &line)
{
    if (!line.empty() && line[0] == L'"') {
        const std::size_t quote = line.find(L'"', 1);
        return quote == std::wstring::npos ? line.size() : quote + 1;
    }
    const std::size_t space = line.find_first_of(L" \t");
    return space == std::wstring::npos ? line.size() : space;
}

} // namespace

std::vector<std::string> splitCommandLine(const std::wstring &line)
{
    // A backslash before a double quote escapes it, so "D:\" ends no argument and swallows the
    // next. No Windows name holds a double quote: an argument that does is read as meant, the
    // backslash before a quote that ends an argument (a space or the end after it) a backslash.
    std::wstring meant = line;
    std::vector<std::string> arguments = splitBySystem(meant);
    for (std::size_t from = programNameEnd(meant);;) {
        const bool quoteInAName = std::any_of(arguments.begin() + std::min<std::size_t>(1, arguments.size()), arguments.end(),
                                              [](const std::string &argument) { return argument.find('"') != std::string::npos; });
        if (!quoteInAName)
            return arguments;
        std::size_t quote = meant.find(L'"', from);
        while (quote != std::wstring::npos) {
            std::size_t backslashes = 0;
            while (backslashes < quote - from && meant[quote - 1 - backslashes] == L'\\')
                ++backslashes;
            const bool endsArgument = quote + 1 == meant.size() || meant[quote + 1] == L' ' || meant[quote + 1] == L'\t';
            if (backslashes % 2 == 1 && endsArgument)
                break;
            quote = meant.find(L'"', quote + 1);
        }
        if (quote == std::wstring::npos)
            return arguments;
        meant.insert(quote, 1, L'\\');
        from = quote + 2;
        arguments = splitBySystem(meant);
    }
}

std::vector<std::string> commandLineArguments(int, char **)
{
    return splitCommandLine(GetCommandLineW());
}

std::string ownProgramFolder()
{
    std::wstring self(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, &self[0], DWORD(self.size()));
    if (length == 0 || length >= self.size())
        return std::string();
    self.resize(length);
    return bytesFrom(self.substr(0, self.find_last_of(L"\\/") + 1));
}

std::vector<std::string> programSearchFolders()
{
    std::vector<std::string> folders;
    std::wstring rest(32768, L'\0');
    const DWORD size = GetEnvironmentVariableW(L"PATH", &rest[0], DWORD(rest.size()));
    rest.resize(size < rest.size() ? size : 0);
    for (std::size_t semicolon; !rest.empty(); rest = semicolon == std::wstring::npos ? std::wstring() : rest.substr(semicolon + 1)) {
        semicolon = rest.find(L';');
        folders.push_back(bytesFrom(rest.substr(0, semicolon)));
    }
    return folders;
}

bool isAbsolutePath(const std::string &path)
{
    return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
           (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/'));
}

bool isProgramFile(const std::string &path)
{
    const DWORD attributes = SYS(GetFileAttributesW, INVALID_FILE_ATTRIBUTES)(wideFrom(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool startDetached(const std::string &path)
{
    const std::wstring program = wideFrom(path);
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    // Its own folder as current folder: the helper's is often the folder being viewed, which the
    // viewer would otherwise keep busy (a USB stick that cannot be ejected, a folder not renamed).
    const std::wstring folder = program.substr(0, program.find_last_of(L"\\/") + 1);
    // No handle of the helper's is inherited: a caller reading its output sees the end when it
    // exits. Out of the caller's job where the job allows it, so that closing a job that kills its
    // processes on close (a terminal tab, a launcher, an updater) leaves the new viewer running;
    // where it does not, the viewer stays in the job.
    // The viewer shows its own dialogs: it gets the system's error mode, not the helper's.
    const DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE;
    const wchar_t *const current = folder.empty() ? nullptr : folder.c_str();
    if (!SYS(CreateProcessW, FALSE)(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, flags | CREATE_BREAKAWAY_FROM_JOB,
                                    nullptr, current, &startup, &process) &&
        (GetLastError() != ERROR_ACCESS_DENIED ||
         !SYS(CreateProcessW, FALSE)(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, flags, nullptr, current, &startup, &process)))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

void writeErrorLine(const char *text)
{
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    if (error && error != INVALID_HANDLE_VALUE && WriteFile(error, text, DWORD(std::strlen(text)), &written, nullptr)) {
        WriteFile(error, "\r\n", 2, &written, nullptr);
        return;
    }
    OutputDebugStringA(text);
}

void keepStandardStreamsOpen()
{
    // A file's handle is never taken for a standard stream's.
}

void showFilesAsStored()
{
    // PHCM_EXPOSE_PLACEHOLDERS: every placeholder then carries its reparse point and is met as
    // one, whatever the system's default for this program.
    using SetMode = CHAR(NTAPI *)(CHAR);
    SetMode setMode = nullptr;
    resolve(GetModuleHandleW(L"ntdll.dll"), "RtlSetProcessPlaceholderCompatibilityMode", setMode);
    if (setMode)
        setMode(2);
}

void silenceErrorDialogs()
{
    // The helper runs unseen: a dialog would wait for a click from a user who never started it,
    // and the viewer would wait on the helper. The flags already set (an alignment fault setting
    // the caller passed down) stay.
    // A crash still reaches Windows Error Reporting, whose report and dump whoever supports the
    // viewer needs: only its window is hidden (WerSetFlags, Vista and later, looked up so that a
    // system without it still starts the helper). SEM_NOGPFAULTERRORBOX would turn reporting off.
    const UINT silent = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
    SetErrorMode(SetErrorMode(silent) | silent);
    using WerSetFlagsCall = HRESULT(WINAPI *)(DWORD);
    const DWORD NoReportingWindow = 0x20; // WER_FAULT_REPORTING_NO_UI
    if (const HMODULE kernel = GetModuleHandleW(L"kernel32.dll")) {
        if (const auto setFlags = reinterpret_cast<WerSetFlagsCall>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, "WerSetFlags"))))
            setFlags(NoReportingWindow);
    }
}

void restrictLibrarySearch()
{
    // Windows 8 and later, and Windows 7 with KB2533623, have it; it is looked up, not imported,
    // so that a Windows 7 without that update still starts the helper.
    decltype(&SetDefaultDllDirectories) setDefaultDirectories = nullptr;
    resolve(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories", setDefaultDirectories);
    if (!setDefaultDirectories || !setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryW(L""); // at least the current folder is out of the search then
}
