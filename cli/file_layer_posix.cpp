// SPDX-License-Identifier: BSD-3-Clause
// The file layer on POSIX systems: stat, open, mkstemps, rename, fsync, mmap,
// isatty, signals and getrusage.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "file_layer.h"

namespace tamrin {

int pathType(const std::string& path, bool follow, PathType* type, int64_t* size) {
    struct stat info;
    if ((follow ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info)) != 0) {
        *type = kPathMissing;
        return errno;
    }
    *type = S_ISREG(info.st_mode) ? kPathFile : S_ISDIR(info.st_mode) ? kPathFolder : kPathOther;
    if (size != nullptr) *size = static_cast<int64_t>(info.st_size);
    return 0;
}

int openFile(const std::string& path, OpenMode mode, int* error) {
    const int flags = mode == kOpenRead    ? O_RDONLY | O_CLOEXEC
                      : mode == kOpenWrite ? O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC
                                           : O_WRONLY | O_CLOEXEC;
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) *error = errno;
    return fd;
}

int writeAt(int fd, const void* data, std::size_t bytes, int64_t offset) {
    const char* next = static_cast<const char*>(data);
    while (bytes > 0) {
        const ssize_t written = ::pwrite(fd, next, bytes, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return written < 0 ? errno : EIO;
        next += written;
        offset += written;
        bytes -= static_cast<std::size_t>(written);
    }
    return 0;
}

int resizeFile(int fd, int64_t length) { return ::ftruncate(fd, static_cast<off_t>(length)) == 0 ? 0 : errno; }

void closeFile(int fd) { ::close(fd); }

int createUniqueFile(const std::string& prefix, const std::string& suffix, std::string* name) {
    std::vector<char> pattern(prefix.begin(), prefix.end());
    for (char c : "XXXXXX" + suffix) pattern.push_back(c);
    pattern.push_back('\0');
    const int fd = ::mkstemps(pattern.data(), static_cast<int>(suffix.size()));
    if (fd < 0) return errno;
    // mkstemps creates the file readable by its owner only; give it the mode
    // an ordinary new file gets.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    ::close(fd);
    *name = pattern.data();
    return 0;
}

int replaceFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

bool removeFile(const char* path) { return ::unlink(path) == 0; }

bool flushFileToDisk(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

int freeDiskBytes(const std::string& folder, int64_t* bytes) {
    struct statvfs info;
    if (::statvfs(folder.c_str(), &info) != 0) return errno;
    const uint64_t available = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
    *bytes = available > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(available);
    return 0;
}

void* mapFile(const std::string& path, std::size_t length) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info;
    void* base = MAP_FAILED;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) >= length)
        base = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    return base == MAP_FAILED ? nullptr : base;
}

void unmapFile(void* base, std::size_t length) { ::munmap(base, length); }

void dropMappedPages(const void* start, std::size_t bytes) {
    const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t from = (reinterpret_cast<uintptr_t>(start) + page - 1) / page * page;
    const uintptr_t to = (reinterpret_cast<uintptr_t>(start) + bytes) / page * page;
    if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
}

bool isTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

void prepareConsole() {}

int64_t peakResidentBytes(const char** measure) {
    *measure = "ru_maxrss";
    struct rusage usage;
    if (::getrusage(RUSAGE_SELF, &usage) != 0) return -1;
#if defined(__APPLE__)
    return static_cast<int64_t>(usage.ru_maxrss);  // bytes there
#else
    return static_cast<int64_t>(usage.ru_maxrss) * 1024;  // KiB on Linux and the BSDs
#endif
}

std::size_t fileNameStart(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

namespace {

void (*gCleanup)() = nullptr;

void onSignal(int signal) {
    gCleanup();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

sigset_t interrupts() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signal);
    return set;
}

}  // namespace

void holdInterrupts() {
    const sigset_t set = interrupts();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void releaseInterrupts() {
    const sigset_t set = interrupts();
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void onInterrupt(void (*cleanup)()) {
    if (gCleanup != nullptr) return;
    gCleanup = cleanup;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal the command was started with ignored (SIGINT and SIGHUP
        // of a job in the background of a script) stays ignored.
        struct sigaction previous;
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        struct sigaction action;
        std::memset(&action, 0, sizeof(action));
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

}  // namespace tamrin
