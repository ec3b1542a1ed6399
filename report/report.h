#pragma once

#include "platform/calls.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>
#include <optional>
#include <string>

// One result: a key such as "MD5" and its value text, possibly empty.
struct ReportEntry {
    QString key;
    QString value;
};

// The results of one mode, written out in the order of appending.
using ReportList = QVector<ReportEntry>;

// What a mode hands back: its results, and what the system said of the target as the mode read
// it (identity, size, modification time), so that the report is never written over the file it
// describes; and what it keeps open until the report is written (the kernel's watch on a hashed
// file, whose close costs nothing once its removal has finished in the background).
struct Report {
    ReportList entries;
    FileStatus target;
    Handle keptOpen;
};

// Returns the indented JSON text of the list: an array of one-member objects, in list order.
QByteArray renderJsonReport(const ReportList &list);

// Returns the bytes of the result file: the JSON text through a text stream in text mode, so in
// the locale's encoding and with the platform's line ends.
QByteArray renderReportFile(const ReportList &list);

// The kind of target a mode needs.
enum class TargetKind { File, Folder };

// Writes the report that compute returns for target (path bytes) to resultPath (path bytes),
// unless the target is not of the kind, the result's folder cannot be opened, compute returns
// nothing, or the result file might be the target itself. Returns whether a report was written.
bool deliverReport(const std::string &target, TargetKind kind, const std::string &resultPath,
                   const std::function<std::optional<Report>()> &compute, const SystemCalls &calls = SystemCalls());
