#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "check.hpp"
#include "core/content_range.hpp"
#include "core/filewriter.hpp"

using namespace brivel;
using ranges::Resume;

TEST(content_range_forms) {
    auto full = ranges::parse_content_range("bytes 4-9/10");
    CHECK(full && full->satisfied && full->first == 4 && full->last == 9 && full->total == 10u);
    auto star = ranges::parse_content_range(" Bytes */10 ");
    CHECK(star && !star->satisfied && star->total == 10u);
    auto open_total = ranges::parse_content_range("bytes 0-0/*");
    CHECK(open_total && open_total->satisfied && !open_total->total);
    for (const char* bad : {"", "bytes", "bytes 4-9", "bytes 9-4/10", "bytes 4-10/10", "bytes */*",
                            "items 0-1/2", "bytes -1-2/3", "bytes 1-2/x", "bytes 99999999999999999999-1/2"})
        CHECK(!ranges::parse_content_range(bad));
}

TEST(partial_answer_must_start_at_the_bytes_on_disk) {
    CHECK(ranges::after_partial(std::nullopt, 4) == Resume::Append);
    CHECK(ranges::after_partial("bytes 4-9/10", 4) == Resume::Append);
    CHECK(ranges::after_partial("bytes 0-9/10", 4) == Resume::Restart);
    CHECK(ranges::after_partial("bytes */10", 4) == Resume::Restart);
    CHECK(ranges::after_partial("nonsense", 4) == Resume::Restart);
}

TEST(unsatisfiable_answer_must_name_the_size_on_disk) {
    CHECK(ranges::after_unsatisfiable(std::nullopt, 4) == Resume::Complete);
    CHECK(ranges::after_unsatisfiable("bytes */4", 4) == Resume::Complete);
    CHECK(ranges::after_unsatisfiable("bytes */3", 4) == Resume::Restart);
    CHECK(ranges::after_unsatisfiable("bytes */5", 4) == Resume::Restart);
    CHECK(ranges::after_unsatisfiable("bytes 0-3/4", 4) == Resume::Restart);
}

TEST(file_writer_appends_or_truncates) {
    char path[] = "/tmp/brivel-core-XXXXXX";
    int fd = ::mkstemp(path);
    CHECK(fd >= 0);
    ::close(fd);
    files::FileWriter w;
    CHECK_EQ(w.open(path, false), 0);
    CHECK_EQ(w.write("abc", 3), 0);
    CHECK_EQ(w.close(), 0);
    CHECK_EQ(w.open(path, true), 0);
    CHECK_EQ(w.write("de", 2), 0);
    CHECK_EQ(w.close(), 0);
    char buf[8] = {};
    fd = ::open(path, O_RDONLY);
    CHECK_EQ(::read(fd, buf, sizeof buf), 5);
    ::close(fd);
    CHECK_EQ(std::string(buf), "abcde");
    CHECK_EQ(w.open(path, false), 0);
    CHECK_EQ(w.close(), 0);
    fd = ::open(path, O_RDONLY);
    CHECK_EQ(::read(fd, buf, sizeof buf), 0);
    ::close(fd);
    ::unlink(path);
    CHECK_EQ(w.open("/tmp", false), EISDIR);
    CHECK_EQ(w.open("/nonexistent/brivel/x", true), ENOENT);
    CHECK_EQ(w.write("x", 1), EBADF);
}
