// A small tmpfs of its own for the tests of failed saves: filled up it gives
// a real "no space left" while writing; remounted read-only, a folder in
// which no file can be created (permission bits do not stop root).
#pragma once

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "testing.h"

class TmpfsMount {
public:
    explicit TmpfsMount(const std::string& name, const std::string& size = "64k")
        : dir_(support::tempDir(name))
    {
        if (::mount("tmpfs", dir_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0)
            mounted_ = true;
        else
            reason_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    }
    ~TmpfsMount()
    {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    }
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& reason() const { return reason_; }
    const std::filesystem::path& dir() const { return dir_; }
    bool makeReadOnly()
    {
        if (::mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0) return true;
        reason_ = std::string("cannot remount read-only: ") + std::strerror(errno);
        return false;
    }

private:
    std::filesystem::path dir_;
    bool mounted_ = false;
    std::string reason_;
};
