// Saving a file without ever destroying the old one: the text goes to a
// temporary file in the target's folder, which replaces the target (by a
// rename) only once all of it was written, flushed to the disk and closed.
// A full disk or an I/O error is reported, never taken for success, and
// leaves the old file and no temporary file behind.
#pragma once

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>

#include "ioerror.h"

// Writes the target path through write(stream) and replaces it atomically.
// Failures throw WriteFileError: when the file cannot be created at all (no
// such folder, not writable, a folder of that name) its message is exactly
// cannotCreateMessage; when writing, flushing, closing or replacing fails
// afterwards it is cannotCreateMessage followed by " (writing failed: " and
// the reason ")". An exception thrown by write itself leaves the old file and
// propagates. The bytes are written as they are (no line-end translation), so
// binary data can be saved the same way.
// Whether a finished file is flushed to the disk: scratch data that live
// only as long as the process's job (a run's temporary slice data) are not,
// as the flush would cost the time of writing them through; a write or close
// that fails is still reported.
enum class Flush { ToDisk, Scratch };

void saveTextAtomically(const std::string& path, const std::function<void(std::ostream&)>& write,
                        const std::string& cannotCreateMessage, Flush flush = Flush::ToDisk);

// The same with the writers' usual message, "Cannot Create file: " and the path.
void saveTextAtomically(const std::string& path, const std::function<void(std::ostream&)>& write);

// One file being saved, for writers that save several files together (a run
// document and its slice data): the constructor opens a temporary file beside
// the target, write and finish put every byte on the disk, commit renames it
// over the target; destroyed before commit, it removes the temporary file.
// Errors are thrown as by saveTextAtomically. Saving through
// a symbolic link replaces the file it points to. A target that exists and is
// no regular file (a device, a pipe) is written into directly, never replaced:
// a pipe that nobody reads cannot be created.
class PendingFile {
public:
    PendingFile(const std::string& target, std::string cannotCreateMessage);
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile();

    void write(const void* data, std::size_t size);
    // Makes sure every byte reached the disk (some file systems report a full
    // disk only then) and closes the file.
    void finish(Flush flush = Flush::ToDisk);
    // Replaces the target by the finished file.
    void commit();

    // The open file, for writers that buffer themselves; they report a failed
    // write with fail(errno).
    int descriptor() const { return fd_; }
    [[noreturn]] void fail(int error) const;

private:
    std::string target_;
    std::string message_;
    std::string temporary_; // empty when the target is written directly
    int fd_ = -1;
    bool committed_ = false;
};
