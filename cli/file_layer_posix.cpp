// The file layer on POSIX systems: stat, open, mkstemps, rename, fsync, mmap,
// isatty and signals.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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
    const int fd = mode == kOpenRead ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC)
                                     : ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) *error = errno;
    return fd;
}

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

void* mapFile(const std::string& path, std::size_t length) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info;
    void* base = MAP_FAILED;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) >= length)
        base = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    ::close(fd);
    return base == MAP_FAILED ? nullptr : base;
}

void unmapFile(void* base, std::size_t length) { ::munmap(base, length); }

bool isTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

void prepareConsole() {}

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

}  // namespace

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
