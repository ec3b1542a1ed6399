#include "folderstats/outcomes.h"

#include <QDebug>

namespace walking {
namespace {

// True while the start folder still answers through its handle: a failure below it is then the
// failure of one folder or entry, not of the volume, share or device the tree is on.
bool startAnswers(const WalkState &state)
{
    FileStatus status;
    return state.calls.statusOfHandle(state.start.handle, status).ok();
}

// The standard library's wording of what failed at each step.
const char *failureOf(WalkStep step)
{
    switch (step) {
    case WalkStep::OpenStart:
    case WalkStep::OpenSubfolder:
        return "directory iterator cannot open directory";
    case WalkStep::SizeEntry:
        return "cannot get file size";
    default:
        return "directory iterator cannot advance";
    }
}

} // namespace

std::string failureText(const char *what, const std::string &reason, const std::string &path)
{
    return std::string("filesystem error: ") + what + ": " + reason + " [" + path + "]";
}

void logFailure(const std::string &text)
{
    try {
        qDebug("%s", text.c_str());
    } catch (...) {
    }
}

Response respondTo(WalkStep step, const SysResult &result, const WalkState &state)
{
    if (result.ok())
        return {Effect::Go, false};
    if (result.kind == SysError::OutOfHandles || result.kind == SysError::Gone)
        return {Effect::GiveUp, true};
    switch (step) {
    case WalkStep::OpenStart:
        // Closed to the user: a folder with nothing in it that can be seen.
        return result.kind == SysError::Denied ? Response{Effect::Count, false} : Response{Effect::GiveUp, true};
    case WalkStep::ListStart:
        return {Effect::GiveUp, true};
    case WalkStep::OpenSubfolder:
        // Closed to the user, or a name past the system's limit: a folder with nothing in it.
        if (result.kind == SysError::Denied || result.kind == SysError::NameTooLong)
            return {Effect::Count, false};
        // A link or file swapped in since the parent was listed: never walked, not counted.
        if (result.kind == SysError::NotAFolder)
            return {Effect::Skip, true};
        // Gone since its parent was listed, or there but saying nothing more (an I/O error).
        return startAnswers(state) ? Response{Effect::Count, true} : Response{Effect::GiveUp, true};
    case WalkStep::ListNotBegun:
        return startAnswers(state) ? Response{Effect::Count, true} : Response{Effect::GiveUp, true};
    case WalkStep::ListBrokeOff:
        // What it summed is kept; the folder does not count.
        return startAnswers(state) ? Response{Effect::Skip, true} : Response{Effect::GiveUp, true};
    case WalkStep::SizeEntry:
        return result.kind == SysError::Missing || startAnswers(state) ? Response{Effect::Skip, true}
                                                                      : Response{Effect::GiveUp, true};
    }
    return {Effect::GiveUp, true};
}

Response respond(WalkStep step, const SysResult &result, const WalkState &state, const std::string &path)
{
    const Response response = respondTo(step, result, state);
    if (response.logged)
        logFailure(failureText(failureOf(step), result, path));
    return response;
}

std::string failureText(const char *what, const SysResult &result, const std::string &path)
{
    return failureText(what, errorTextOf(result.code), path);
}

} // namespace walking
