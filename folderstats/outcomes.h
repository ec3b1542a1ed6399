#pragma once

// What each outcome of a system call means for the walk, and the words it is logged in.

#include "folderstats/walkstate.h"

#include <string>

namespace walking {

// Where in the walk the system said something.
enum class WalkStep {
    OpenStart,        // opening the start folder
    ListStart,        // listing the start folder (or looking at its handle)
    OpenSubfolder,    // opening a subfolder listed by its parent
    ListNotBegun,     // a subfolder's listing failing before its first entry
    ListBrokeOff,     // a subfolder's listing failing part way
    SizeEntry,        // looking at a listed entry that the listing did not size
};

// What the walk does about it.
enum class Effect {
    Go,     // it worked: go on
    Count,  // a folder with nothing in it that can be seen: it counts, nothing below it does
    Skip,   // neither it nor anything below it counts
    GiveUp, // nothing certain can be said of the tree: no report
};

struct Response {
    Effect effect;
    bool logged;
};

// The one place that says what a system call's outcome means for the walk, each step's once. Out
// of memory ends the mode; out of file handles, or a volume, share or device gone, leaves nothing
// certain; so does any failure below a start folder that no longer answers. What the walk finds
// with no call failing (a folder that loops back, a link to a folder, an entry of no file type,
// a chain without identities too deep) is decided where it is found, once each, in walk.cpp.
Response respondTo(WalkStep step, const SysResult &result, const WalkState &state);

// Returns the walk's response to an outcome at a step on path, logging it where it says so.
Response respond(WalkStep step, const SysResult &result, const WalkState &state, const std::string &path);

// Returns the standard library's wording of a filesystem error: "filesystem error: WHAT: REASON [PATH]".
std::string failureText(const char *what, const std::string &reason, const std::string &path);

// The same, in the system's words for what the result says.
std::string failureText(const char *what, const SysResult &result, const std::string &path);

// Logs text on the debug channel; a message that cannot be written for want of memory is dropped.
void logFailure(const std::string &text);

} // namespace walking
