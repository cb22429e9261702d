#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "check.hpp"
#include "bounded.hpp"
#include "temp_file.hpp"
#include "core/arena.hpp"
#include "core/cachedoc.hpp"
#include "core/cancel.hpp"
#include "core/filescan.hpp"
#include "core/hashpool.hpp"
#include "core/spread.hpp"
#include "core/workers.hpp"

using namespace brivel;
using check::TempFile;
using threads::Workers;

namespace {

// Thread starts left before the system refuses one; below zero, no limit.
std::atomic<int> starts_left{-1};

// While it exists, the system starts only `allowed` more threads and refuses the rest, as
// it does when the process is out of threads (std::thread throws std::system_error).
struct RefuseThreads {
    explicit RefuseThreads(int allowed) { starts_left.store(allowed); }
    ~RefuseThreads() { starts_left.store(-1); }
};

}  // namespace

// Stands in for the C library's, which it calls unless a start is to be refused (visible,
// so that the standard library's std::thread finds this one first).
extern "C" __attribute__((visibility("default"))) int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*body)(void*), void* arg) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(::dlsym(RTLD_NEXT, "pthread_create"));
    for (int left = starts_left.load(); left >= 0;) {
        if (left == 0) return EAGAIN;
        if (starts_left.compare_exchange_weak(left, left - 1)) break;
    }
    return real(thread, attr, body, arg);
}

TEST(workers_share_the_work_of_threads_the_system_refuses) {
    struct Case {
        const char* what;
        Workers::Refusal refusal;
        int allowed;              // thread starts the system grants
        std::size_t started;      // what start() returns
        bool thrown;              // start() throws the refusal
    };
    const Case cases[] = {
        {"all start", Workers::Refusal::thrown_if_none, -1, 3, false},
        {"one starts, the work is the threads' alone", Workers::Refusal::thrown_if_none, 1, 1, false},
        {"none starts, the work is the threads' alone", Workers::Refusal::thrown_if_none, 0, 0, true},
        {"one starts, the caller works too", Workers::Refusal::tolerated, 1, 1, false},
        {"none starts, the caller works too", Workers::Refusal::tolerated, 0, 0, false},
    };
    for (const Case& c : cases) {
        const int failed_before = check::failures();
        constexpr std::size_t kItems = 1000;
        std::vector<int> done(kItems, 0);
        std::atomic<std::size_t> next{0};
        auto work = [&] {
            for (std::size_t i; (i = next.fetch_add(1)) < kItems;) ++done[i];
        };
        Workers crew;
        bool thrown = false;
        std::size_t started = 0;
        {
            RefuseThreads refuse(c.allowed);
            try {
                started = crew.start(3, work, c.refusal);
            } catch (const std::system_error& e) {
                thrown = true;
                CHECK(e.code() == std::errc::resource_unavailable_try_again);
            }
        }
        if (c.refusal == Workers::Refusal::tolerated) crew.run(work);
        crew.join();
        CHECK_EQ(started, c.started);
        CHECK_EQ(thrown, c.thrown);
        // Every item done once, unless the caller was told that nothing would do them.
        std::size_t once = 0;
        for (int n : done) once += n == 1;
        CHECK_EQ(once, c.thrown ? 0 : kItems);
        if (check::failures() != failed_before) std::fprintf(stderr, "  in the case: %s\n", c.what);
    }
}

TEST(workers_keep_the_first_exception_and_rethrow_it_after_joining) {
    std::atomic<int> failures{0};
    std::mutex m;
    std::condition_variable cv;
    std::atomic<bool> slow_finished{false};
    Workers crew([&] {
        ++failures;
        std::lock_guard<std::mutex> hold(m);
        cv.notify_all();
    });
    std::atomic<int> which{0};
    crew.start(
        3,
        [&] {
            const int me = which.fetch_add(1);
            if (me == 0) {
                // Ends only once both others have failed: joining must wait for it.
                std::unique_lock<std::mutex> hold(m);
                cv.wait_for(hold, std::chrono::seconds(60), [&] { return failures.load() == 2; });
                slow_finished = true;
                return;
            }
            throw std::runtime_error("worker " + std::to_string(me));
        },
        Workers::Refusal::thrown_if_none);
    crew.join();
    CHECK(slow_finished);
    CHECK(crew.failed());
    CHECK_EQ(failures.load(), 2);
    std::string message;
    try {
        crew.rethrow();
    } catch (const std::runtime_error& e) {
        message = e.what();
    }
    CHECK(message == "worker 1" || message == "worker 2");

    Workers fine;
    fine.start(2, [] {}, Workers::Refusal::tolerated);
    fine.join();
    CHECK(!fine.failed());
    fine.rethrow();  // nothing kept: returns
}

TEST(hash_all_hashes_every_job_when_the_system_refuses_its_threads) {
    TempFile f("abc");
    for (int allowed : {0, 1}) {
        std::vector<hashpool::HashJob> jobs(50);
        for (auto& j : jobs) j.path = f.path;
        {
            RefuseThreads refuse(allowed);
            CHECK(hashpool::hash_all(jobs, 4, 1 << 20));
        }
        for (const auto& j : jobs) CHECK(j.done && j.hex == "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    }
}

TEST(scanner_reports_a_refused_start_when_no_worker_starts) {
    TempFile f("abc");
    std::promise<void> p;
    p.set_value();
    const std::shared_future<void> ready = p.get_future().share();
    cachedoc::Index index;
    arena::Bytes paths;
    std::vector<filescan::Item> items(20);
    for (auto& item : items) item.path = paths.add(f.path);
    // A scanner whose threads would be left waiting for work that never comes does not end.
    check::bounded("a scanner whose threads the system refuses", std::chrono::milliseconds(10000), [&] {
        bool thrown = false;
        {
            RefuseThreads refuse(0);
            try {
                filescan::Scanner scanner(3, 4096, index, ready);
            } catch (const std::system_error&) {
                thrown = true;
            }
        }
        CHECK(thrown);
        // With one of three started, that one hashes everything.
        std::optional<filescan::Scanner> scanner;
        {
            RefuseThreads refuse(1);
            scanner.emplace(3, 4096, index, ready);
        }
        for (auto& item : items) scanner->add(item);
        CHECK(scanner->wait(std::chrono::milliseconds(10000)));
    });
    for (const auto& item : items) CHECK(item.state == filescan::Item::State::hashed && item.bytes == 3);
}

namespace {

// A watch's check answering `answer(n)` at its n-th ask (from 1), as the interpreter's
// signal check does on the main thread.
struct Asker {
    std::function<bool(int)> answer;
    std::atomic<int> asked{0};
    static bool ask(void* self) noexcept {
        auto* a = static_cast<Asker*>(self);
        return a->answer(++a->asked);
    }
};

}  // namespace

TEST(workers_join_with_the_token_gives_the_watch_its_turn_until_the_threads_end) {
    using namespace std::chrono_literals;
    // The threads end on their own, released by the watch's second ask: the join asked while
    // they ran and returned without a stop.
    check::bounded("a join the threads end", 10000ms, [] {
        cancel::Token token;
        std::atomic<bool> released{false};
        Asker asker{[&](int n) {
            if (n == 2) released = true;
            return false;
        }};
        std::atomic<int> ended{0};
        Workers crew;
        crew.start(2, [&] {
            while (!released && !token.stopped()) std::this_thread::yield();
            ++ended;
        }, Workers::Refusal::thrown_if_none);
        {
            cancel::Watch watch(token, &Asker::ask, &asker, 0ms);
            crew.join(&token);
        }
        CHECK_EQ(ended.load(), 2);
        CHECK(asker.asked.load() >= 2);
        CHECK(!token.requested());
    });
    // The threads end only once stopped: the watch's third ask stops them, and the join
    // returns once they have ended.
    check::bounded("a join the watch stops", 10000ms, [] {
        cancel::Token token;
        Asker asker{[](int n) { return n >= 3; }};
        std::atomic<int> ended{0};
        Workers crew;
        crew.start(2, [&] {
            while (!token.stopped()) std::this_thread::yield();
            ++ended;
        }, Workers::Refusal::thrown_if_none);
        {
            cancel::Watch watch(token, &Asker::ask, &asker, 0ms);
            crew.join(&token);
        }
        CHECK_EQ(ended.load(), 2);
        CHECK_EQ(asker.asked.load(), 3);
        CHECK(token.requested());
    });
}

TEST(spread_stops_the_others_once_the_callers_share_is_done) {
    using namespace std::chrono_literals;
    // The calling thread's share ends at once; the other threads' work ends only with a stop,
    // which the calling thread's watch gives while it waits for them.
    check::bounded("a spread whose caller waits for endless work", 10000ms, [] {
        cancel::Token token;
        Asker asker{[](int n) { return n >= 3; }};
        const auto caller = std::this_thread::get_id();
        std::atomic<int> others{0};
        {
            cancel::Watch watch(token, &Asker::ask, &asker, 0ms);
            threads::spread(3, &token, [&] {
                if (std::this_thread::get_id() == caller) return;
                while (!token.stopped()) std::this_thread::yield();
                ++others;
            });
        }
        CHECK_EQ(others.load(), 2);
        CHECK_EQ(asker.asked.load(), 3);
    });
}
