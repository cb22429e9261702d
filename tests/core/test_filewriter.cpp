#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "check.hpp"
#include "core/filewriter.hpp"

using namespace brivel;

TEST(file_writer_refuses_what_is_not_a_regular_file) {
    // A pipe: without a reader opening it would wait for one; with one, the bytes would go
    // to that reader and no file would hold them.
    std::string fifo = "/tmp/brivel-write-fifo-" + std::to_string(::getpid());
    CHECK_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    files::FileWriter w;
    CHECK_EQ(w.open(fifo.c_str(), false), EINVAL);
    CHECK(!w.is_open());
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    CHECK(reader >= 0);
    CHECK_EQ(w.open(fifo.c_str(), true), EINVAL);
    char byte;
    CHECK_EQ(::read(reader, &byte, 1), 0);  // no writer left, nothing written
    ::close(reader);
    ::unlink(fifo.c_str());
    CHECK_EQ(w.open("/dev/null", false), EINVAL);
    CHECK_EQ(w.open("/tmp", false), EISDIR);
}
