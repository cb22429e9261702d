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

TEST(file_writer_creates_only_a_new_file) {
    // Whatever is at the name already, a pipe or a file, is neither opened nor changed.
    const std::string base = "/tmp/brivel-create-" + std::to_string(::getpid());
    const std::string fifo = base + ".fifo", file = base + ".file", fresh = base + ".new";
    CHECK_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    {
        files::FileWriter w;
        CHECK_EQ(w.open(file.c_str(), false), 0);
        CHECK_EQ(w.write("kept", 4), 0);
    }
    files::FileWriter w;
    CHECK_EQ(w.create(fifo.c_str()), EEXIST);
    CHECK_EQ(w.create(file.c_str()), EEXIST);
    CHECK(!w.is_open());
    struct stat st {};
    CHECK(::lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    CHECK(::lstat(file.c_str(), &st) == 0 && st.st_size == 4);
    ::unlink(fresh.c_str());
    CHECK_EQ(w.create(fresh.c_str()), 0);
    CHECK_EQ(w.write("new", 3), 0);
    CHECK_EQ(w.close(), 0);
    CHECK(::lstat(fresh.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 3);
    for (const std::string& p : {fifo, file, fresh}) ::unlink(p.c_str());
}
