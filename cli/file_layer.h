// SPDX-License-Identifier: BSD-3-Clause
// The command's access to files and terminals (and its own peak memory),
// with one side for POSIX systems (file_layer_posix.cpp) and one for Windows
// (file_layer_windows.cpp).
// Paths are UTF-8 on both: the Windows side converts them to UTF-16 and calls
// the wide-character functions. The NIfTI library opens files by name with
// the C runtime's narrow functions; on Windows the program's manifest
// (tamrin.manifest) declares UTF-8 as its code page, so those take the same
// UTF-8 names, and main's arguments arrive in UTF-8.
//
// Failures are reported as errno codes (ENOENT, EACCES, ENOSPC, ...) on both
// sides, so that callers word them with std::strerror alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tamrin {

enum PathType { kPathMissing, kPathFile, kPathFolder, kPathOther };

// What `path` names: 0 and its type (and its size in bytes when `size` is
// given and it is a file), or an errno code (ENOENT with kPathMissing when
// nothing is there). Symbolic links are followed when `follow` is true;
// otherwise a link is reported as what it is, so that a dangling link counts
// as present.
int pathType(const std::string& path, bool follow, PathType* type, int64_t* size = nullptr);

enum OpenMode { kOpenRead, kOpenWrite, kOpenUpdate };

// Opens a file as a C runtime descriptor in binary mode, not inherited by
// child processes: kOpenRead reads an existing file, kOpenWrite creates or
// truncates one, kOpenUpdate writes an existing one in place. Returns -1 and
// sets *error (an errno code) on failure.
int openFile(const std::string& path, OpenMode mode, int* error);

// Closes a descriptor openFile gave (and not handed on).
void closeFile(int fd);

// Writes `bytes` bytes at `offset` of an open file, all of them (retrying
// short writes). Returns 0 or an errno code. Not for two threads writing
// the same descriptor at once (the Windows side seeks, then writes).
int writeAt(int fd, const void* data, std::size_t bytes, int64_t offset);

// Sets an open file's length (a longer file reads as zeros past its end).
// Returns 0 or an errno code.
int resizeFile(int fd, int64_t length);

// Creates a new empty file named `prefix` + six random letters and digits +
// `suffix`, failing rather than opening one that exists; *name receives the
// name. A POSIX system gives it the permissions a new file gets (the umask's).
// Returns 0 or an errno code.
int createUniqueFile(const std::string& prefix, const std::string& suffix, std::string* name);

// Renames `from` to `to`, replacing a file there. Returns 0 or an errno code.
int replaceFile(const std::string& from, const std::string& to);

// Removes a file; false when it could not be removed. Safe to call from an
// interrupt handler (no allocation): `path` must be a NUL-terminated name.
bool removeFile(const char* path);

// Makes the file's data reach the disk (fsync, FlushFileBuffers), so that a
// failure to write back (full disk, I/O error) is seen now.
bool flushFileToDisk(const std::string& path);

// Bytes the calling user may still write to the file system that holds
// `folder` (statvfs's f_bavail blocks; GetDiskFreeSpaceEx's bytes available
// to the caller). Returns 0 or an errno code.
int freeDiskBytes(const std::string& folder, int64_t* bytes);

// Maps the first `length` bytes of the regular file `path` read-only. Null
// when the file is shorter or cannot be mapped. The mapping holds no
// descriptor or handle open.
void* mapFile(const std::string& path, std::size_t length);

void unmapFile(void* base, std::size_t length);

// Drops the pages wholly inside [start, start + bytes) of a read-only file
// mapping from the process's memory; reading them again brings them back
// from the file. POSIX only: nothing on Windows.
void dropMappedPages(const void* start, std::size_t bytes);

// Whether `stream` is a terminal a progress line can be drawn on (carriage
// returns and the clear-to-end-of-line sequence). On Windows that is a
// console that accepts escape sequences, which this turns on.
bool isTerminal(std::FILE* stream);

// Sets the console, when the standard output or error is one, to show the
// UTF-8 text the program writes (Windows; the code page it had is restored at
// exit). Nothing to do on POSIX systems.
void prepareConsole();

// The most memory the process has held in RAM so far, in bytes, and in
// *measure the system's name for that figure: getrusage's ru_maxrss (the
// peak resident set) on POSIX systems, PeakWorkingSetSize on Windows. -1
// when the system does not say.
int64_t peakResidentBytes(const char** measure);

// Index of the first character of the file name in `path`: after the last
// separator ('/', and on Windows '\' or a drive's "C:"), 0 when none.
std::size_t fileNameStart(const std::string& path);

// Calls `cleanup` when the process is interrupted (POSIX: SIGINT, SIGTERM,
// SIGHUP; Windows: Ctrl+C, Ctrl+Break, the console closed, logoff or
// shutdown), then lets the interruption end the process as it would have.
// `cleanup` may only remove files (removeFile) and must not allocate.
// Installed once; later calls do nothing.
void onInterrupt(void (*cleanup)());

// Between these two an interruption waits: `cleanup` runs after
// releaseInterrupts (POSIX: SIGINT, SIGTERM and SIGHUP are blocked in the
// calling thread; Windows: the control handler waits on a lock). For steps
// that must not be cut in two, such as creating a temporary and recording
// its name for `cleanup`. Not nested.
void holdInterrupts();
void releaseInterrupts();

}  // namespace tamrin
