// The exceptions of the document readers and writers. Each carries only its
// message; catching IOError (or std::runtime_error) catches all of them.
#pragma once

#include <stdexcept>
#include <string>

// A file could not be read or written.
class IOError : public std::runtime_error {
public:
    explicit IOError(const std::string& message) : std::runtime_error(message) {}
    explicit IOError(const char* message) : std::runtime_error(message) {}
};

// A file could not be opened for reading ("Failed opening for reading: " + path).
class OpenFileError : public IOError {
public:
    explicit OpenFileError(const std::string& message) : IOError(message) {}
    explicit OpenFileError(const char* message) : IOError(message) {}
};

// A file could not be created or written ("Cannot Create file: " + path).
class WriteFileError : public IOError {
public:
    explicit WriteFileError(const std::string& message) : IOError(message) {}
    explicit WriteFileError(const char* message) : IOError(message) {}
};
