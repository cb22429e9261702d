// A temporary file with a given body, removed at the end of the test.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "check.hpp"

namespace brivel::check {

struct TempFile {
    std::string path = "/tmp/brivel-core-XXXXXX";
    explicit TempFile(const std::string& body) {
        int fd = ::mkstemp(path.data());
        CHECK(fd >= 0);
        CHECK_EQ(::write(fd, body.data(), body.size()), static_cast<ssize_t>(body.size()));
        ::close(fd);
    }
    ~TempFile() { ::unlink(path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
};

}  // namespace brivel::check
