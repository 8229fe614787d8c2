// Replacing a file so that readers see either the old content or the complete new content.
#pragma once

#include <functional>
#include <ostream>
#include <string>

// Writes a file through `write`, which reports failure by filling *errorMessage.
//
// A regular file, or a name that does not exist yet, is replaced atomically: the content goes
// to a temporary file in the same folder, which is flushed, synced and then renamed over the
// target. On any failure the temporary file is removed and the target keeps its old content.
// A target that exists and is not a regular file (a device, a pipe) cannot be renamed over
// and is written in place. A symbolic link is followed and the file it names is replaced.
//
// `write` receives a binary output stream, already failed if the file could not be created,
// and must set *errorMessage on failure. If it succeeded but the data cannot reach the disk,
// *errorMessage is set to `lastStageMessage`, the message of the write's final stage.
// Returns true on success.
bool WriteFileAtomically(const std::string& fileName,
                         const std::function<void(std::ostream&, std::string*)>& write,
                         const std::string& lastStageMessage, std::string* errorMessage);
