// Saving a file without ever destroying the old one: the text goes to a
// temporary file in the target's folder, which replaces the target (by a
// rename) only once all of it was written, flushed to the disk and closed.
// A full disk or an I/O error is reported, never taken for success, and
// leaves the old file and no temporary file behind.
#pragma once

#include <functional>
#include <ostream>
#include <string>

// The exception type a failed save throws.
enum class SaveErrorKind {
    RuntimeError,   // std::runtime_error (SDM, MDM, correlation table)
    WriteFileError, // WriteFileError (FMR document, slice data)
};

// Writes the target path through write(stream) and replaces it atomically.
// When the file cannot be created at all (no such folder, not writable, a
// folder of that name) the message is exactly cannotCreateMessage; when
// writing, flushing, closing or replacing fails afterwards it is
// cannotCreateMessage followed by " (writing failed: " and the reason ")".
// An exception thrown by write itself leaves the old file and propagates.
// The bytes are written as they are (no line-end translation), so binary
// data can be saved the same way.
void saveTextAtomically(const std::string& path, const std::function<void(std::ostream&)>& write,
                        SaveErrorKind kind, const std::string& cannotCreateMessage);

// The same with the writers' usual message, "Cannot Create file: " and the path.
void saveTextAtomically(const std::string& path, const std::function<void(std::ostream&)>& write,
                        SaveErrorKind kind = SaveErrorKind::RuntimeError);
