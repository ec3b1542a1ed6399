#include "report.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include "guard.h"
#include "writer.h"

QByteArray renderJsonReport(const ReportList &list)
{
    QJsonArray array;
    for (const ReportEntry &entry : list)
        array.append(QJsonObject{{entry.key, entry.value}});
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

QByteArray renderReportFile(const ReportList &list)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly | QIODevice::Text);
    QTextStream stream(&buffer);
    stream << renderJsonReport(list);
    stream.flush();
    return bytes;
}

namespace {

bool isTargetOfKind(const std::string &target, TargetKind kind, const SystemCalls &calls)
{
    FileStatus status;
    const SysResult looked = calls.statusOfPath(target, true, status);
    if (!looked.ok())
        return false;
    return status.type == (kind == TargetKind::File ? EntryType::Regular : EntryType::Folder);
}

} // namespace

bool deliverReport(const std::string &target, TargetKind kind, const std::string &resultPath,
                   const std::function<std::optional<Report>()> &compute, const SystemCalls &calls)
{
    if (!isTargetOfKind(target, kind, calls))
        return false;
    const std::optional<Report> report = compute();
    if (!report)
        return false;
    // Opened once, as the system follows the path, after the work: a walk under a low open-file
    // limit needs every handle. The writer works from that folder.
    ResultPlace place;
    const SysResult opened = calls.openResultPlace(resultPath, place);
    if (!opened.ok())
        return false;
    // A folder is never the result file (the writer takes regular files only).
    if (kind == TargetKind::File && mightBeTarget(place, report->target, target, calls))
        return false;
    return writeResultFile(place, renderReportFile(report->entries).toStdString(), calls);
}
