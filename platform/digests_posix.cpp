#include "platform/digests.h"
#include "platform/posix_internal.h"

#include <cerrno>
#include <cstring>

#include <dlfcn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <unistd.h>

using namespace posix_internal;

std::size_t level2CacheBytes()
{
    const long bytes = ::sysconf(_SC_LEVEL2_CACHE_SIZE);
    return bytes > 0 ? std::size_t(bytes) : 0;
}

namespace {

// libcrypto's digest calls, looked up once, at the first digest: a walk, which needs none, never
// pays for loading it (its relocations are about a fifth of a small call's processor time).
struct CryptoCalls {
    decltype(&EVP_MD_CTX_new) newContext = nullptr;
    decltype(&EVP_MD_CTX_free) freeContext = nullptr;
    decltype(&EVP_DigestInit_ex) init = nullptr;
    decltype(&EVP_DigestUpdate) update = nullptr;
    decltype(&EVP_DigestFinal_ex) final = nullptr;
    decltype(&EVP_md5) md5 = nullptr;
    decltype(&EVP_sha1) sha1 = nullptr;
    decltype(&ERR_get_error) getError = nullptr;
    decltype(&ERR_error_string_n) errorText = nullptr;
    decltype(&ERR_clear_error) clearErrors = nullptr;
    SysResult loaded{SysError::NotSupported, ELIBACC};
    std::string problem; // the loader's words, where it could not load the library
};

// True when the loader's words say it failed for want of memory: they end in the system's reason
// where it gave one, or are the C library's fixed "out of memory" where memory for the words ran
// out. A segment it could not map comes with no reason (a noexec mount and an address-space
// limit read alike): its words are said as they are.
bool saysOutOfMemory(const char *said)
{
    return std::strstr(said, std::strerror(ENOMEM)) || std::strstr(said, "out of memory");
}

template <typename Function>
bool lookUp(const char *name, Function &function)
{
    function = reinterpret_cast<Function>(::dlsym(RTLD_DEFAULT, name));
    return function != nullptr;
}

// RTLD_DEEPBIND, except under the sanitizers, whose runtimes refuse it (they interpose the
// library's calls to the C library).
int ownBindingFirst()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return 0;
#else
    return RTLD_DEEPBIND;
#endif
}

CryptoCalls loadCrypto()
{
    CryptoCalls calls;
    // Into the global scope, and looked up there: a library preloaded before it (a test's
    // stand-in) answers first, as it would for a linked one. Its own references are bound within
    // itself and its libraries first: through the framework's many libraries each would cost
    // more than the rest of a small call's loading.
    if (!::dlopen(VURO_CRYPTO_LIBRARY, RTLD_LAZY | RTLD_GLOBAL | ownBindingFirst())) {
        const char *const said = ::dlerror();
        calls.problem = said ? said : "the loader gave no reason";
        if (saysOutOfMemory(calls.problem.c_str()))
            calls.loaded = {SysError::OutOfMemory, ENOMEM};
        return calls;
    }
    // Each one missing named: whoever installed the library can look for it.
    const auto need = [&](const char *name, auto &function) {
        if (!lookUp(name, function))
            calls.problem += (calls.problem.empty() ? std::string(VURO_CRYPTO_LIBRARY) + ": missing " : std::string(", ")) + name;
    };
    need("EVP_MD_CTX_new", calls.newContext);
    need("EVP_MD_CTX_free", calls.freeContext);
    need("EVP_DigestInit_ex", calls.init);
    need("EVP_DigestUpdate", calls.update);
    need("EVP_DigestFinal_ex", calls.final);
    need("EVP_md5", calls.md5);
    need("EVP_sha1", calls.sha1);
    // Only for the words of a refusal.
    lookUp("ERR_get_error", calls.getError);
    lookUp("ERR_error_string_n", calls.errorText);
    lookUp("ERR_clear_error", calls.clearErrors);
    if (calls.problem.empty())
        calls.loaded = {};
    return calls;
}

// The library's words for the first error it queued on this thread, the queue emptied.
std::string libraryErrorText(const CryptoCalls &calls)
{
    if (!calls.getError || !calls.errorText)
        return "the library gave no reason";
    const unsigned long error = calls.getError();
    char text[256] = "the library gave no reason";
    if (error != 0)
        calls.errorText(error, text, sizeof text);
    if (calls.clearErrors)
        calls.clearErrors();
    return text;
}

// The calls, looked up once; loaded says why not where the library could not be.
const CryptoCalls &crypto()
{
    static const CryptoCalls calls = loadCrypto();
    return calls;
}

} // namespace

std::string digestLibraryProblem()
{
    return crypto().problem;
}

DigestState::~DigestState()
{
    if (context_)
        crypto().freeContext(static_cast<EVP_MD_CTX *>(context_));
}

SysResult DigestState::start(DigestAlgorithm algorithm, std::string &refusal)
{
    const CryptoCalls &calls = crypto();
    if (!calls.loaded.ok())
        return calls.loaded;
    EVP_MD_CTX *context = calls.newContext();
    if (!context)
        return {SysError::OutOfMemory, ENOMEM};
    if (context_)
        calls.freeContext(static_cast<EVP_MD_CTX *>(context_));
    context_ = context;
    // A configuration may allow only some algorithms (a provider not loaded, FIPS only).
    if (!calls.init(context, algorithm == DigestAlgorithm::Md5 ? calls.md5() : calls.sha1(), nullptr)) {
        refusal = libraryErrorText(calls);
        return {SysError::NotSupported, EINVAL};
    }
    return {};
}

SysResult DigestState::add(const char *bytes, std::size_t size)
{
    if (!context_ || !crypto().update(static_cast<EVP_MD_CTX *>(context_), bytes, size))
        return {SysError::Other, EINVAL};
    return {};
}

SysResult DigestState::finish(std::string &value)
{
    if (!context_)
        return {SysError::Other, EINVAL};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const bool done = crypto().final(static_cast<EVP_MD_CTX *>(context_), digest, &size);
    crypto().freeContext(static_cast<EVP_MD_CTX *>(context_));
    context_ = nullptr;
    if (!done)
        return {SysError::Other, EINVAL};
    value.assign(reinterpret_cast<const char *>(digest), size);
    return {};
}
