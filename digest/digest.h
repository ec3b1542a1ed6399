#pragma once

#include "report/report.h"

#include <QCryptographicHash>
#include <QStringList>
#include <QVector>

// Runs a file digest mode (0 MD5, 1 SHA-1, 2 both) on the application's arguments: writes the
// result file, or nothing when the target is not an existing regular file or is the result file.
void runDigestMode(int mode);

// The same as runDigestMode, on the given argument list (program, mode, target, result).
void writeDigestReport(int mode, const QStringList &arguments);

// Returns the report of a digest mode for a file: "MD5" (mode 0), "SHA1" (mode 1) or both in
// that order (mode 2), computed in one read of the file.
ReportList digestReport(int mode, const QString &path);

// Returns the lowercase hex digest of the whole file, or the empty text when the file cannot be
// opened or read to its end.
QString fileDigestHex(const QString &path, QCryptographicHash::Algorithm algorithm);

// Returns one lowercase hex digest per algorithm, in order, reading the file only once; every
// text is empty when the file cannot be opened or read to its end.
QStringList fileDigestsHex(const QString &path, const QVector<QCryptographicHash::Algorithm> &algorithms);
