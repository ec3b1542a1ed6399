#include "app/request.h"
#include "digest/digest.h"
#include "folderstats/folderstats.h"
#include "platform/platform.h"
#include "report/report.h"
#include "report/termination.h"

#include <QThread>

#include <functional>
#include <cstdio>
#include <memory>
#include <new>

// The way through: the arguments become a request; the request's mode computes a report of its
// target; the report goes, whole or not at all, into the result file. The exit code is 0 for
// modes 0 to 3 whatever happened, -1 without a mode, and for mode 4 whether the viewer started.

namespace {

const int NoModeExitCode = -1;

// Through the C library's stream, flushed at once: the line is the caller's trace of where the
// helper got to. (The C++ streams' set-up alone would cost more than a small walk's own work.)
void printLine(const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string joinArguments(const std::vector<std::string> &arguments)
{
    std::string line;
    for (std::size_t i = 0; i < arguments.size(); ++i)
        line += (i ? "      " : "") + arguments[i];
    return line;
}

const char *const ViewerProgram = "Vuro.exe";

// Returns the viewer's program file: in the helper's own folder when it is there, else in the
// first absolute folder of the search path that has it; never in the current folder (which may be
// any folder the user views), nor through a relative entry. Empty when there is none.
std::string findViewer()
{
    const std::string beside = ownProgramFolder() + ViewerProgram;
    if (!ownProgramFolder().empty() && isProgramFile(beside))
        return beside;
    for (const std::string &folder : programSearchFolders()) {
        if (isAbsolutePath(folder) && isProgramFile(joinPath(folder, ViewerProgram)))
            return joinPath(folder, ViewerProgram);
    }
    return std::string();
}

// Starts the viewer after the pause, holding none of the helper's handles, so a caller reading
// the helper's output sees its end when the helper exits. 1 when it started.
int restartViewer()
{
    QThread::sleep(2);
    const std::string viewer = findViewer();
    return !viewer.empty() && startDetached(viewer) ? 1 : 0;
}

// Runs the request's mode through calls; numbers outside 0 to 4 do nothing. Whether a report was
// written leaves the exit code alone: the viewer reads the result file, not the code.
int runRequest(const Request &request, const SystemCalls &calls)
{
    switch (request.mode) {
    case ModeMd5:
    case ModeSha1:
    case ModeMd5Sha1: {
        printLine("IT_MD5_SHA1");
        const DigestMode mode = request.mode == ModeMd5 ? DigestMode::Md5 : request.mode == ModeSha1 ? DigestMode::Sha1 : DigestMode::Md5AndSha1;
        deliverReport(request.target, TargetKind::File, request.resultPath,
                      [&] { return digestReport(mode, request.target, calls); }, calls);
        return 0;
    }
    case ModeFolderStats:
        printLine("IT_Dir_Size");
        deliverReport(request.target, TargetKind::Folder, request.resultPath,
                      [&] { return folderStatsReport(request.target, defaultWalkerCount(), calls); }, calls);
        return 0;
    case ModeRestartViewer:
        return restartViewer();
    default:
        return 0;
    }
}

// The stack the mode needs: the process's own first thread has whatever stack the caller's limit
// gave it, which may be too small for the libraries' first calls; the mode then runs on a thread
// of this stack.
const std::size_t ModeStackBytes = 1024 * 1024;

// Runs the request's mode on a stack of the size it needs, while a termination signal
// ends the process only between the writer's steps. Running out of memory ends the mode without a
// report.
int runOnOwnStack(const Request &request)
{
    // Shared with the thread that takes termination signals, which lives as long as the process.
    const auto gate = std::make_shared<TerminationGate>();
    SystemCalls calls;
    calls.terminationGate = gate.get();
    int code = 0;
    const bool ran = runUntilTerminated(ModeStackBytes, [&] {
        try {
            code = runRequest(request, calls);
        } catch (const std::bad_alloc &) {
            // A walk cut short or a digest not computed must never pass for a result, nor quietly:
            // the line takes no memory, which is gone.
            writeErrorLine("out of memory: no result written");
            code = 0;
        }
    }, hooksOf(gate));
    if (!ran)
        writeErrorLine("no thread to be had, and too small a stack for the mode: no result written");
    return code;
}

} // namespace

int main(int argc, char *argv[])
{
    // First of all, before any file is touched: an empty drive or a crash never puts up a dialog.
    silenceErrorDialogs();
    // Then: a library the helper's own library loads on first use must come from the system,
    // never from the viewer's folder the helper is unpacked into.
    restrictLibrarySearch();
    // A cloud folder's contents are counted and its files hashed as Explorer shows them.
    showFilesAsStored();
    // A caller may start the helper with its standard streams closed: the echo and the log must
    // then go nowhere, never into a file the helper opened under their numbers.
    keepStandardStreamsOpen();
    // The output is a trace: a reader that went away must not stop the report or the restart. A
    // file size limit fails a write, which the writer undoes, rather than ending the process
    // half-way.
    prepareSignals();
    // As given: the framework's application object would take arguments for its own. It is not
    // made at all: nothing here needs its event loop, whose wakeup handle would count against a
    // low open-file limit. Nor is the C library's locale set to the user's, as that object would
    // set it: the arguments are bytes, the result's text codec is the framework's own choice from
    // the environment, and the log's reasons stay in the wording of the standard library's
    // messages they are part of; its files would be read for nothing.
    const std::vector<std::string> arguments = commandLineArguments(argc, argv);
    // The echo comes before any check: it is the caller's trace of what the helper was asked.
    printLine(joinArguments(arguments));
    const std::optional<Request> request = parseRequest(arguments);
    if (!request)
        return NoModeExitCode;
    return runOnOwnStack(*request);
}
