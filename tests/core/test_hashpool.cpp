#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "temp_file.hpp"
#include "core/digest.hpp"
#include "core/hashpool.hpp"
#include "core/spread.hpp"

using namespace brivel;
using check::TempFile;

namespace {

std::vector<hashpool::HashJob> jobs_of(const std::string& path, std::size_t n) {
    std::vector<hashpool::HashJob> jobs(n);
    for (auto& j : jobs) j.path = path;
    return jobs;
}

}  // namespace

TEST(hash_all_hashes_every_job) {
    TempFile f("abc");
    auto jobs = jobs_of(f.path, 40);
    jobs.emplace_back().path = "/nonexistent/brivel";
    CHECK(hashpool::hash_all(jobs, 4, 1 << 20));
    for (std::size_t i = 0; i < 40; ++i) {
        CHECK(jobs[i].done);
        CHECK_EQ(jobs[i].hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    }
    CHECK(jobs.back().done && jobs.back().error == ENOENT && !jobs.back().read_error);
}

TEST(spread_rethrows_the_callers_failure_after_joining_the_workers) {
    // What hash_all relies on for a block buffer it cannot allocate.
    const auto caller = std::this_thread::get_id();
    std::atomic<int> finished{0};
    bool threw = false;
    try {
        threads::spread(4, nullptr, [&] {
            if (std::this_thread::get_id() == caller) throw std::bad_alloc();
            ++finished;
        });
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    CHECK(threw);
    CHECK_EQ(finished.load(), 3);
}

TEST(hash_all_starts_no_file_once_stopped) {
    TempFile f("abc");
    auto jobs = jobs_of(f.path, 10);
    cancel::Token stop;
    stop.request();
    CHECK(!hashpool::hash_all(jobs, 1, 1 << 20, &stop));
    for (auto& j : jobs) CHECK(!j.done);
}

TEST(stat_all_starts_no_job_once_stopped) {
    TempFile f("abcd");
    std::vector<hashpool::StatJob> jobs(600);
    for (auto& j : jobs) {
        j.path = f.path;
        j.error = -1;  // what a job not reached keeps
    }
    cancel::Token stop;
    CHECK(hashpool::stat_all(jobs, 3, &stop));
    CHECK_EQ(jobs.back().error, 0);
    for (auto& j : jobs) j.error = -1;
    stop.request();
    CHECK(!hashpool::stat_all(jobs, 3, &stop));
    for (auto& j : jobs) CHECK_EQ(j.error, -1);
}

TEST(stat_all_fills_every_job) {
    TempFile f("abcd");
    std::vector<hashpool::StatJob> jobs(600);
    for (auto& j : jobs) j.path = f.path;
    jobs.back().path = "/nonexistent/brivel";
    hashpool::stat_all(jobs, 3);
    CHECK_EQ(jobs.front().st.st_size, 4);
    CHECK_EQ(jobs[598].error, 0);
    CHECK_EQ(jobs.back().error, ENOENT);
}
