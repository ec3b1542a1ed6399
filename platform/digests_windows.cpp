// The plumbing first: it sets the Windows version the system headers declare.
#include "platform/windows_internal.h"
#include "platform/digests.h"

#include <bcrypt.h>

#include <cstdio>
#include <vector>

using namespace windows_internal;

namespace {

// CNG's calls, from bcrypt.dll in the system folder only: a DLL of that name in the viewer's folder
// is never loaded in its place (it is not one of the loader's known DLLs).
struct CngCalls {
    decltype(&BCryptOpenAlgorithmProvider) openAlgorithmProvider = nullptr;
    decltype(&BCryptCloseAlgorithmProvider) closeAlgorithmProvider = nullptr;
    decltype(&BCryptCreateHash) createHash = nullptr;
    decltype(&BCryptDestroyHash) destroyHash = nullptr;
    decltype(&BCryptHashData) hashData = nullptr;
    decltype(&BCryptGetProperty) getProperty = nullptr;
    decltype(&BCryptFinishHash) finishHash = nullptr;
    std::string problem; // the loader's reason, where it could not load the library
};

CngCalls loadCng()
{
    CngCalls calls;
    HMODULE module = LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) {
        // Windows 7 without the update that knows the flag: the system folder's path then.
        wchar_t system[MAX_PATH];
        const UINT length = GetSystemDirectoryW(system, MAX_PATH);
        if (length > 0 && length < MAX_PATH - 12)
            module = LoadLibraryW((std::wstring(system, length) + L"\\bcrypt.dll").c_str());
        if (!module) {
            calls.problem = "bcrypt.dll: " + errorTextOf(long(GetLastError()));
            return calls;
        }
    }
    resolve(module, "BCryptOpenAlgorithmProvider", calls.openAlgorithmProvider);
    resolve(module, "BCryptCloseAlgorithmProvider", calls.closeAlgorithmProvider);
    resolve(module, "BCryptCreateHash", calls.createHash);
    resolve(module, "BCryptDestroyHash", calls.destroyHash);
    resolve(module, "BCryptHashData", calls.hashData);
    resolve(module, "BCryptGetProperty", calls.getProperty);
    resolve(module, "BCryptFinishHash", calls.finishHash);
    if (!calls.openAlgorithmProvider || !calls.closeAlgorithmProvider || !calls.createHash || !calls.destroyHash ||
        !calls.hashData || !calls.getProperty || !calls.finishHash)
        calls.problem = "bcrypt.dll: a digest call is missing";
    return calls;
}

// The calls and why they could not be had, loaded once.
const CngCalls &loadedCng()
{
    static const CngCalls calls = loadCng();
    return calls;
}

// The calls; null when the library or any call is missing.
const CngCalls *cngCalls()
{
    return loadedCng().problem.empty() ? &loadedCng() : nullptr;
}

// One CNG hash: its algorithm provider and the hash object on it.
struct CngDigest {
    const CngCalls &calls;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    explicit CngDigest(const CngCalls &calls) : calls(calls) {}
    CngDigest(const CngDigest &) = delete;
    CngDigest &operator=(const CngDigest &) = delete;
    ~CngDigest()
    {
        if (hash)
            calls.destroyHash(hash);
        if (algorithm)
            calls.closeAlgorithmProvider(algorithm, 0);
    }
};

SysResult resultOfStatus(NTSTATUS status)
{
    if (status >= 0)
        return {};
    // STATUS_NO_MEMORY
    if (ULONG(status) == 0xC0000017UL)
        return {SysError::OutOfMemory, ERROR_NOT_ENOUGH_MEMORY};
    return {SysError::Other, long(ERROR_GEN_FAILURE)};
}

} // namespace

std::size_t level2CacheBytes()
{
    // Windows XP SP3 and later: one record per cache of each processor group's cores.
    DWORD bytes = 0;
    GetLogicalProcessorInformation(nullptr, &bytes);
    std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> records(bytes / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
    if (records.empty() || !GetLogicalProcessorInformation(records.data(), &bytes))
        return 0;
    for (const SYSTEM_LOGICAL_PROCESSOR_INFORMATION &record : records) {
        if (record.Relationship == RelationCache && record.Cache.Level == 2 &&
            (record.Cache.Type == CacheData || record.Cache.Type == CacheUnified))
            return record.Cache.Size;
    }
    return 0;
}

std::string digestLibraryProblem()
{
    return loadedCng().problem;
}

DigestState::~DigestState()
{
    delete static_cast<CngDigest *>(context_);
}

SysResult DigestState::start(DigestAlgorithm algorithm, std::string &refusal)
{
    delete static_cast<CngDigest *>(context_);
    context_ = nullptr;
    const CngCalls *calls = cngCalls();
    if (!calls)
        return {SysError::NotSupported, ERROR_PROC_NOT_FOUND};
    CngDigest *cng = new CngDigest(*calls);
    context_ = cng;
    const wchar_t *name = algorithm == DigestAlgorithm::Md5 ? BCRYPT_MD5_ALGORITHM : BCRYPT_SHA1_ALGORITHM;
    const NTSTATUS opened = SYS(calls->openAlgorithmProvider, StatusUnsuccessful)(&cng->algorithm, name, nullptr, 0);
    SysResult result = resultOfStatus(opened);
    if (result.kind == SysError::Other) {
        // The system's policy may refuse an algorithm: its status is what support can look up.
        char status[64];
        std::snprintf(status, sizeof status, "BCryptOpenAlgorithmProvider: status 0x%08lX", static_cast<unsigned long>(opened));
        refusal = status;
        return {SysError::NotSupported, long(ERROR_NOT_SUPPORTED)};
    }
    if (result.ok())
        result = resultOfStatus(SYS(calls->createHash, StatusUnsuccessful)(cng->algorithm, &cng->hash, nullptr, 0, nullptr, 0, 0));
    return result;
}

SysResult DigestState::add(const char *bytes, std::size_t size)
{
    CngDigest *cng = static_cast<CngDigest *>(context_);
    if (!cng || !cng->hash)
        return {SysError::Other, ERROR_INVALID_HANDLE};
    return resultOfStatus(SYS(cng->calls.hashData, StatusUnsuccessful)(cng->hash, reinterpret_cast<PUCHAR>(const_cast<char *>(bytes)),
                                                                       ULONG(size), 0));
}

SysResult DigestState::finish(std::string &value)
{
    CngDigest *cng = static_cast<CngDigest *>(context_);
    if (!cng || !cng->hash)
        return {SysError::Other, ERROR_INVALID_HANDLE};
    DWORD size = 0, written = 0;
    SysResult result = resultOfStatus(SYS(cng->calls.getProperty, StatusUnsuccessful)(
        cng->hash, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&size), sizeof size, &written, 0));
    std::string digest(size, '\0');
    if (result.ok())
        result = resultOfStatus(SYS(cng->calls.finishHash, StatusUnsuccessful)(cng->hash, reinterpret_cast<PUCHAR>(&digest[0]), size, 0));
    delete cng;
    context_ = nullptr;
    if (result.ok())
        value = digest;
    return result;
}
