#pragma once

#include "report/report.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The modes of the command line.
enum Mode {
    ModeMd5 = 0,
    ModeSha1 = 1,
    ModeMd5Sha1 = 2,
    ModeFolderStats = 3,
    ModeRestartViewer = 4,
};

// What the helper was asked: the mode number, the target (the argument after the mode, or empty)
// and the result path (the last argument, with ".json" unless it ends so in any letter case).
struct Request {
    int mode = 0;
    QString target;
    QString resultPath;
};

// Returns the request of an argument list (program, mode, target, result); nothing when it has no
// mode argument. A mode that is not a number reads as 0.
std::optional<Request> parseRequest(const QStringList &arguments);

// The kind of target a mode needs.
enum class TargetKind { File, Folder };

// Writes the report that compute returns for the request's target to its result path, unless the
// target is not of the kind, compute returns nothing, or the result path is the target itself or
// cannot be resolved. Returns whether a report was written.
bool deliverReport(const Request &request, TargetKind kind, const std::function<std::optional<Report>()> &compute);
