// Checks of the files the program is given, made before any work starts so
// that a wrong path is one clear line naming the option, not a late failure
// deep inside a task (or a read that waits for ever on a pipe).
#pragma once

#include <string>

namespace tool {

// The path must name a regular file that can be opened for reading: not a
// folder, a pipe or a device, not a path through a file. Throws cli::RunError
// "OPTION: ..." naming the path and the reason.
void requireFile(const std::string& option, const std::string& path);

// The same, except that a path that does not exist is let through, to be
// reported by the reader that opens it.
void requireFileIfPresent(const std::string& option, const std::string& path);

// A file of motion parameters: an SDM or an MDM (by its extension) that reads
// as one.
void requireMotionFile(const std::string& option, const std::string& path);

// An FMR document: readable, and its header gives the run's size (the
// "NrOfVolumes:", "NrOfSlices:", "ResolutionX:" and "ResolutionY:" lines).
void requireRunDocument(const std::string& option, const std::string& path);

// The path must name a folder that is there. Throws cli::RunError "OPTION: ...".
void requireFolder(const std::string& option, const std::string& path);

// A file the command will write: the path (at most 511 bytes) must not name a
// folder, a pipe or a device, nor lead through a file. Missing folders on the
// way are let through when the command creates them (createsFolders), else
// the folder the file goes into must exist. Throws cli::RunError "OPTION: ...".
void requireOutputFile(const std::string& option, const std::string& path, bool createsFolders);

// A folder the command will write into, created when missing: the path (at
// most 511 bytes) must not name a file, nor lead through one.
void requireOutputFolder(const std::string& option, const std::string& path);

} // namespace tool
