// SPDX-License-Identifier: BSD-3-Clause
// probeMemoryLimits: reads what bounds this process's memory on Linux, from
// /proc and the cgroup file systems (found through /proc/self/mountinfo,
// so that a cgroup namespace or a container's mount is followed) and from
// getrlimit. Elsewhere the limits are unknown.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "memory_check.h"

#if defined(__linux__)
#include <sys/resource.h>
#endif

namespace tamrin {

#if defined(__linux__)
namespace {

// Whole text of a (small) file; false when it cannot be read.
bool readText(const std::string& path, std::string* text) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return false;
    text->clear();
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, got);
    std::fclose(file);
    return true;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> wordsOf(const std::string& line) {
    std::vector<std::string> words;
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && blank(line[at])) at++;
        const std::size_t start = at;
        while (at < line.size() && !blank(line[at])) at++;
        if (at > start) words.push_back(line.substr(start, at - start));
    }
    return words;
}

// A non-negative decimal number filling `word`; -1 otherwise.
int64_t numberOf(const std::string& word) {
    if (word.empty() || word.size() > 19) return -1;
    int64_t value = 0;
    for (char c : word) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The value of "name: value [kB]" (meminfo, status) or "name value" (a
// cgroup's memory.stat) in a file, in bytes when it says kB; -1 when absent.
int64_t fieldOf(const std::string& path, const char* name) {
    std::string text;
    if (!readText(path, &text)) return -1;
    const std::size_t length = std::strlen(name);
    for (const std::string& line : linesOf(text)) {
        if (line.compare(0, length, name) != 0 || line.size() <= length) continue;
        if (line[length] != ':' && line[length] != ' ') continue;
        const std::vector<std::string> words = wordsOf(line.substr(length + 1));
        if (words.empty()) return -1;
        const int64_t value = numberOf(words[0]);
        return value >= 0 && words.size() > 1 && words[1] == "kB" ? value * 1024 : value;
    }
    return -1;
}

// A file holding one number ("max" and other words give -1).
int64_t valueOf(const std::string& path) {
    std::string text;
    if (!readText(path, &text)) return -1;
    const std::vector<std::string> words = wordsOf(text.substr(0, text.find('\n')));
    return words.empty() ? -1 : numberOf(words[0]);
}

// Where this process's memory cgroup lies: the folder of its cgroup in the
// mounted hierarchy, the mount point (the walk upwards stops there), its
// name as /proc/self/cgroup gives it, and the hierarchy's version.
struct CgroupPlace {
    std::string folder, mountPoint, name;
    bool version2 = false;
};

// Finds the memory controller's hierarchy: the v1 hierarchy that has it,
// else the unified (v2) one. False when neither is mounted where the
// process's cgroup is visible.
bool findCgroup(const std::string& root, CgroupPlace* place) {
    std::string cgroups, mounts;
    if (!readText(root + "/proc/self/cgroup", &cgroups) || !readText(root + "/proc/self/mountinfo", &mounts))
        return false;
    std::string v1Path, v2Path;
    bool haveV1 = false, haveV2 = false;
    for (const std::string& line : linesOf(cgroups)) {
        // hierarchy-id:controllers:path
        const std::size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
        if (line.compare(0, first, "0") == 0 && second == first + 1) {
            v2Path = line.substr(second + 1);
            haveV2 = true;
        } else if (controllers.find(",memory,") != std::string::npos) {
            v1Path = line.substr(second + 1);
            haveV1 = true;
        }
    }
    for (int pass = 0; pass < 2; pass++) {
        const bool version2 = pass == 1;
        if (version2 ? !haveV2 : !haveV1) continue;
        const std::string& path = version2 ? v2Path : v1Path;
        for (const std::string& line : linesOf(mounts)) {
            // id parent major:minor root mount-point options [optional...] - type source super-options
            const std::vector<std::string> words = wordsOf(line);
            std::size_t dash = 0;
            while (dash < words.size() && words[dash] != "-") dash++;
            if (dash < 5 || dash + 3 > words.size()) continue;
            const std::string& type = words[dash + 1];
            const std::string options = "," + (dash + 3 < words.size() ? words[dash + 3] : "") + ",";
            if (version2 ? type != "cgroup2" : (type != "cgroup" || options.find(",memory,") == std::string::npos))
                continue;
            // The mount shows the hierarchy from its root down: the cgroup
            // must lie there to be seen.
            std::string mountRoot = words[3];
            if (mountRoot == "/") mountRoot.clear();
            if (path.compare(0, mountRoot.size(), mountRoot) != 0) continue;
            const std::string below = path.substr(mountRoot.size());
            if (!below.empty() && below[0] != '/') continue;
            place->mountPoint = root + words[4];
            place->folder = place->mountPoint + (below == "/" ? "" : below);
            place->name = path;
            place->version2 = version2;
            return true;
        }
    }
    return false;
}

// The smallest room left by the memory limits of the cgroup and of each
// one above it: limit less what is charged, inactive file pages (page
// cache the kernel drops before it fails a charge) left out.
void probeCgroup(const std::string& root, MemoryLimit* out) {
    CgroupPlace place;
    if (!findCgroup(root, &place)) return;
    std::string folder = place.folder, name = place.name;
    for (;;) {
        const int64_t limit = place.version2 ? valueOf(folder + "/memory.max") : valueOf(folder + "/memory.limit_in_bytes");
        const int64_t charged =
            place.version2 ? valueOf(folder + "/memory.current") : valueOf(folder + "/memory.usage_in_bytes");
        // v1 reports "no limit" as the largest page count in bytes.
        if (limit >= 0 && limit < (int64_t{1} << 62) && charged >= 0) {
            int64_t inactive = fieldOf(folder + "/memory.stat", place.version2 ? "inactive_file" : "total_inactive_file");
            if (inactive < 0) inactive = 0;
            const int64_t used = charged > inactive ? charged - inactive : 0;
            const int64_t room = limit > used ? limit - used : 0;
            if (!out->applies || room < out->room) {
                out->applies = true;
                out->room = room;
                out->limit = limit;
                out->used = used;
                std::snprintf(out->where, sizeof out->where, "%s", name.empty() ? "/" : name.c_str());
            }
        }
        if (folder.size() <= place.mountPoint.size()) break;
        folder = folder.substr(0, folder.rfind('/'));
        const std::size_t cut = name.rfind('/');
        name = cut == std::string::npos ? "" : name.substr(0, cut);
    }
}

// A resource limit less what already counts against it.
void probeRlimit(int64_t limit, int64_t used, MemoryLimit* out) {
    if (limit < 0) return;
    if (used < 0) used = 0;
    out->applies = true;
    out->limit = limit;
    out->used = used;
    out->room = limit > used ? limit - used : 0;
}

int64_t softLimit(int resource) {
    struct rlimit value;
    if (::getrlimit(resource, &value) != 0 || value.rlim_cur == RLIM_INFINITY) return -1;
    return value.rlim_cur > static_cast<rlim_t>(INT64_MAX) ? -1 : static_cast<int64_t>(value.rlim_cur);
}

}  // namespace

MemoryLimits probeMemoryLimits(const MemoryProbeSource& source) {
    MemoryLimits limits;
    limits.probed = true;
    const std::string root = source.root != nullptr ? source.root : "";

    const int64_t available = fieldOf(root + "/proc/meminfo", "MemAvailable");
    if (available >= 0) {
        MemoryLimit& a = limits.limit[kLimitAvailable];
        a.applies = true;
        a.room = a.limit = available;
    }
    probeCgroup(root, &limits.limit[kLimitCgroup]);

    const std::string status = root + "/proc/self/status";
    const int64_t data = source.rlimitsGiven ? source.data : softLimit(RLIMIT_DATA);
    const int64_t addressSpace = source.rlimitsGiven ? source.addressSpace : softLimit(RLIMIT_AS);
    probeRlimit(data, data >= 0 ? fieldOf(status, "VmData") : 0, &limits.limit[kLimitData]);
    probeRlimit(addressSpace, addressSpace >= 0 ? fieldOf(status, "VmSize") : 0, &limits.limit[kLimitAddressSpace]);
    return limits;
}

#else

MemoryLimits probeMemoryLimits(const MemoryProbeSource&) { return MemoryLimits(); }

#endif

MemoryLimits probeMemoryLimits() { return probeMemoryLimits(MemoryProbeSource()); }

bool memoryCheckDisabled() {
    const char* value = std::getenv("TAMRIN_NO_MEMORY_CHECK");
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

}  // namespace tamrin
