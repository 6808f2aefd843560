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

#include "ioerror.h"
#include "stringmanipulation.h"

namespace {

[[noreturn]] void fail(SaveErrorKind kind, const std::string& message)
{
    if (kind == SaveErrorKind::WriteFileError) throw WriteFileError(message);
    throw std::runtime_error(message);
}

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
std::string temporaryName(const std::string& path, unsigned attempt)
{
    static std::atomic<unsigned> counter{0};
    return getPath(path) + "." + getFileName(path) + ".tmp" + std::to_string(::getpid()) + "-" +
           std::to_string(counter++) + "-" + std::to_string(attempt);
}

} // namespace

void saveTextAtomically(const std::string& path, const std::function<void(std::ostream&)>& write,
                        SaveErrorKind kind, const std::string& cannotCreateMessage)
{
    const auto writeFailed = [&](int error) {
        fail(kind, cannotCreateMessage + " (writing failed: " + std::strerror(error) + ")");
    };

    // Saving through a symbolic link replaces the file it points to, not the link.
    std::string target = path;
    std::error_code ec;
    if (std::filesystem::is_symlink(path, ec)) {
        const auto resolved = std::filesystem::weakly_canonical(path, ec);
        if (!ec) target = resolved.string();
    }

    // What could not be opened for writing before stays "cannot create":
    // a folder of that name, or an existing file without write permission.
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && (S_ISDIR(existing.st_mode) || ::access(target.c_str(), W_OK) != 0))
        fail(kind, cannotCreateMessage);

    std::string temporary;
    int fd = -1;
    for (unsigned attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = temporaryName(target, attempt);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) fail(kind, cannotCreateMessage);
    // A replaced file keeps its permissions.
    if (exists) (void)::fchmod(fd, existing.st_mode & 07777);

    int error = 0;
    try {
        DescriptorBuffer buffer(fd);
        std::ostream out(&buffer);
        write(out);
        out.flush();
        error = buffer.error();
        if (error == 0 && !out) error = EIO;
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    // Some file systems report a full disk only when the data reach it.
    if (error == 0 && ::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) error = errno;
    if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        writeFailed(error);
    }
}

void saveTextAtomically(const std::string& path, const std::function<void(std::ostream&)>& write,
                        SaveErrorKind kind)
{
    saveTextAtomically(path, write, kind, "Cannot Create file: " + path);
}
