#pragma once

#include "folderstats/walk.h"
#include "report/report.h"

#include <QString>

#include <cstdint>
#include <optional>

// Returns the report of the folder statistics mode for the folder at path: "Total Size", "Folder
// Count " and "File Count" of a walk with `walkers` threads; for a volume root, "Total Size"
// alone, the volume's capacity. Nothing when the walk or the capacity query gives no result.
std::optional<Report> folderStatsReport(const QString &path, int walkers = defaultWalkerCount());

// Returns the platform's short size text of a byte count, such as "1.30 KB".
QString formatByteSize(std::uint64_t bytes);
