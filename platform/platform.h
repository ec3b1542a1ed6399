#pragma once

// The operating system's calls, one small function each, over plain types that both platforms
// fill alike. Standard C++ only, so each platform's source compiles on its own. Nothing here
// decides what an outcome means for a report, how often to try again, or what a message says:
// that is written once, above this layer. Two things are this layer's all the same, each said at
// its function: how many links of a result's chain are read (as many as the kernel follows), and
// which names are devices and no files (Windows). Paths are bytes: as given on POSIX, WTF-8 on Windows
// (UTF-8 that keeps the unpaired surrogates NTFS names may hold).
//
// One header a concern, each with one source a system (files_posix.cpp, files_windows.cpp, ...),
// chosen by CMake; this header brings them all.

#include "platform/types.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/listings.h"
#include "platform/results.h"
#include "platform/attributes.h"
#include "platform/process.h"
#include "platform/signals.h"
#include "platform/threads.h"
#include "platform/digests.h"
