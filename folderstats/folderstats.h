#pragma once

#include "folderstats/walk.h"
#include "report/report.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <string>

// Returns the report of the folder statistics mode for the folder at path (bytes): "Total Size",
// "Folder Count " and "File Count" of a walk with `walkers` threads; for a volume root, "Total
// Size" alone, the volume's capacity. Nothing when the walk or the capacity query gives no result.
std::optional<Report> folderStatsReport(const std::string &path, int walkers = defaultWalkerCount(),
                                       const SystemCalls &calls = SystemCalls());

// Returns the system's short size text of a byte count, such as "1.30 KB": the shell's own on
// Windows, the en-US shell's elsewhere.
QString formatByteSize(std::uint64_t bytes);
