#pragma once

// The result file: its place, making, naming, renaming and removing files there, locks, and the
// limits a write meets. What the earlier file carries over is attributes.h's.

#include "platform/listings.h"
#include "platform/types.h"

#include <cstdint>
#include <string>

// Where a result file goes: its folder, opened, and its name there, links followed by the system
// under its own rules, so that a link the system refuses to follow is refused here too.
struct ResultPlace {
    OpenFolder folder;
    std::string name;
};

// Opens the folder of path and names the file path leads to there. A final link is followed by
// the system (its rules, its limit); a dangling one names the file the system would create, its
// chain read link by link up to the 40 links the kernel follows. A device name is refused.
SysResult openResultPlace(const std::string &path, ResultPlace &place);

// Stores what the place's name is in status, without following a link.
SysResult statusOfPlace(const ResultPlace &place, FileStatus &status);

// Creates a file without a name in the place's folder, for writing; NotSupported where the file
// system has no such files.
SysResult createUnnamedFile(const ResultPlace &place, Handle &file);

// Creates the new file name in the place's folder, for writing; Exists when the name is taken.
SysResult createNamedFile(const ResultPlace &place, const std::string &name, Handle &file);

// Opens the existing regular file of the place for reading and writing in place, without
// following a link and without waiting on a FIFO.
SysResult openForWriting(const ResultPlace &place, Handle &file);

// Opens the existing file of the place for reading its attributes, without following a link:
// for reading where the user may, else for writing, else for its attributes alone (POSIX).
SysResult openForAttributes(const ResultPlace &place, Handle &file);

// Writes every byte to the file at its current position.
SysResult writeAll(const Handle &file, const std::string &bytes);

// Empties the file and sets its position to the start.
SysResult truncateFile(const Handle &file);

// Waits until the file's bytes are on the device.
SysResult flushFile(const Handle &file);

// Takes an exclusive lock on the whole file without waiting; Locked when another holds one.
SysResult tryLockFile(const Handle &file);

// Gives the unnamed file the name `name` in the place's folder; Exists when it is taken, NotSupported
// where the system names no unnamed file for this process.
SysResult nameUnnamedFile(const ResultPlace &place, const Handle &file, const std::string &name);

// Renames the open file named from to the place's name, in the place's folder, replacing what is
// there; through the file's own handle where the system can (Windows).
SysResult renameOverResult(const ResultPlace &place, const Handle &file, const std::string &from);

// Removes the name from the place's folder.
SysResult removeName(const ResultPlace &place, const std::string &name);

// Returns a number that differs between runs and processes, to name temporary files.
std::uint64_t uniqueSeed();

// Returns the largest file size the process may write (its file size limit); all ones for none.
std::uint64_t largestWritableFileSize();
