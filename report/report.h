#pragma once

#include "platform/platform.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <string>

// One result: a key such as "MD5" and its value text, possibly empty.
struct ReportEntry {
    QString key;
    QString value;
};

// The results of one mode, written out in the order of appending.
using ReportList = QVector<ReportEntry>;

// What a mode hands back: its results, and the identity of the target as the mode read it, so
// that the report is never written over the file it describes.
struct Report {
    ReportList entries;
    FileIdentity target;
};

// Returns path as the bytes the platform layer takes: UTF-8, or WTF-8 where the text holds
// unpaired surrogates (Windows names may).
std::string pathBytes(const QString &path);

// Returns the indented JSON text of the list: an array of one-member objects, in list order.
QByteArray renderJsonReport(const ReportList &list);

// Returns the bytes of the result file: the JSON text through a text stream in text mode, so in
// the locale's encoding and with the platform's line ends.
QByteArray renderReportFile(const ReportList &list);

// Writes the list to path (the platform's bytes of a path without links), replacing an earlier
// file whole and at once. Returns false, and leaves the earlier file as it was, when it cannot be
// written in full or path names an entry that is no regular file.
bool writeJsonReport(const ReportList &list, const std::string &path);
