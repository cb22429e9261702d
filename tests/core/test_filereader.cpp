#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "check.hpp"
#include "temp_file.hpp"
#include "core/filereader.hpp"

using namespace brivel;
using check::TempFile;

TEST(read_regular_reads_a_whole_file) {
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{65536}, std::size_t{200001}}) {
        std::string body(n, '\0');
        for (std::size_t i = 0; i < n; ++i) body[i] = static_cast<char>(i * 7 % 253);
        TempFile f(body);
        std::string out = "stale";
        CHECK_EQ(files::read_regular(f.path.c_str(), out), 0);
        CHECK(out == body);
    }
}

TEST(read_regular_refuses_what_is_not_a_regular_file) {
    // A pipe with no writer: reading it would block, so it is refused at once.
    std::string fifo = "/tmp/brivel-read-fifo-" + std::to_string(::getpid());
    CHECK_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string out = "stale";
    CHECK_EQ(files::read_regular(fifo.c_str(), out), EINVAL);
    CHECK(out.empty());
    ::unlink(fifo.c_str());
    CHECK_EQ(files::read_regular("/tmp", out), EINVAL);
    CHECK_EQ(files::read_regular(fifo.c_str(), out), ENOENT);
}
