#include "atomicfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <streambuf>
#include <vector>

#include "stringmanipulation.h"

namespace {

// A stream buffer over a file descriptor that remembers the first write error
// (errno) instead of hiding it in a stream state that nobody checks.
class DescriptorBuffer : public std::streambuf {
public:
    explicit DescriptorBuffer(int fd) : fd_(fd), buffer_(1 << 16)
    {
        setp(buffer_.data(), buffer_.data() + buffer_.size());
    }
    int error() const { return error_; }

protected:
    int_type overflow(int_type c) override
    {
        if (!drain()) return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return drain() ? 0 : -1; }

private:
    bool drain()
    {
        if (error_ != 0) return false;
        const char* data = pbase();
        std::size_t left = static_cast<std::size_t>(pptr() - pbase());
        while (left > 0) {
            const ssize_t written = ::write(fd_, data, left);
            if (written < 0) {
                if (errno == EINTR) continue;
                error_ = errno;
                return false;
            }
            data += written;
            left -= static_cast<std::size_t>(written);
        }
        setp(buffer_.data(), buffer_.data() + buffer_.size());
        return true;
    }

    int fd_;
    std::vector<char> buffer_;
    int error_ = 0;
};

// A name beside the target that no other save of this process uses.
std::string temporaryName(const std::string& path)
{
    static std::atomic<unsigned> counter{0};
    return getPath(path) + "." + getFileName(path) + ".tmp" + std::to_string(::getpid()) + "-" +
           std::to_string(counter++);
}

} // namespace

PendingFile::PendingFile(const std::string& target, std::string cannotCreateMessage)
    : target_(target), message_(std::move(cannotCreateMessage))
{
    // Saving through a symbolic link replaces the file it points to, not the link.
    std::error_code ec;
    if (std::filesystem::is_symlink(target, ec)) {
        const auto resolved = std::filesystem::weakly_canonical(target, ec);
        if (!ec) target_ = resolved.string();
    }

    // What could not be opened for writing before stays "cannot create":
    // a folder of that name, or an existing file without write permission.
    struct stat existing {};
    const bool exists = ::stat(target_.c_str(), &existing) == 0;
    if (exists && (S_ISDIR(existing.st_mode) || ::access(target_.c_str(), W_OK) != 0))
        throw WriteFileError(message_);

    // A device or a pipe cannot be replaced by a regular file without being
    // destroyed: it is written into. Opening a pipe does not wait for a
    // reader; without one it cannot be opened.
    if (exists && !S_ISREG(existing.st_mode)) {
        fd_ = ::open(target_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) throw WriteFileError(message_);
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        return;
    }

    for (unsigned attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temporary_ = temporaryName(target_);
        fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
        temporary_.clear();
        throw WriteFileError(message_);
    }
    // A replaced file keeps its permissions.
    if (exists) (void)::fchmod(fd_, existing.st_mode & 07777);
}

PendingFile::~PendingFile()
{
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

void PendingFile::fail(int error) const
{
    throw WriteFileError(message_ + " (writing failed: " + std::strerror(error) + ")");
}

void PendingFile::write(const void* data, std::size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd_, p, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        p += written;
        size -= std::size_t(written);
    }
}

void PendingFile::finish(Flush flush)
{
    // Devices and pipes cannot be synchronised (EINVAL), nor can some read-only mounts.
    if (flush == Flush::ToDisk && ::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) fail(errno);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) fail(errno);
}

void PendingFile::commit()
{
    if (!temporary_.empty() && ::rename(temporary_.c_str(), target_.c_str()) != 0) fail(errno);
    committed_ = true;
}

void saveTextAtomically(const std::string& path, const std::function<void(std::ostream&)>& write,
                        const std::string& cannotCreateMessage, Flush flush)
{
    PendingFile file(path, cannotCreateMessage);
    int error = 0;
    {
        DescriptorBuffer buffer(file.descriptor());
        std::ostream out(&buffer);
        write(out); // an exception from the writer leaves through ~PendingFile
        out.flush();
        error = buffer.error();
        if (error == 0 && !out) error = EIO;
    }
    if (error != 0) file.fail(error);
    file.finish(flush);
    file.commit();
}

void saveTextAtomically(const std::string& path, const std::function<void(std::ostream&)>& write)
{
    saveTextAtomically(path, write, "Cannot Create file: " + path);
}
