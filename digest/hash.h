#pragma once

// One running digest of the system's library, every call checked.

#include "platform/digests.h"

#include <QByteArray>

#include <string>

namespace digesting {

// One running digest whose every call is checked: once one failed, it gives no value.
class Hash {
public:
    explicit Hash(DigestAlgorithm algorithm)
    {
        const SysResult started = state_.start(algorithm, refusal_);
        loadable_ = started.ok() || digestLibraryProblem().empty();
        check(started);
    }
    // False when the system's digest library could not be loaded.
    bool isLoadable() const { return loadable_; }
    // The library's words where it refused the algorithm; empty where it did not.
    const std::string &refusal() const { return refusal_; }
    void add(const char *bytes, std::size_t size)
    {
        if (ok_)
            check(state_.add(bytes, size));
    }
    // The digest as lowercase hex; false when a call of the library failed.
    bool finish(QByteArray &hex)
    {
        std::string value;
        if (ok_)
            check(state_.finish(value));
        if (ok_)
            hex = QByteArray::fromStdString(value).toHex();
        return ok_;
    }

private:
    void check(const SysResult &result)
    {
        // The digest library's outcomes come through no seam: out of memory is raised here.
        throwIfOutOfMemory(result);
        ok_ = ok_ && result.ok();
    }
    DigestState state_;
    std::string refusal_;
    bool ok_ = true;
    bool loadable_ = true;
};

} // namespace digesting
