// Replacing a file so that readers see either the old content or the complete new content.
//
// A regular file, or a name that does not exist yet, is replaced atomically: the content goes
// to a temporary file in the same folder, which is flushed, synced and then renamed over the
// target. At every moment a reader of the target sees the old file or the whole new one; on
// any failure the temporary file is removed and the target keeps its old content. A target
// that exists and is not a regular file (a device, a pipe) cannot be renamed over and is
// written in place. A symbolic link is followed and the file it names is replaced.
#pragma once

#include <functional>
#include <ostream>
#include <string>

// Writes the file through `write`, which reports failure by filling its message argument.
// `write` receives a binary output stream, already failed if the temporary file could not be
// created. Returns true on success. On failure returns false and sets *errorMessage (if given)
// to the message of `write`, or to finalStageMessage when `write` succeeded but its data could
// not reach the disk (flush, sync or rename failed): the caller's message for the last stage
// of its format.
bool WriteFileAtomically(const std::string& fileName,
                         const std::function<void(std::ostream&, std::string*)>& write,
                         const std::string& finalStageMessage, std::string* errorMessage);
