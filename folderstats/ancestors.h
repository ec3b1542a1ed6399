#pragma once

// The chains of ancestors a walk keeps for each folder it has yet to walk: how it sees a loop.

#include "platform/types.h"

#include <atomic>
#include <cstddef>
#include <utility>

namespace walking {

// One folder on a chain of ancestors, from a folder's parent up to the start folder, shared by
// every folder below it and freed when the last hold on it goes.
struct Ancestor {
    FileIdentity identity;
    Ancestor *parent;                  // one of the parent's holds
    std::size_t depth;                 // links from the start folder's, which is 1
    std::atomic<std::size_t> holds{1};
};

// A hold on a chain of ancestors. The last hold on a link frees it and then drops the link's hold
// on its parent, one link at a time, not by recursion, however deep the chain. Each hold is let go
// by an exchange that both publishes the holder's reads of the chain and sees every other holder's
// before the link is freed (a shared_ptr's count read on its own would see neither).
class Chain {
public:
    Chain() = default;
    Chain(const FileIdentity &identity, Chain parent) : link_(new Ancestor{identity, parent.link_, parent.depth() + 1}) { parent.link_ = nullptr; }
    Chain(const Chain &other) : link_(other.link_)
    {
        if (link_)
            link_->holds.fetch_add(1, std::memory_order_relaxed);
    }
    Chain(Chain &&other) noexcept : link_(std::exchange(other.link_, nullptr)) {}
    Chain &operator=(Chain other) noexcept
    {
        std::swap(link_, other.link_);
        return *this;
    }
    ~Chain()
    {
        for (Ancestor *link = link_; link && link->holds.fetch_sub(1, std::memory_order_acq_rel) == 1;) {
            Ancestor *const parent = link->parent;
            delete link;
            link = parent;
        }
    }
    // The nearest link, or null for the start folder's own chain.
    const Ancestor *nearest() const { return link_; }
    // How many folders the chain holds.
    std::size_t depth() const { return link_ ? link_->depth : 0; }

private:
    Ancestor *link_ = nullptr;
};


// True when a folder of this identity is on the chain. An unknown identity equals nothing, and is
// not looked for: a chain of such folders would cost its depth at every step.
inline bool isAncestor(const Ancestor *chain, const FileIdentity &identity)
{
    if (!identity.known)
        return false;
    for (const Ancestor *link = chain; link; link = link->parent) {
        if (isSameFile(link->identity, identity))
            return true;
    }
    return false;
}

// A chain of folders deeper than any path the system can name (32,767 characters, two a folder at
// the least) is a loop, where folders have no identity to compare: no real tree reaches it.
const std::size_t DeepestUnknownChain = 16384;

} // namespace walking
