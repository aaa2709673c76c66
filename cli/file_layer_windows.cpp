// SPDX-License-Identifier: BSD-3-Clause
// The file layer on Windows: UTF-8 names converted to UTF-16 for the wide
// functions (GetFileAttributesExW, _wopen, CreateFileW, MoveFileExW,
// DeleteFileW), FlushFileBuffers, CreateFileMappingW with MapViewOfFile,
// console modes, console control handlers and the process's memory counters. Win32 errors are translated to
// the errno codes the POSIX side reports.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
// After windows.h, which it needs; K32GetProcessMemoryInfo is in kernel32.
#include <psapi.h>

#include <cerrno>
#include <cstdlib>

#include "file_layer.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace tamrin {
namespace {

// The UTF-16 form of a UTF-8 name; false when it is not valid UTF-8.
bool widen(const std::string& text, std::wstring* wide) {
    wide->clear();
    if (text.empty()) return true;
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
    if (n <= 0) return false;
    wide->resize(static_cast<std::size_t>(n));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &(*wide)[0],
                               n) == n;
}

int errnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_INVALID_NAME:
        case ERROR_DIRECTORY:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_USER_MAPPED_FILE:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        default:
            return EIO;
    }
}

HANDLE openHandle(const std::wstring& path, DWORD access, DWORD flags) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}

PathType typeOf(DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return kPathFolder;
    if (attributes & FILE_ATTRIBUTE_DEVICE) return kPathOther;
    return kPathFile;
}

// Six letters and digits, different at each call and in each process.
std::string randomLetters() {
    static uint64_t state = 0;
    if (state == 0) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        state = static_cast<uint64_t>(now.QuadPart) ^ (uint64_t{GetCurrentProcessId()} << 32);
    }
    state += 0x9E3779B97F4A7C15ull;  // splitmix64
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string letters;
    for (int i = 0; i < 6; i++, z /= 62) letters += kLetters[z % 62];
    return letters;
}

}  // namespace

int pathType(const std::string& path, bool follow, PathType* type, int64_t* size) {
    *type = kPathMissing;
    std::wstring wide;
    if (!widen(path, &wide)) return EINVAL;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return errnoOf(GetLastError());
    DWORD attributes = data.dwFileAttributes;
    uint64_t bytes = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    if (follow && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // A symbolic link or junction: what it leads to.
        const HANDLE handle = openHandle(wide, 0, FILE_FLAG_BACKUP_SEMANTICS);
        if (handle == INVALID_HANDLE_VALUE) return errnoOf(GetLastError());
        BY_HANDLE_FILE_INFORMATION info;
        const bool ok = GetFileInformationByHandle(handle, &info) != 0;
        const DWORD error = GetLastError();
        CloseHandle(handle);
        if (!ok) return errnoOf(error);
        attributes = info.dwFileAttributes;
        bytes = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    }
    *type = typeOf(attributes);
    if (size != nullptr) *size = static_cast<int64_t>(bytes);
    return 0;
}

int openFile(const std::string& path, OpenMode mode, int* error) {
    std::wstring wide;
    if (!widen(path, &wide)) {
        *error = EINVAL;
        return -1;
    }
    if (mode == kOpenUpdate) {
        // An output written in place while the run goes on: opened so that
        // the interrupt handler can still delete it (FILE_SHARE_DELETE; the
        // C runtime's _wopen does not share deletion), the handle not
        // inherited.
        const HANDLE handle =
            CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            *error = errnoOf(GetLastError());
            return -1;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
        if (fd < 0) {
            *error = errno;
            CloseHandle(handle);
        }
        return fd;
    }
    const int flags = mode == kOpenRead ? _O_RDONLY | _O_BINARY | _O_NOINHERIT
                                        : _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT;
    const int fd = _wopen(wide.c_str(), flags, _S_IREAD | _S_IWRITE);
    if (fd < 0) *error = errno;
    return fd;
}

int writeAt(int fd, const void* data, std::size_t bytes, int64_t offset) {
    if (_lseeki64(fd, offset, SEEK_SET) != offset) return errno;
    const char* next = static_cast<const char*>(data);
    while (bytes > 0) {
        const unsigned piece = bytes > (1u << 30) ? 1u << 30 : static_cast<unsigned>(bytes);
        const int written = _write(fd, next, piece);
        if (written <= 0) return written < 0 ? errno : EIO;
        next += written;
        bytes -= static_cast<std::size_t>(written);
    }
    return 0;
}

int resizeFile(int fd, int64_t length) { return _chsize_s(fd, length); }

void dropMappedPages(const void*, std::size_t) {}

void closeFile(int fd) { _close(fd); }

int createUniqueFile(const std::string& prefix, const std::string& suffix, std::string* name) {
    for (int attempt = 0; attempt < 100; attempt++) {
        const std::string candidate = prefix + randomLetters() + suffix;
        std::wstring wide;
        if (!widen(candidate, &wide)) return EINVAL;
        const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
            return errnoOf(error);
        }
        CloseHandle(handle);
        *name = candidate;
        return 0;
    }
    return EEXIST;
}

int replaceFile(const std::string& from, const std::string& to) {
    std::wstring wideFrom, wideTo;
    if (!widen(from, &wideFrom) || !widen(to, &wideTo)) return EINVAL;
    if (MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    return errnoOf(GetLastError());
}

bool removeFile(const char* path) {
    // The UTF-16 name in a buffer of the longest length Windows allows, on
    // the stack: no allocation, as an interrupt handler needs.
    wchar_t wide[32768];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, 32768) <= 0) return false;
    return DeleteFileW(wide) != 0;
}

bool flushFileToDisk(const std::string& path) {
    std::wstring wide;
    if (!widen(path, &wide)) return false;
    const HANDLE handle = openHandle(wide, GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool ok = FlushFileBuffers(handle) != 0;
    return CloseHandle(handle) != 0 && ok;
}

int freeDiskBytes(const std::string& folder, int64_t* bytes) {
    std::wstring wide;
    if (!widen(folder, &wide)) return EINVAL;
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr)) return errnoOf(GetLastError());
    *bytes = available.QuadPart > static_cast<ULONGLONG>(INT64_MAX) ? INT64_MAX
                                                                     : static_cast<int64_t>(available.QuadPart);
    return 0;
}

void* mapFile(const std::string& path, std::size_t length) {
    std::wstring wide;
    if (length == 0 || !widen(path, &wide)) return nullptr;
    const HANDLE file = openHandle(wide, GENERIC_READ, FILE_ATTRIBUTE_NORMAL);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    LARGE_INTEGER bytes;
    HANDLE mapping = nullptr;
    if (GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &bytes) &&
        static_cast<uint64_t>(bytes.QuadPart) >= length)
        mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(file);
    if (mapping == nullptr) return nullptr;
    // The view keeps the mapping, and the mapping the file, open.
    void* base = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, length);
    CloseHandle(mapping);
    return base;
}

void unmapFile(void* base, std::size_t) { UnmapViewOfFile(base); }

bool isTerminal(std::FILE* stream) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

namespace {

UINT gConsoleCodePage = 0;

void restoreConsole() { SetConsoleOutputCP(gConsoleCodePage); }

}  // namespace

void prepareConsole() {
    DWORD mode;
    if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) && !GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode))
        return;
    const UINT codePage = GetConsoleOutputCP();
    if (codePage == 0 || codePage == CP_UTF8 || gConsoleCodePage != 0) return;
    if (SetConsoleOutputCP(CP_UTF8)) {
        gConsoleCodePage = codePage;
        std::atexit(restoreConsole);
    }
}

int64_t peakResidentBytes(const char** measure) {
    *measure = "PeakWorkingSetSize";
    PROCESS_MEMORY_COUNTERS counters;
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
    return static_cast<int64_t>(counters.PeakWorkingSetSize);
}

std::size_t fileNameStart(const std::string& path) {
    const std::size_t separator = path.find_last_of("/\\");
    std::size_t start = separator == std::string::npos ? 0 : separator + 1;
    // "C:name" is name in drive C's current folder.
    if (start == 0 && path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')))
        start = 2;
    return start;
}

namespace {

void (*gCleanup)() = nullptr;
SRWLOCK gHeld = SRWLOCK_INIT;  // held by holdInterrupts

BOOL WINAPI onControl(DWORD) {
    AcquireSRWLockExclusive(&gHeld);
    gCleanup();
    ReleaseSRWLockExclusive(&gHeld);
    return FALSE;  // the next handler, the system's, ends the process
}

}  // namespace

void holdInterrupts() { AcquireSRWLockExclusive(&gHeld); }

void releaseInterrupts() { ReleaseSRWLockExclusive(&gHeld); }

void onInterrupt(void (*cleanup)()) {
    if (gCleanup != nullptr) return;
    gCleanup = cleanup;
    SetConsoleCtrlHandler(onControl, TRUE);
}

}  // namespace tamrin
