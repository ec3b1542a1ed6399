#pragma once

// The process: its arguments and rights, program search and the detached start, standard
// streams, and how files and libraries are found.

#include "platform/types.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// True when the process has more rights than an ordinary user: root (effective user 0) on POSIX,
// an elevated token on Windows.
bool runsElevated();

// Sleeps for ms milliseconds.
void sleepMilliseconds(int ms);

// Returns the process's arguments as given: argv's bytes on POSIX, the wide command line split
// by the system's rules on Windows. argv must be read before any framework changes it.
std::vector<std::string> commandLineArguments(int argc, char **argv);

// Returns the folder of the helper's own program file, ending in a separator; empty when unknown.
std::string ownProgramFolder();

// Returns the folders of the system's program search path (PATH), in order, as written there.
std::vector<std::string> programSearchFolders();

// True when path is absolute: it names the same file whatever the current folder.
bool isAbsolutePath(const std::string &path);

// True when path names an existing file that the system could start as a program.
bool isProgramFile(const std::string &path);

// Starts the program file at path detached and clean: in its own folder, holding none of the
// helper's handles (its standard streams on the null device), with every signal's default action
// and none blocked (POSIX); true when it started.
bool startDetached(const std::string &path);

// Writes text and a line end on the standard error stream (where Windows gives a GUI program none,
// to the debugger's output, as Qt's messages go) without taking any memory: what must be said once
// memory has run out.
void writeErrorLine(const char *text);

// Puts the null device on each standard stream (input, output, error) the caller left closed, so
// that no file the helper opens takes its number and gets what is printed or logged. Nothing on
// Windows, whose handles are no small numbers.
void keepStandardStreamsOpen();

// Makes the system show the process every file as it is stored: a cloud file that is kept online
// as the placeholder it is, which Windows may otherwise disguise (Windows 10 1803 and later, where
// the call exists); nothing to do elsewhere.
void showFilesAsStored();

// Makes the system answer a hard error (a drive without its medium, a file that cannot be opened,
// a crash) with an error code or the process's end, never a dialog that waits for someone to click
// (Windows); nothing to do where the system shows none.
void silenceErrorDialogs();

// Makes libraries loaded from now on come from the system's own folder only, never from the
// program's folder or the current one (Windows); nothing to do where the system has no such search.
void restrictLibrarySearch();
