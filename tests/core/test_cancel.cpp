#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "core/cancel.hpp"
#include "core/digest.hpp"
#include "core/filereader.hpp"
#include "core/hashpool.hpp"
#include "core/multipart.hpp"
#include "core/zip_writer.hpp"

using namespace brivel;
using namespace std::chrono_literals;

namespace {

// Requests `token`'s stop from another thread once `delay` has passed.
struct LateStop {
    std::thread t;
    LateStop(cancel::Token& token, std::chrono::milliseconds delay) : t([&token, delay] {
        std::this_thread::sleep_for(delay);
        token.request();
    }) {}
    ~LateStop() { t.join(); }
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(token_stops_with_its_parent) {
    auto pool = std::make_shared<cancel::Token>();
    cancel::Token job(pool), other;
    CHECK(!job.requested() && !job.stopped());
    pool->request();
    CHECK(job.requested() && job.stopped() && pool->requested());
    CHECK(!other.requested());
    job.request();
    CHECK(job.requested());
}

TEST(watch_asks_on_its_own_thread_when_due) {
    cancel::Token token;
    struct Asked {
        std::atomic<int> n{0};
        bool answer = false;
    } asked;
    auto ask = [](void* p) noexcept {
        auto* a = static_cast<Asked*>(p);
        ++a->n;
        return a->answer;
    };
    {
        cancel::Watch watch(token, ask, &asked, 20ms);
        CHECK(!token.stopped());  // not due yet
        CHECK_EQ(asked.n.load(), 0);
        std::thread([&] { CHECK(!token.stopped()); }).join();  // another thread never asks
        CHECK(!token.stopped(true));                              // at once when asked to
        CHECK_EQ(asked.n.load(), 1);
        std::this_thread::sleep_for(25ms);
        asked.answer = true;
        CHECK(token.stopped());
        CHECK_EQ(asked.n.load(), 2);
    }
    cancel::Token later;
    CHECK(!later.stopped());  // the watch is gone with its scope
    CHECK_EQ(asked.n.load(), 2);
}

TEST(sha256_file_of_an_endless_device_stops_on_request) {
    cancel::Token token;
    digest::FileDigest d;
    auto start = std::chrono::steady_clock::now();
    int err;
    {
        LateStop late(token, 50ms);
        err = digest::sha256_file("/dev/zero", 1 << 20, d, &token);
    }
    CHECK_EQ(err, cancel::kCancelled);
    CHECK(seconds_since(start) < 2.0);
    // A stop requested before the start reads nothing.
    digest::FileDigest none;
    CHECK_EQ(digest::sha256_file("/dev/zero", 1 << 20, none, &token), cancel::kCancelled);
    CHECK_EQ(none.bytes, 0u);
}

TEST(hash_all_breaks_off_the_files_being_hashed) {
    cancel::Token token;
    std::vector<hashpool::HashJob> jobs(6);
    for (auto& j : jobs) j.path = "/dev/zero";
    auto start = std::chrono::steady_clock::now();
    bool finished;
    {
        LateStop late(token, 50ms);
        finished = hashpool::hash_all(jobs, 3, 1 << 20, &token);
    }
    CHECK(!finished);
    CHECK(seconds_since(start) < 2.0);
    for (auto& j : jobs) CHECK(!j.done);
}

TEST(region_reads_stop_on_request) {
    cancel::Token token;
    token.request();
    std::vector<char> buf(4 << 20);
    std::size_t got = 1;
    CHECK_EQ(multipart::read_region("/dev/zero", 0, buf.data(), buf.size(), got, nullptr, &token), cancel::kCancelled);
    CHECK_EQ(got, 0u);
    digest::Sha256Raw raw{};
    CHECK_EQ(multipart::sha256_region("/dev/zero", 0, std::uint64_t{1} << 40, raw, &token), cancel::kCancelled);

    cancel::Token late_token;
    auto start = std::chrono::steady_clock::now();
    int err;
    {
        LateStop late(late_token, 50ms);
        err = multipart::sha256_region("/dev/zero", 0, std::uint64_t{1} << 40, raw, &late_token);
    }
    CHECK_EQ(err, cancel::kCancelled);
    CHECK(seconds_since(start) < 2.0);
}

TEST(a_signal_breaks_off_a_waiting_open_once_stopped) {
    // Opening a named pipe waits for a writer; a signal that arrives once the stop is
    // requested ends the wait.
    char dir[] = "/tmp/brivel-cancel-XXXXXX";
    CHECK(::mkdtemp(dir) != nullptr);
    const std::string fifo = std::string(dir) + "/pipe";
    CHECK_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct sigaction sa {}, old {};
    sa.sa_handler = [](int) {};
    ::sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the open sees EINTR
    ::sigaction(SIGUSR1, &sa, &old);

    cancel::Token token;
    std::atomic<bool> returned{false};
    const pthread_t opener = ::pthread_self();
    std::thread poker([&] {
        token.request();
        for (int i = 0; i < 500 && !returned.load(); ++i) {
            ::pthread_kill(opener, SIGUSR1);
            std::this_thread::sleep_for(10ms);
        }
        if (!returned.load()) ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // unblocks a failed test
    });
    files::FileReader reader;
    const int err = reader.open(fifo.c_str(), &token);
    returned.store(true);
    poker.join();
    CHECK_EQ(err, cancel::kCancelled);
    ::sigaction(SIGUSR1, &old, nullptr);
    ::unlink(fifo.c_str());
    ::rmdir(dir);
}

TEST(zip_directory_stops_on_request) {
    char dir[] = "/tmp/brivel-cancel-XXXXXX";
    CHECK(::mkdtemp(dir) != nullptr);
    const std::string big = std::string(dir) + "/big";
    int fd = ::open(big.c_str(), O_WRONLY | O_CREAT, 0600);
    CHECK(fd >= 0);
    CHECK_EQ(::ftruncate(fd, off_t{1} << 40), 0);  // sparse: reads as zeros for minutes
    ::close(fd);
    cancel::Token token;
    auto start = std::chrono::steady_clock::now();
    zipw::DirectoryArchive built;
    {
        LateStop late(token, 50ms);
        built = zipw::zip_directory(dir, 2, &token);
    }
    CHECK_EQ(built.failure.kind, zipw::DirectoryFailure::cancelled);
    CHECK_EQ(built.archive.count(), 0u);
    CHECK(seconds_since(start) < 2.0);
    ::unlink(big.c_str());
    ::rmdir(dir);
}
