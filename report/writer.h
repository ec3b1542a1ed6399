#pragma once

// The report's way into its file, the same on every platform: written whole under a temporary
// name (or none) in the result's folder and renamed over the earlier file, keeping what the user
// set on that file; written in place under a lock where a replacement could not keep it.

#include "platform/calls.h"

#include <functional>
#include <string>

// The waits between tries of a rename or lock refused because another program holds the file
// (a reader, a scanner, an indexer): about 2.5 s in all, then the writer gives up.
extern const int RetryDelaysMs[7];

// Writes bytes as the file of the place, replacing an earlier file whole and at once. Returns
// false, with the earlier file as it was and no file of the writer's own left behind, when it
// cannot, or when the place holds something that is no regular file. Throws std::bad_alloc when
// memory runs out.
bool writeResultFile(const ResultPlace &place, const std::string &bytes, const SystemCalls &calls = SystemCalls());
