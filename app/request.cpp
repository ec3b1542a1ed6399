#include "request.h"

#include <QFileInfo>

std::optional<Request> parseRequest(const QStringList &arguments)
{
    if (arguments.size() < 2)
        return std::nullopt;
    Request request;
    request.mode = arguments.at(1).toInt();
    request.target = arguments.size() >= 3 ? arguments.at(2) : QString();
    const QString last = arguments.last();
    request.resultPath = last.endsWith(QLatin1String(".json"), Qt::CaseInsensitive) ? last : last + QLatin1String(".json");
    return request;
}

namespace {

bool isTargetOfKind(const QString &target, TargetKind kind)
{
    const QFileInfo info(target);
    return kind == TargetKind::File ? info.isFile() : info.isDir();
}

// True when the file at the resolved result path is the target as the mode read it, or when that
// cannot be told: the report must never replace the file it describes.
bool mightBeTarget(const std::string &resolved, const FileIdentity &target)
{
    FileIdentity existing;
    switch (identityOfPath(resolved, existing)) {
    case FileOutcome::Refused:
        return false;
    case FileOutcome::Done:
        return !target.known || isSameFile(existing, target);
    default:
        return true;
    }
}

} // namespace

bool deliverReport(const Request &request, TargetKind kind, const std::function<std::optional<Report>()> &compute)
{
    if (!isTargetOfKind(request.target, kind))
        return false;
    // Resolved once, as the system would open it; the writer gets a path without links.
    std::string resolved;
    if (!resolveResultPath(pathBytes(request.resultPath), resolved))
        return false;
    const std::optional<Report> report = compute();
    if (!report || mightBeTarget(resolved, report->target))
        return false;
    return writeJsonReport(report->entries, resolved);
}
