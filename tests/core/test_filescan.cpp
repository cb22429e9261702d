#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "bounded.hpp"
#include "temp_file.hpp"
#include "core/arena.hpp"
#include "core/cachedoc.hpp"
#include "core/digest.hpp"
#include "core/filescan.hpp"

using namespace brivel;
using check::TempFile;
using check::bounded;
using filescan::Item;
using filescan::Scanner;
using State = filescan::Item::State;

namespace {

using namespace std::chrono_literals;

// Far longer than any of these runs takes; only a hang reaches it.
constexpr auto kLimit = std::chrono::milliseconds(60000);

struct TempDir {
    std::string path = "/tmp/brivel-scan-dir-XXXXXX";
    TempDir() { CHECK(::mkdtemp(path.data()) != nullptr); }
    ~TempDir() { ::rmdir(path.c_str()); }
};

cachedoc::Signature signature_of(const std::string& path) {
    struct stat st {};
    CHECK_EQ(::stat(path.c_str(), &st), 0);
    cachedoc::Signature stat_sig;
    stat_sig.size = st.st_size;
    stat_sig.mtime = st.st_mtim;
    stat_sig.ctime = st.st_ctim;
    stat_sig.inode = st.st_ino;
    return stat_sig;
}

std::shared_future<void> ready() {
    std::promise<void> p;
    p.set_value();
    return p.get_future().share();
}

std::string hex_of(const std::string& body) {
    auto raw = digest::sha256(body.data(), body.size());
    return digest::hex(raw.data(), raw.size());
}

std::string hex_of(const Item& item) {
    char buf[64];
    return std::string(item.hex(buf));
}

// An item whose path lives in `paths`, NUL-terminated as the workers need.
Item item_of(arena::Bytes& paths, std::string_view path, const cachedoc::Signature& stat_sig = {}) {
    Item item;
    item.path = paths.add(path);
    item.stat_sig = stat_sig;
    return item;
}

}  // namespace

TEST(scanner_hashes_files_it_cannot_find_in_the_index) {
    // Around the block size and a file of many blocks.
    const std::size_t sizes[] = {0, 1, 4095, 4096, 4097, 3 * 4096 + 17, (1 << 20) + 3};
    std::vector<std::unique_ptr<TempFile>> files;
    std::vector<std::string> bodies;
    for (std::size_t n : sizes) {
        std::string body(n, '\0');
        for (std::size_t i = 0; i < n; ++i) body[i] = static_cast<char>((i * 131 + n) % 251);
        files.push_back(std::make_unique<TempFile>(body));
        bodies.push_back(std::move(body));
    }
    cachedoc::Index index;
    arena::Bytes paths;
    std::vector<Item> items;
    items.reserve(files.size());
    for (auto& f : files) items.push_back(item_of(paths, f->path, signature_of(f->path)));
    {
        Scanner scanner(3, 4096, index, ready());
        for (Item& item : items) scanner.add(item);
        CHECK(scanner.wait(kLimit));
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        CHECK(items[i].state == State::hashed);
        CHECK_EQ(items[i].bytes, bodies[i].size());
        CHECK_EQ(hex_of(items[i]), hex_of(bodies[i]));
        CHECK(!items[i].stored);
        CHECK_EQ(items[i].error, 0);
    }
    CHECK_EQ(hex_of(items[0]), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(scanner_with_no_workers_asked_still_runs_one_and_any_chunk_size) {
    const std::string body = "a small file read one byte at a time";
    TempFile f(body);
    cachedoc::Index index;
    arena::Bytes paths;
    Item item = item_of(paths, f.path);
    Scanner scanner(0, 0, index, ready());
    scanner.add(item);
    CHECK(scanner.wait(kLimit));
    CHECK(item.state == State::hashed);
    CHECK_EQ(item.bytes, body.size());
    CHECK_EQ(hex_of(item), hex_of(body));
}

TEST(scanner_records_the_errno_of_a_file_it_cannot_hash) {
    TempFile f("x");
    TempDir dir;
    cachedoc::Index index;
    arena::Bytes paths;
    Item missing = item_of(paths, f.path + ".missing");
    Item not_dir = item_of(paths, f.path + "/below");
    Item directory = item_of(paths, dir.path);
    // /proc/self/mem opens, but reading its first page (never mapped) fails.
    const bool have_mem = ::access("/proc/self/mem", R_OK) == 0;
    Item unreadable = item_of(paths, "/proc/self/mem");
    {
        Scanner scanner(2, 4096, index, ready());
        scanner.add(missing);
        scanner.add(not_dir);
        scanner.add(directory);
        if (have_mem) scanner.add(unreadable);
        CHECK(scanner.wait(kLimit));
    }
    CHECK(missing.state == State::failed);
    CHECK_EQ(missing.error, ENOENT);
    CHECK(!missing.read_error);
    CHECK(not_dir.state == State::failed);
    CHECK_EQ(not_dir.error, ENOTDIR);
    CHECK(!not_dir.read_error);
    // A directory is refused when it is opened, as the interpreter's open() does.
    CHECK(directory.state == State::failed);
    CHECK_EQ(directory.error, EISDIR);
    CHECK(!directory.read_error);
    if (have_mem) {
        CHECK(unreadable.state == State::failed);
        CHECK(unreadable.error != 0);
        CHECK(unreadable.read_error);
    } else {
        std::fprintf(stderr, "  no /proc/self/mem: the failed read is not covered\n");
    }
}

TEST(scanner_takes_a_hit_from_the_index_without_reading_the_file) {
    const std::string body = "the real content";
    TempFile f(body);
    const cachedoc::Signature stat_sig = signature_of(f.path);
    CHECK(stat_sig.present());
    const std::string absent = f.path + ".absent";  // named by the index, not on disk
    const std::string claimed = hex_of(std::string("not the content"));
    std::string upper = hex_of(std::string("upper"));
    for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
    const std::string odd = "\xc3\xa9" + std::string(62, 'z') + "\xf0\x9f\x98\x80";  // 64 code points
    const std::string absent_upper = f.path + ".upper", absent_odd = f.path + ".odd";

    cachedoc::Writer w;
    w.add(f.path, stat_sig, claimed);
    w.add(absent, stat_sig, claimed);
    w.add(absent_upper, stat_sig, upper);
    w.add(absent_odd, stat_sig, odd);
    cachedoc::Index index;
    CHECK(index.parse(w.finish()));

    cachedoc::Signature changed = stat_sig;
    changed.mtime.tv_nsec = (changed.mtime.tv_nsec + 1) % 1000000000;
    if (changed.mtime.tv_nsec == 0) changed.mtime.tv_sec += 1;

    arena::Bytes paths;
    Item real = item_of(paths, f.path, stat_sig);
    Item gone = item_of(paths, absent, stat_sig);
    Item gone_changed = item_of(paths, absent, changed);
    Item real_changed = item_of(paths, f.path, changed);
    Item stored_upper = item_of(paths, absent_upper, stat_sig);
    Item stored_odd = item_of(paths, absent_odd, stat_sig);
    {
        Scanner scanner(2, 4096, index, ready());
        for (Item* item : {&real, &gone, &gone_changed, &real_changed, &stored_upper, &stored_odd}) scanner.add(*item);
        CHECK(scanner.wait(kLimit));
    }
    // The index's hash, not the content's: the file was not read.
    CHECK(real.state == State::hit);
    CHECK_EQ(hex_of(real), claimed);
    CHECK(!real.stored);
    CHECK_EQ(real.bytes, body.size());
    // No file at all: only the index can have answered.
    CHECK(gone.state == State::hit);
    CHECK_EQ(hex_of(gone), claimed);
    CHECK_EQ(gone.bytes, static_cast<std::uint64_t>(stat_sig.size));
    digest::Sha256Raw raw{};
    CHECK(digest::from_hex(claimed, raw));
    CHECK(gone.sha == raw);
    // A changed signature goes to the disk.
    CHECK(gone_changed.state == State::failed);
    CHECK_EQ(gone_changed.error, ENOENT);
    CHECK(real_changed.state == State::hashed);
    CHECK_EQ(hex_of(real_changed), hex_of(body));
    // Text that is not 64 lower-case hex digits comes back as stored.
    CHECK(stored_upper.state == State::hit);
    CHECK(stored_upper.stored && *stored_upper.stored == upper);
    CHECK_EQ(hex_of(stored_upper), upper);
    CHECK(stored_odd.state == State::hit);
    CHECK(stored_odd.stored && *stored_odd.stored == odd);
    CHECK_EQ(hex_of(stored_odd), odd);
}

TEST(scanner_finishes_many_items_across_workers) {
    const std::string bodies[] = {"", "one", std::string(10000, 'x'), std::string(70000, 'y')};
    std::vector<std::unique_ptr<TempFile>> files;
    for (const std::string& b : bodies) files.push_back(std::make_unique<TempFile>(b));
    const std::string claimed = hex_of(std::string("claimed"));
    const std::string cached = files[0]->path + ".cached";
    const cachedoc::Signature cached_sig = signature_of(files[1]->path);
    cachedoc::Writer w;
    w.add(cached, cached_sig, claimed);
    cachedoc::Index index;
    CHECK(index.parse(w.finish()));

    const std::size_t n = 500;
    arena::Bytes paths(4096);
    std::vector<Item> items;
    items.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        switch (i % 6) {
            case 4: items.push_back(item_of(paths, files[0]->path + ".missing-" + std::to_string(i))); break;
            case 5: items.push_back(item_of(paths, cached, cached_sig)); break;
            default: items.push_back(item_of(paths, files[i % 4]->path));
        }
    }
    {
        Scanner scanner(4, 4096, index, ready());
        for (std::size_t i = 0; i < n; ++i) {
            scanner.add(items[i]);
            if (i == 100) scanner.flush();  // a batch shorter than usual
        }
        CHECK(scanner.wait(kLimit));
        CHECK(scanner.wait(1ms));  // nothing new: still done
    }
    std::size_t want_hashed = 0, want_failed = 0, want_hit = 0, hashed = 0, failed = 0, hit = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Item& item = items[i];
        switch (i % 6) {
            case 4:
                ++want_failed;
                failed += item.state == State::failed && item.error == ENOENT && !item.read_error;
                break;
            case 5:
                ++want_hit;
                hit += item.state == State::hit && hex_of(item) == claimed && item.bytes == 3;
                break;
            default:
                ++want_hashed;
                hashed += item.state == State::hashed && item.bytes == bodies[i % 4].size() &&
                          hex_of(item) == hex_of(bodies[i % 4]);
        }
    }
    CHECK_EQ(hashed, want_hashed);
    CHECK_EQ(failed, want_failed);
    CHECK_EQ(hit, want_hit);
}

TEST(scanner_wait_with_nothing_added_is_done) {
    cachedoc::Index index;
    Scanner scanner(2, 4096, index, ready());
    CHECK(scanner.wait(1ms));
    CHECK(scanner.wait(0ms));
    // Even with an index that is never ready: there is nothing to wait for.
    std::promise<void> never;
    Scanner idle(1, 4096, index, never.get_future().share());
    CHECK(idle.wait(1ms));
}

TEST(scanner_waits_for_the_index_before_using_it) {
    const std::string body = "content";
    TempFile f(body);
    const cachedoc::Signature stat_sig = signature_of(f.path);
    const std::string absent = f.path + ".absent";
    const std::string claimed = hex_of(std::string("claimed"));

    cachedoc::Index index;  // parsed only after the workers have their items
    std::promise<void> loaded;
    arena::Bytes paths;
    Item real = item_of(paths, f.path, stat_sig);
    Item gone = item_of(paths, absent, stat_sig);
    {
        Scanner scanner(2, 4096, index, loaded.get_future().share());
        scanner.add(real);
        scanner.add(gone);
        CHECK(!scanner.wait(50ms));  // the workers hold back until the index is ready
        cachedoc::Writer w;
        w.add(f.path, stat_sig, claimed);
        w.add(absent, stat_sig, claimed);
        CHECK(index.parse(w.finish()));
        loaded.set_value();
        CHECK(scanner.wait(kLimit));
    }
    // Both came from the index: had a worker looked before it was read, the file would
    // have been hashed and the absent one failed.
    CHECK(real.state == State::hit);
    CHECK_EQ(hex_of(real), claimed);
    CHECK(gone.state == State::hit);
    CHECK_EQ(hex_of(gone), claimed);
}

TEST(scanner_destructor_stops_with_work_still_queued) {
    cachedoc::Index index;
    TempFile big(std::string(8 << 20, 'b'));
    arena::Bytes paths;
    std::vector<Item> items;
    const std::size_t n = 4000;  // 32 GB of reading if the workers went through it all
    items.reserve(n);
    for (std::size_t i = 0; i < n; ++i) items.push_back(item_of(paths, big.path));

    // The index never becomes ready while the scanner lives: no item may be touched.
    {
        std::promise<void> never;
        bounded("a scanner waiting for its index", std::chrono::milliseconds(10000), [&] {
            Scanner scanner(3, 1 << 16, index, never.get_future().share());
            for (Item& item : items) scanner.add(item);
            scanner.flush();
            CHECK(!scanner.wait(20ms));
        });
        std::size_t untouched = 0;
        for (const Item& item : items) untouched += item.state == State::queued && item.bytes == 0;
        CHECK_EQ(untouched, n);
    }
    // With the index ready, the workers stop after their current file.
    bounded("a scanner with files left to hash", std::chrono::milliseconds(10000), [&] {
        Scanner scanner(3, 1 << 16, index, ready());
        for (Item& item : items) scanner.add(item);
        scanner.flush();
        CHECK(!scanner.wait(1ms));
    });
    std::size_t hashed = 0, queued = 0;
    for (const Item& item : items) {
        hashed += item.state == State::hashed && item.bytes == (8u << 20);
        queued += item.state == State::queued;
    }
    CHECK_EQ(hashed + queued, n);
    CHECK(queued > 0);
}

TEST(scanner_destructor_ends_a_batch_at_once) {
    // One worker, one batch: a named pipe, then large files. Opening the pipe's write end
    // returns once the worker is inside the batch; closing it lets the worker go on, and
    // the stop comes while it is in the pipe or a file or two into the rest.
    TempDir dir;
    const std::string fifo = dir.path + "/pipe";
    CHECK_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    TempFile big(std::string(8 << 20, 'b'));
    cachedoc::Index index;
    arena::Bytes paths;
    std::vector<Item> items;
    items.reserve(32);
    items.push_back(item_of(paths, fifo));
    while (items.size() < 32) items.push_back(item_of(paths, big.path));
    bounded("a scanner stopped inside a batch", std::chrono::milliseconds(10000), [&] {
        Scanner scanner(1, 1 << 16, index, ready());
        for (Item& item : items) scanner.add(item);
        scanner.flush();
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        CHECK(fd >= 0);
        if (fd >= 0) ::close(fd);
    });
    ::unlink(fifo.c_str());
    // The pipe was hashed (empty) or broken off by the stop; either way the rest is not done.
    CHECK(items[0].state == State::hashed || items[0].state == State::queued);
    CHECK_EQ(items[0].bytes, 0u);
    std::size_t hashed = 0;
    for (const Item& item : items) hashed += item.state == State::hashed;
    CHECK(hashed < items.size());
}

TEST(scanner_destructor_breaks_off_the_files_being_hashed) {
    // Endless devices: a worker that finished its file before stopping would never stop.
    cachedoc::Index index;
    arena::Bytes paths;
    std::vector<Item> items;
    items.reserve(4);
    while (items.size() < 4) items.push_back(item_of(paths, "/dev/zero"));
    bounded("a scanner hashing endless files", std::chrono::milliseconds(2000), [&] {
        Scanner scanner(2, 1 << 20, index, ready());
        for (Item& item : items) scanner.add(item);
        scanner.flush();
        CHECK(!scanner.wait(50ms));
    });
    for (const Item& item : items) CHECK(item.state == State::queued);
}

TEST(scanner_spreads_large_files_over_its_workers) {
    // Two files that each claim more than a batch's worth of bytes, read from pipes: the
    // writer opens A and then B, and closes them only once both are open. One worker taking
    // both in one batch would sit in A's read while the writer waits for B's reader.
    TempDir dir;
    const std::string a = dir.path + "/a", b = dir.path + "/b";
    CHECK_EQ(::mkfifo(a.c_str(), 0600), 0);
    CHECK_EQ(::mkfifo(b.c_str(), 0600), 0);
    cachedoc::Signature big;
    big.size = 2 << 20;
    arena::Bytes paths;
    cachedoc::Index none;
    Item items[] = {item_of(paths, a, big), item_of(paths, b, big)};
    std::thread writer([&] {
        int fa = ::open(a.c_str(), O_WRONLY);
        int fb = ::open(b.c_str(), O_WRONLY);
        ::close(fa);
        ::close(fb);
    });
    Scanner scanner(2, 4096, none, ready());
    for (Item& item : items) scanner.add(item);
    if (!scanner.wait(std::chrono::milliseconds(10000))) {
        // The worker and the writer wait on each other for good: nothing can end them.
        std::fprintf(stderr, "both pipes went to one worker\n");
        std::_Exit(1);
    }
    writer.join();
    for (const Item& item : items) CHECK(item.state == State::hashed && item.bytes == 0);
    ::unlink(a.c_str());
    ::unlink(b.c_str());
}
