// SPDX-License-Identifier: BSD-3-Clause
// Outputs that appear whole or not at all: each is written under a temporary
// name in its target folder and renamed over the target once complete.
// Targets are NIfTI files (.nii, .nii.gz) and the run's report (.json).
#pragma once

#include <string>
#include <vector>

namespace tamrin {

// Creates an empty file beside `target` with a fresh name that keeps the
// target's extension, e.g. "results/.tmp-Xa81Kc-out.nii.gz" for
// "results/out.nii.gz", with the permissions a new file would get. It is
// removed by removeTemporary, by renameTemporary, or when the process is
// interrupted (see onInterrupt). Fails with a message naming the
// folder when the folder is missing or not writable.
bool createTemporary(const std::string& target, std::string* temporary, std::string* error);

// Renames the temporary over the target (replacing an existing file).
bool renameTemporary(const std::string& temporary, const std::string& target, std::string* error);

// Removes a temporary that will not be used.
void removeTemporary(const std::string& temporary);

// The outputs of one run: every target checked before any work, written
// under a temporary name beside it, and all renamed into place together once
// complete. Temporaries still present when the object goes are removed.
struct PendingOutputs {
    std::vector<std::string> targets;
    std::vector<std::string> temporaries;  // temporaries[i] for targets[i]; empty once renamed
    PendingOutputs() = default;
    PendingOutputs(const PendingOutputs&) = delete;
    PendingOutputs& operator=(const PendingOutputs&) = delete;
    ~PendingOutputs();
};

// Checks each target (not a folder, absent unless `force`) and creates its
// temporary. False with a message naming the file otherwise.
bool prepareOutputs(const std::vector<std::string>& targets, bool force, PendingOutputs* outputs, std::string* error);

// Removes the existing files that the outputs replace, so that their disk
// space and cached pages serve the new files.
void removeReplacedTargets(const PendingOutputs& outputs);

// Renames every temporary over its target.
bool commitOutputs(PendingOutputs* outputs, std::string* error);

// Folder part of a path ("." when there is none).
std::string folderOf(const std::string& path);

}  // namespace tamrin
