// Replacing a file so that readers see either the old content or the complete new content.
//
// A regular file, or a name that does not exist yet, is replaced atomically: the content goes
// to a new temporary file in the same folder (NAME.tmp-PID-N, another N when that exists, NAME
// shortened to keep it within 255 bytes), written, synced and given the old file's permissions
// through the descriptor that created it, then renamed over the target; the folder is synced
// after the rename, so a save reported as done survives a power loss. At every moment a reader
// of the target sees the old file or the whole new one; on any failure the temporary file is
// removed and the target keeps its old content. A temporary file swapped for another (a link)
// during the save is never written through, and fails the save. A symbolic link is followed,
// a dangling one creates the file it names, and a loop of links fails the save. A target that
// exists and is not a regular file (a device, a pipe) cannot be renamed over and is written in
// place. Where the target is a new file by intent (a report's outputs), `NewFile` replaces a link
// or any other entry of that name itself, never what it leads to.
//
// A save holds an advisory lock (flock) on its temporary file until the rename; a later save of
// the same target removes the temporary files of earlier saves whose writer is gone (killed),
// which it tells by that lock being free and the PID in the name being no running process.
#pragma once

#include <functional>
#include <ostream>
#include <string>

// Writes the file through `write`, which reports failure by filling its message argument.
// `write` receives a binary output stream, already failed if the temporary file could not be
// created. Returns true on success. On failure returns false and sets *errorMessage (if given)
// to the message of `write`, or to finalStageMessage when `write` succeeded but its data could
// not reach the disk (flush, sync or rename failed): the caller's message for the last stage
// of its format. A failure with a system cause (the disk is full, the folder is missing) is also
// written on standard error, one line with the file's name, the step and the system's error text.
enum class SaveTarget { FollowLinks, NewFile };
bool WriteFileAtomically(const std::string& fileName,
                         const std::function<void(std::ostream&, std::string*)>& write,
                         const std::string& finalStageMessage, std::string* errorMessage,
                         SaveTarget target = SaveTarget::FollowLinks);
