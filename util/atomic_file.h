// Files replaced whole: a power cut or a kill at any moment leaves either the
// old contents or the new ones, never a truncated file.
#pragma once

#include <sys/types.h>

#include <string>

// Replaces the file at path with text: a temporary file "<path>.XXXXXX" in the
// same directory is written, flushed to disk, given mode, renamed over path,
// and the directory is flushed. False, with *error saying which step failed
// and the old file untouched, when the new text is not in place. True once the
// rename has happened, since from then on readers see the new file; a
// directory that could not be flushed is still true, with *error saying so
// (a power cut could then bring back the old file).
bool writeFileAtomically(const std::string& path, const std::string& text, mode_t mode,
                         std::string* error);

// Removes the temporary files that writeFileAtomically leaves behind when the
// process is killed between creating and renaming one: regular files of this
// user named "<path>.XXXXXX". Returns how many were removed.
int removeOrphanedTemporaries(const std::string& path);
