#pragma once

#include "report/report.h"

#include <QString>

#include <optional>

// Returns the report of a digest mode for the file at path: "MD5" (mode 0), "SHA1" (mode 1) or
// both in that order (mode 2), as lowercase hex, from one read of the file. The values are empty
// when the file refuses to be opened for reasons of its own (no permission, a sharing lock);
// there is no report when it cannot be read for any other reason, or a read fails part way.
std::optional<Report> digestReport(int mode, const QString &path);
