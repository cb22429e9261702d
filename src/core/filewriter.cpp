#include "core/filewriter.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace brivel::files {

int write_whole(const char* path, const void* data, std::size_t n, bool& opened) {
    opened = false;
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    opened = true;
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t put = ::write(fd, p, n);
        if (put < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            return err;
        }
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    // A delayed write error (a full disk on a network file system) shows up here.
    if (::close(fd) != 0 && errno != EINTR) return errno;
    return 0;
}

}  // namespace brivel::files
