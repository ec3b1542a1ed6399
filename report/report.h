#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// One result: a key such as "MD5" and its value text, possibly empty.
struct ReportEntry {
    QString key;
    QString value;
};

// The results of one mode, written out in the order of appending.
using ReportList = QVector<ReportEntry>;

// Returns the target path (the argument after the mode), or the empty text when there is none.
QString targetPathFromArguments(const QStringList &arguments);

// Returns the result path: the last argument, with ".json" appended unless it already ends with
// ".json" in any letter case. With three arguments that is the target path itself.
QString resultPathFromArguments(const QStringList &arguments);

// Returns the indented JSON text of the list: an array of one-member objects, in list order.
QByteArray renderJsonReport(const ReportList &list);

// Writes the list as JSON to path, in text mode, replacing an earlier file whole and at once; in
// place when the folder takes no new file or the old file may not be replaced. Writes nothing,
// silently, when the file cannot be written in full (the earlier file then stays as it was) or
// path names an existing entry that is not a regular file.
void writeJsonReport(const ReportList &list, const QString &path);

// True when both paths name the same existing file, whether spelled alike or not (links,
// hard links, relative forms); false when either is missing.
bool namesSameFile(const QString &first, const QString &second);
