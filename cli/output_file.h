// Outputs that appear whole or not at all: each is written under a temporary
// name in its target folder and renamed over the target once complete.
#pragma once

#include <string>

namespace tamrin {

// Creates an empty file beside `target` with a fresh name that keeps the
// target's extension, e.g. "results/.tmp-Xa81Kc-out.nii.gz" for
// "results/out.nii.gz", with the permissions a new file would get. It is
// removed by removeTemporary, by renameTemporary, or when the process is
// interrupted (SIGINT, SIGTERM, SIGHUP). Fails with a message naming the
// folder when the folder is missing or not writable.
bool createTemporary(const std::string& target, std::string* temporary, std::string* error);

// Renames the temporary over the target (replacing an existing file).
bool renameTemporary(const std::string& temporary, const std::string& target, std::string* error);

// Removes a temporary that will not be used.
void removeTemporary(const std::string& temporary);

// Folder part of a path ("." when there is none).
std::string folderOf(const std::string& path);

}  // namespace tamrin
