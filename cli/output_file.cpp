// SPDX-License-Identifier: BSD-3-Clause
// Temporary outputs: creation beside the target, rename into place, and
// removal when the process is interrupted before it could finish.
#include "output_file.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "file_layer.h"

namespace tamrin {
namespace {

// Names of the temporaries that exist now, for the signal handler. Slots are
// fixed character arrays so that the handler needs no allocation.
constexpr int kSlots = 8;  // four outputs, and a staging file for each image
constexpr std::size_t kNameBytes = 4096;
char gNames[kSlots][kNameBytes];
std::atomic<bool> gUsed[kSlots];

void removeAll() {
    for (int i = 0; i < kSlots; i++)
        if (gUsed[i].load()) removeFile(gNames[i]);
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

// Extension kept on the temporary: what the file library looks at (and the
// run's report, a .json).
std::string extensionOf(const std::string& name) {
    for (const char* ext : {".nii.gz", ".nii", ".json"}) {
        const std::size_t n = std::strlen(ext);
        if (name.size() >= n && name.compare(name.size() - n, n, ext) == 0) return ext;
    }
    return "";
}

}  // namespace

std::string folderOf(const std::string& path) {
    const std::size_t start = fileNameStart(path);
    if (start == 0) return ".";
    // The separator goes, unless the folder is a root ("/", or "C:\" on
    // Windows) or a drive ("C:").
    const std::string folder = path.substr(0, start - 1);
    const bool root = folder.empty() || path[start - 1] == ':' || (folder.size() == 2 && fileNameStart(folder) == 2);
    return root ? path.substr(0, start) : folder;
}

bool createTemporary(const std::string& target, std::string* temporary, std::string* error) {
    onInterrupt(removeAll);
    const std::size_t start = fileNameStart(target);
    const std::string folder = target.substr(0, start), base = target.substr(start);
    // An interruption between making the file and recording its name would
    // leave it behind: it waits until the name is recorded.
    holdInterrupts();
    const int failure = createUniqueFile(folder + ".tmp-", "-" + base, temporary);
    const bool recorded = failure == 0 && !extensionOf(target).empty() && remember(*temporary);
    if (failure == 0 && !recorded) removeFile(temporary->c_str());
    releaseInterrupts();
    if (failure != 0) {
        *error = "cannot write " + target + ": " + std::strerror(failure) + " (in folder " + folderOf(target) + ")";
        return false;
    }
    if (!recorded) {
        *error = "cannot write " + target + ": name too long or not ending in .nii, .nii.gz or .json";
        return false;
    }
    return true;
}

bool renameTemporary(const std::string& temporary, const std::string& target, std::string* error) {
    if (const int failure = replaceFile(temporary, target)) {
        *error = "cannot write " + target + ": " + std::strerror(failure);
        removeTemporary(temporary);
        return false;
    }
    forget(temporary);
    return true;
}

void removeTemporary(const std::string& temporary) {
    removeFile(temporary.c_str());
    forget(temporary);
}

PendingOutputs::~PendingOutputs() {
    for (const std::string& name : temporaries)
        if (!name.empty()) removeTemporary(name);
}

bool prepareOutputs(const std::vector<std::string>& targets, bool force, PendingOutputs* outputs, std::string* error) {
    for (const std::string& target : targets) {
        PathType type;
        if (pathType(target, true, &type) == 0 && type == kPathFolder) {
            *error = target + ": is a folder; expected a " +
                     (extensionOf(target) == ".json" ? ".json" : ".nii or .nii.gz") + " file name";
            return false;
        }
        if (pathType(target, false, &type) == 0 && !force) {
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
        PathType type;
        if (pathType(target, true, &type) == 0 && type == kPathFolder) continue;
        removeFile(target.c_str());
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
