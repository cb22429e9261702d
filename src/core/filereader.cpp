#include "core/filereader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace brivel::files {

int stat_size(const char* path, std::uint64_t& size) {
    struct stat st {};
    if (::stat(path, &st) != 0) return errno;
    size = static_cast<std::uint64_t>(st.st_size);
    return 0;
}

int read_regular(const char* path, std::string& out) {
    out.clear();
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    struct stat st {};
    int err = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
    if (!err) out.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    while (!err) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            out.append(buf, static_cast<std::size_t>(n));
        else if (n == 0)
            break;
        else if (errno != EINTR)
            err = errno;
    }
    ::close(fd);
    if (err) out.clear();
    return err;
}

int FileReader::open(const char* path, const cancel::Token* stop) {
    close();
    stop_ = stop;
    int fd;
    // A signal handled during an open that waits (a named pipe) is no failure, as for read().
    while ((fd = ::open(path, O_RDONLY | O_CLOEXEC)) < 0) {
        if (errno != EINTR) return errno;
        if (stop_ && stop_->stopped(true)) return cancel::kCancelled;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return EISDIR;
    }
    // Small files are read in one or two calls; the read-ahead hint only pays for large ones.
    if (st.st_size > (off_t{1} << 20)) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    size_at_open_ = S_ISREG(st.st_mode) ? static_cast<long long>(st.st_size) : -1;
    fd_ = fd;
    return 0;
}

long long FileReader::read(void* buf, std::size_t n) {
    if (fd_ < 0) return 0;
    for (;;) {
        ssize_t got = ::read(fd_, buf, n);
        if (got > 0) return got;
        if (got == 0) {
            close();
            return 0;
        }
        if (errno != EINTR) return -static_cast<long long>(errno);
        if (stop_ && stop_->stopped(true)) return -static_cast<long long>(cancel::kCancelled);
    }
}

int FileReader::seek(std::uint64_t offset) {
    if (fd_ < 0) return EBADF;
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return EINVAL;
    return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0;
}

void FileReader::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    size_at_open_ = -1;
}

}  // namespace brivel::files
