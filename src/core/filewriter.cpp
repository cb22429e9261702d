#include "core/filewriter.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace brivel::files {

int FileWriter::open(const char* path, bool append) { return open_with(path, append ? O_APPEND : O_TRUNC); }

int FileWriter::create(const char* path) { return open_with(path, O_EXCL); }

int FileWriter::open_with(const char* path, int flags) {
    close();
    // Without a reader a pipe opens as ENXIO instead of waiting; so does a socket.
    int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | flags, 0666);
    if (fd < 0) return errno == ENXIO ? EINVAL : errno;
    struct stat st {};
    int err = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
    if (!err && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) err = errno;
    if (err) {
        ::close(fd);
        return err;
    }
    fd_ = fd;
    return 0;
}

int FileWriter::write(const void* data, std::size_t n) {
    if (fd_ < 0) return EBADF;
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t put = ::write(fd_, p, n);
        if (put < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return 0;
}

void FileWriter::start_writeback() {
    if (fd_ >= 0) ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

int FileWriter::close() {
    if (fd_ < 0) return 0;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 || errno == EINTR ? 0 : errno;
}

}  // namespace brivel::files
