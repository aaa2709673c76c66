// Temporary outputs: creation beside the target, rename into place, and
// removal when the process is interrupted before it could finish.
#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tamrin {
namespace {

// Names of the temporaries that exist now, for the signal handler. Slots are
// fixed character arrays so that the handler needs no allocation.
constexpr int kSlots = 4;
constexpr std::size_t kNameBytes = 4096;
char gNames[kSlots][kNameBytes];
std::atomic<bool> gUsed[kSlots];

void onSignal(int signal) {
    for (int i = 0; i < kSlots; i++)
        if (gUsed[i].load()) ::unlink(gNames[i]);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void installHandlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
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

bool remember(const std::string& name) {
    if (name.size() >= kNameBytes) return false;
    for (int i = 0; i < kSlots; i++)
        if (!gUsed[i].load()) {
            std::memcpy(gNames[i], name.c_str(), name.size() + 1);
            gUsed[i].store(true);
            return true;
        }
    return false;
}

void forget(const std::string& name) {
    for (int i = 0; i < kSlots; i++)
        if (gUsed[i].load() && name == gNames[i]) gUsed[i].store(false);
}

// Extension kept on the temporary: what the file library looks at.
std::string extensionOf(const std::string& name) {
    for (const char* ext : {".nii.gz", ".nii"}) {
        const std::size_t n = std::strlen(ext);
        if (name.size() >= n && name.compare(name.size() - n, n, ext) == 0) return ext;
    }
    return "";
}

}  // namespace

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool createTemporary(const std::string& target, std::string* temporary, std::string* error) {
    installHandlers();
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::string suffix = "-" + base;
    std::vector<char> name(folder.begin(), folder.end());
    for (char c : std::string(".tmp-XXXXXX") + suffix) name.push_back(c);
    name.push_back('\0');

    const int fd = ::mkstemps(name.data(), static_cast<int>(suffix.size()));
    if (fd < 0) {
        *error = "cannot write " + target + ": " + std::strerror(errno) + " (in folder " + folderOf(target) + ")";
        return false;
    }
    // mkstemps creates the file readable by its owner only; give it the mode
    // an ordinary new file gets.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    ::close(fd);
    *temporary = name.data();
    if (extensionOf(target).empty() || !remember(*temporary)) {
        ::unlink(name.data());
        *error = "cannot write " + target + ": name too long or not ending in .nii or .nii.gz";
        return false;
    }
    return true;
}

bool renameTemporary(const std::string& temporary, const std::string& target, std::string* error) {
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        *error = "cannot write " + target + ": " + std::strerror(errno);
        removeTemporary(temporary);
        return false;
    }
    forget(temporary);
    return true;
}

void removeTemporary(const std::string& temporary) {
    ::unlink(temporary.c_str());
    forget(temporary);
}

PendingOutputs::~PendingOutputs() {
    for (const std::string& name : temporaries)
        if (!name.empty()) removeTemporary(name);
}

bool prepareOutputs(const std::vector<std::string>& targets, bool force, PendingOutputs* outputs, std::string* error) {
    for (const std::string& target : targets) {
        struct stat info;
        if (::stat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            *error = target + ": is a folder; expected a .nii or .nii.gz file name";
            return false;
        }
        if (::lstat(target.c_str(), &info) == 0 && !force) {
            *error = target + ": already exists (add --force to replace it)";
            return false;
        }
    }
    for (const std::string& target : targets) {
        outputs->targets.push_back(target);
        outputs->temporaries.emplace_back();
        if (!createTemporary(target, &outputs->temporaries.back(), error)) return false;
    }
    return true;
}

void removeReplacedTargets(const PendingOutputs& outputs) {
    for (const std::string& target : outputs.targets) {
        struct stat info;
        if (::stat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
        ::unlink(target.c_str());
    }
}

bool commitOutputs(PendingOutputs* outputs, std::string* error) {
    for (std::size_t i = 0; i < outputs->targets.size(); i++) {
        if (!renameTemporary(outputs->temporaries[i], outputs->targets[i], error)) return false;
        outputs->temporaries[i].clear();
    }
    return true;
}

}  // namespace tamrin
