#pragma once

#include "report/report.h"

#include <QString>
#include <QStringList>

#include <cstdint>

// Runs the folder statistics mode on the application's arguments: writes the total size text and
// the folder and file counts of the target folder, or nothing when the target is not a folder.
void runFolderStatsMode();

// The same as runFolderStatsMode, on the given argument list (program, mode, target, result).
void writeFolderStatsReport(const QStringList &arguments);

// Adds to total the sizes of all files below path, or for a volume root its capacity, and stores
// the folders and files below it in the counts that are not null; a count is NoCount when no walk
// ran (volume root, folder missing).
void computeFolderStats(const QString &path, std::uint64_t &total, std::uint64_t *folderCount,
                        std::uint64_t *fileCount);

// Returns the report: "Total Size", then "Folder Count " and "File Count" unless NoCount.
ReportList folderStatsReport(std::uint64_t total, std::uint64_t folderCount, std::uint64_t fileCount);

// Returns the platform's short size text of a byte count, such as "1.30 KB".
QString formatByteSize(std::uint64_t bytes);
