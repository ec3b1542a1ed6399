#pragma once

// Digests: the system library's digest state, and the cache size that sizes a digest's chunks.

#include "platform/types.h"

#include <cstddef>
#include <string>

// Returns the bytes of one core's second-level cache of this processor; 0 where the system does
// not say.
std::size_t level2CacheBytes();

enum class DigestAlgorithm { Md5, Sha1 };

// Returns why the system's digest library could not be loaded, in the loader's own words; empty
// when it was, or was not tried yet.
std::string digestLibraryProblem();

// A digest state of the system's own library (libcrypto, or CNG), released when it goes.
class DigestState {
public:
    DigestState() = default;
    DigestState(DigestState &&other) noexcept : context_(other.context_) { other.context_ = nullptr; }
    DigestState &operator=(DigestState &&) = delete;
    DigestState(const DigestState &) = delete;
    DigestState &operator=(const DigestState &) = delete;
    ~DigestState();

    // Starts a digest of algorithm. OutOfMemory where it had none; NotSupported where the library
    // cannot be loaded (digestLibraryProblem says why), or refuses the algorithm (a configuration
    // that allows only some, a call missing from it): refusal then holds the library's own words.
    SysResult start(DigestAlgorithm algorithm, std::string &refusal);
    // Adds size bytes.
    SysResult add(const char *bytes, std::size_t size);
    // Stores the digest of every byte added, raw, in value; the state is spent afterwards.
    SysResult finish(std::string &value);

private:
    void *context_ = nullptr;
};
