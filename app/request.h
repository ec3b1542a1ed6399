#pragma once

#include <optional>
#include <string>
#include <vector>

// The modes of the command line.
enum Mode {
    ModeMd5 = 0,
    ModeSha1 = 1,
    ModeMd5Sha1 = 2,
    ModeFolderStats = 3,
    ModeRestartViewer = 4,
};

// What the helper was asked: the mode number, the target (the argument after the mode, or empty)
// and the result path (the last argument, with ".json" unless it ends so in any letter case),
// both as the argument bytes given.
struct Request {
    int mode = 0;
    std::string target;
    std::string resultPath;
};

// Returns the request of an argument list (program, mode, target, result); nothing when it has no
// mode argument. A mode that is not a number reads as 0.
std::optional<Request> parseRequest(const std::vector<std::string> &arguments);
