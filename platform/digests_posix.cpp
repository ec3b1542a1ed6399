#include "platform/digests.h"
#include "platform/posix_internal.h"

#include <cerrno>

#include <openssl/evp.h>
#include <unistd.h>

using namespace posix_internal;

std::size_t level2CacheBytes()
{
    const long bytes = ::sysconf(_SC_LEVEL2_CACHE_SIZE);
    return bytes > 0 ? std::size_t(bytes) : 0;
}

DigestState::~DigestState()
{
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(context_));
}

SysResult DigestState::start(DigestAlgorithm algorithm)
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    if (!context)
        return {SysError::OutOfMemory, ENOMEM};
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(context_));
    context_ = context;
    if (!EVP_DigestInit_ex(context, algorithm == DigestAlgorithm::Md5 ? EVP_md5() : EVP_sha1(), nullptr))
        return {SysError::Other, EINVAL};
    return {};
}

SysResult DigestState::add(const char *bytes, std::size_t size)
{
    if (!context_ || !EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(context_), bytes, size))
        return {SysError::Other, EINVAL};
    return {};
}

SysResult DigestState::finish(std::string &value)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const bool done = context_ && EVP_DigestFinal_ex(static_cast<EVP_MD_CTX *>(context_), digest, &size);
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(context_));
    context_ = nullptr;
    if (!done)
        return {SysError::Other, EINVAL};
    value.assign(reinterpret_cast<const char *>(digest), size);
    return {};
}
