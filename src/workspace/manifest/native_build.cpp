#include "workspace/manifest/native_build.hpp"

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/fspath.hpp"
#include "common/gil.hpp"
#include "common/interrupt.hpp"
#include "common/ns.hpp"
#include "core/arena.hpp"
#include "core/cachedoc.hpp"
#include "core/child_path.hpp"
#include "core/dirwalk.hpp"
#include "core/filereader.hpp"
#include "core/filescan.hpp"
#include "core/filewriter.hpp"
#include "core/hash_index.hpp"
#include "core/workers.hpp"
#include "workspace/manifest/hash_pass.hpp"
#include "workspace/manifest/hashing.hpp"
#include "workspace/manifest/ignore.hpp"
#include "workspace/manifest/paths.hpp"
#include "workspace/manifest/walk.hpp"
#include "workspace/state.hpp"

namespace brivel::workspace {

namespace {

using filescan::Item;

// The calling thread waits for the hash workers in slices this long, so that Ctrl-C is
// looked at in between.
constexpr auto kWaitSlice = std::chrono::milliseconds(10);
// The cache document goes to its file in pieces of about this size, never whole in memory.
constexpr std::size_t kWritePiece = 64 * 1024;

// A directory of a walk. Its Path object and the str of its relpath prefix are made on
// first need, for the result.
struct Dir {
    long parent = -1;        // -1 for the walked directory itself
    std::string_view path;   // file-system bytes (in the build's arena)
    std::string_view name;   // entry name in the parent (the path itself for a walked directory)
    glob::Text prefix;       // what a file's relpath holds before its name: base, directory part, "/"
    bool has_prefix = false;
    py::object obj, prefix_str;
};

// An Upload target prefix and how much of a relpath it replaces.
struct Mount {
    py::object prefix;
    std::size_t skip;
};

// A file given as it is (a single-file Upload).
struct External {
    py::object local, rel, to;
    glob::Text text;                             // rel's code points, for the duplicate test
    std::optional<py::error_already_set> error;  // its path could not be encoded
    int stat_error = 0;
};

struct Entry {
    Item item;
    std::uint32_t dir = 0;      // walked files: the directory
    std::uint32_t name_at = 0;  // ... and where the name starts in item.path
    std::int32_t mount = -1;    // ... and the mount, when under one
    std::int32_t external = -1; // files given as they are: index in externals
    mode_t mode = 0;
    bool regular = false;
};

// The hash of an entry's relpath, kept by the build (State::rel_hashes).
struct RelHash {
    const arena::Stable<std::size_t>* hashes;
    std::size_t operator()(std::uint32_t i) const { return (*hashes)[i]; }
};

std::size_t hash_text(glob::View text) { return std::hash<glob::View>{}(text); }

// The new cache document, written beside the old one by a thread of its own while the
// records are made, and renamed over the old one only once the build has its result: a
// build that fails, or is interrupted, leaves the previous document as it was, and no
// reader ever sees half a document. Best effort throughout: a failure of the writer's
// thread (no memory for a piece, say) is dropped by decision, and only means that the old
// document stays.
class DocFile {
  public:
    explicit DocFile(const std::string& path) : path_(path) {
        static std::atomic<unsigned> serial{0};  // two builds of one root in one process
        // Made exclusively: whatever is at a name already (a pipe, a socket, someone's
        // file) is neither opened nor removed, and the next name is tried.
        const std::string stem = path + "." + std::to_string(::getpid()) + ".";
        for (int tries = 0; tries < kNameTries; ++tries) {
            tmp_ = stem + std::to_string(serial++) + ".tmp";
            const int err = file_.create(tmp_.c_str());
            if (err == EEXIST) continue;
            created_ = ok_ = err == 0;
            break;
        }
    }
    ~DocFile() {
        abandoned_.store(true, std::memory_order_relaxed);
        join();
        file_.close();
        if (created_ && !committed_) ::unlink(tmp_.c_str());
    }
    DocFile(const DocFile&) = delete;
    DocFile& operator=(const DocFile&) = delete;

    // Runs `fill(*this)` on the writer's thread (on this one, without the GIL, when the
    // system refuses a thread); it hands its pieces to put().
    template <class Fill>
    void start(Fill fill) {
        const std::function<void()> work = [this, fill] { fill(*this); };
        if (writer_.start(1, work, threads::Workers::Refusal::tolerated) == 0) {
            gil::Release nogil;
            writer_.run(work);
        }
    }
    // False once nothing more is worth writing: a write failed, or the build gave up.
    bool put(const std::string& piece) {
        ok_ = ok_ && !stopped() && file_.write(piece.data(), piece.size()) == 0;
        return ok_;
    }
    // On the writer's thread, once the document is whole: the rename then waits for little.
    void finish() {
        if (ok_) file_.start_writeback();
    }
    void commit() {
        // Ctrl-C while the writer is still at work stops it, and the old document stays.
        interrupt::run([&](const cancel::Token& stop) {
            waiting_.store(&stop, std::memory_order_release);
            writer_.join(&stop);
            waiting_.store(nullptr, std::memory_order_relaxed);
        });
        // A writer that threw left the document short; its exception is not rethrown.
        ok_ = file_.close() == 0 && ok_ && !writer_.failed();
        committed_ = ok_ && ::rename(tmp_.c_str(), path_.c_str()) == 0;
    }

  private:
    static constexpr int kNameTries = 16;
    std::string path_, tmp_;
    files::FileWriter file_;
    bool created_ = false, ok_ = false, committed_ = false;
    std::atomic<bool> abandoned_{false};
    // The stop of commit()'s wait, while it waits: the writer started before it existed.
    std::atomic<const cancel::Token*> waiting_{nullptr};
    threads::Workers writer_;  // last: its thread uses all of the above

    bool stopped() const noexcept {
        const cancel::Token* waiting = waiting_.load(std::memory_order_acquire);
        return abandoned_.load(std::memory_order_relaxed) || (waiting && waiting->requested());
    }
    void join() {
        if (PyGILState_Check()) {
            gil::Release nogil;
            writer_.join();
        } else {
            writer_.join();
        }
    }
};

py::str utf8(std::string_view text) {
    return steal_or_throw<py::str>(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
}

// The str of an ASCII text, written straight into a new compact str.
py::str ascii(std::string_view text) {
    py::str s = steal_or_throw<py::str>(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    std::memcpy(PyUnicode_DATA(s.ptr()), text.data(), text.size());
    return s;
}

// The interpreter's int of a non-negative 128-bit total.
py::object big_int(unsigned __int128 v) {
    if (v <= static_cast<unsigned __int128>(LLONG_MAX)) return py::int_(static_cast<long long>(v));
    std::string digits;
    while (v) {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    }
    return steal_or_throw(PyLong_FromString(digits.c_str(), nullptr, 10));
}

}  // namespace

struct NativeBuild::State {
    glob::RuleSet rules;
    std::string cache_file;  // the cache document's file-system bytes
    cachedoc::Index index;
    std::promise<void> index_loaded;
    std::shared_future<void> index_ready = index_loaded.get_future().share();
    threads::Workers loader;  // reads `index`
    std::optional<filescan::Scanner> scanner;

    arena::Bytes dir_bytes;   // the directories' paths
    arena::Bytes file_bytes;  // the files' paths, in entry order
    std::vector<Dir> dirs;
    std::vector<Mount> mounts;
    std::vector<External> externals;
    arena::Stable<Entry> entries;  // stays in place while the workers hold its items
    // The relpaths taken so far: the hash of each entry's relpath, and the entries by it;
    // texts are compared only when two hashes meet, so no relpath is stored twice.
    arena::Stable<std::size_t> rel_hashes;
    hash_index::HashIndex<RelHash> seen{RelHash{&rel_hashes}, 1024};
    std::size_t sources = 0;       // walks and files given as they are
    unsigned __int128 total = 0;
    std::optional<ChildPaths> paths;

    ~State() {
        scanner.reset();  // joins the workers
        loader.join();
    }

    // The relpath of entry `i` as code points.
    glob::Text rel_text(std::uint32_t i) const {
        const Entry& e = entries[i];
        if (e.external >= 0) return externals[static_cast<std::size_t>(e.external)].text;
        glob::Text text = dirs[e.dir].prefix;
        glob::decode_fs(e.item.path.substr(e.name_at), text);
        return text;
    }

    // A new entry, taken under the relpath of `hash`.
    Entry& take(std::size_t hash) {
        Entry& e = entries.emplace_back();
        rel_hashes.emplace_back() = hash;
        seen.append(hash);
        return e;
    }
    // True when a relpath equal to `text`, of hash `hash`, is taken already.
    bool taken(std::size_t hash, const glob::Text& text) const {
        return seen.find(hash, [&](std::uint32_t i) { return rel_text(i) == text; }).has_value();
    }
    // Hands a regular file to the workers (or settles it from the index).
    void queue(Entry& e) {
        if (e.regular) scanner->add(e.item);
    }

    py::object dir_object(std::uint32_t i) {
        Dir& d = dirs[i];
        if (!d.obj) {
            py::str name = fsdecode(d.name);
            d.obj = d.parent < 0 ? ns::get("Path")(name) : paths->child(dir_object(static_cast<std::uint32_t>(d.parent)), name);
        }
        return d.obj;
    }

    py::object local(const Entry& e) {
        if (e.external >= 0) return externals[static_cast<std::size_t>(e.external)].local;
        return paths->child(dir_object(e.dir), fsdecode(e.item.path.substr(e.name_at)));
    }

    // The entries of the new cache document: those that held, then the new ones, each in
    // order; a file found twice keeps its first place and its last entry. Needs no GIL.
    // `done` tells how many entries, from the first, it no longer reads.
    void document(DocFile& out, std::atomic<std::size_t>& done) const {
        if (document_entries(out, done)) out.finish();
        done.store(entries.size(), std::memory_order_release);
    }
    // False when the document stopped first (DocFile::put).
    bool document_entries(DocFile& out, std::atomic<std::size_t>& done) const {
        cachedoc::Writer writer;
        char hex[64];
        auto put = [&](const Item& item) {
            writer.add(item.path, item.stat_sig, item.hex(hex));
            return writer.pending() < kWritePiece || out.put(writer.take());
        };
        const std::size_t n = entries.size();
        auto listed = [](const Item& item, Item::State pass) { return item.state == pass && item.stat_sig.present(); };
        if (sources > 1) {
            // Only several walks or single files can meet one file twice.
            std::vector<const Item*> order;
            std::unordered_map<std::string_view, std::size_t> place;
            for (Item::State pass : {Item::State::hit, Item::State::hashed})
                for (std::size_t i = 0; i < n; ++i) {
                    const Item& item = entries[i].item;
                    if (!listed(item, pass)) continue;
                    auto [at, fresh] = place.try_emplace(item.path, order.size());
                    if (fresh)
                        order.push_back(&item);
                    else
                        order[at->second] = &item;
                }
            for (const Item* item : order)
                if (!put(*item)) return false;
        } else {
            for (std::size_t i = 0; i < n; ++i)
                if (listed(entries[i].item, Item::State::hit) && !put(entries[i].item)) return false;
            for (std::size_t i = 0; i < n; ++i) {
                if (listed(entries[i].item, Item::State::hashed) && !put(entries[i].item)) return false;
                if ((i & 1023) == 1023) done.store(i + 1, std::memory_order_release);
            }
        }
        return out.put(writer.finish());
    }
};

NativeBuild::NativeBuild(std::unique_ptr<State> state) : s_(std::move(state)) {}
NativeBuild::~NativeBuild() = default;

std::unique_ptr<NativeBuild> NativeBuild::start(py::handle root, py::handle ignore) {
    const ModuleState& mod = state();
    bool own_steps = own("_walk_tree", mod.walk_tree) && own("_resolve_manifest_files", mod.resolve_manifest_files) &&
                     own("_hash_cache_path", mod.hash_cache_path) && own("_load_hash_cache", mod.load_hash_cache) &&
                     own("_stat_signature", mod.stat_signature) && own("_hash_cache_hit", mod.hash_cache_hit) &&
                     own("_sha256_file", mod.sha256_file) && ns::get("Path").is(mod.path_cls) &&
                     py::object(mod.posix_path.attr("stat")).is(mod.path_stat);
    if (!own_steps || !fs_encoding_is_utf8() || !ignore_rules_native() || !PyList_CheckExact(ignore.ptr())) return nullptr;
    auto s = std::make_unique<State>();
    if (!compile_rules(ignore, s->rules)) return nullptr;

    const auto workers = static_cast<std::size_t>(std::max(1LL, ns::get_int("UPLOAD_HASH_WORKERS")));
    s->paths.emplace();
    // The cache document is read and parsed on a thread of its own while the walks start
    // (on this one, without the GIL, when the system refuses a thread).
    s->cache_file = fspath::encode(ns::call("_hash_cache_path", root)).bytes;
    State* raw = s.get();
    const bool load = ns::get_bool("HASH_CACHE_ENABLED");
    const std::function<void()> load_index = [raw, load] {
        try {
            std::string text;
            if (load && files::read_regular(raw->cache_file.c_str(), text) == 0) raw->index.parse(text);
        } catch (...) {
            // Dropped by decision: the cache is best effort, and a document that cannot be
            // held (no memory) counts as a damaged one, an empty index: every file is hashed.
            raw->index.clear();
        }
        raw->index_loaded.set_value();
    };
    if (s->loader.start(1, load_index, threads::Workers::Refusal::tolerated) == 0) {
        gil::Release nogil;
        s->loader.run(load_index);
    }
    s->scanner.emplace(workers, hash_chunk_size(), s->index, s->index_ready);
    return std::unique_ptr<NativeBuild>(new NativeBuild(std::move(s)));
}

void NativeBuild::walk(py::handle dir, py::handle base, py::handle follow, py::handle cap, py::handle mount) {
    State& s = *s_;
    args::exact_str(base, "base_rel");
    const bool follow_links = args::truthy(follow);
    // The cap as a 128-bit bound: none, or one no total can pass, or one any total passes.
    std::optional<__int128> limit;
    if (!cap.is_none()) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(cap.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow <= 0) limit = overflow < 0 ? static_cast<__int128>(LLONG_MIN) : static_cast<__int128>(v);
    }
    std::int32_t mount_index = -1;
    if (mount) {
        const auto skip = static_cast<std::size_t>(PyUnicode_GET_LENGTH(base.ptr())) + 1;
        mount_index = static_cast<std::int32_t>(s.mounts.size());
        s.mounts.push_back({py::reinterpret_borrow<py::object>(mount), skip});
    }
    ++s.sources;

    std::string top = fspath::encode(dir).bytes;
    const auto root_dir = static_cast<std::uint32_t>(s.dirs.size());
    {
        Dir& d = s.dirs.emplace_back();
        d.path = d.name = s.dir_bytes.add(top);
    }
    dirwalk::Walker walker(top, to_text(base), follow_links, &glob::decode_fs);
    NativeRules matcher(s.rules);
    // The walker's directories on its current path, by level: their ids and our index.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> levels;
    std::optional<glob::Text> over_cap;  // the relpath that took the total over the cap

    interrupt::run([&](const cancel::Token& stop) {
        dirwalk::File file;
        for (std::size_t n = 0;; ++n) {
            if ((n & 255) == 255 && stop.stopped()) return;
            if (walker.next(matcher, file) == dirwalk::Step::end) return;
            const std::size_t depth = walker.depth();
            for (std::size_t level = 0; level < depth; ++level) {
                const std::uint64_t id = walker.id_at(level);
                if (level < levels.size() && levels[level].first == id) continue;
                levels.resize(level);
                std::uint32_t index = root_dir;
                if (level > 0) {
                    const std::uint32_t parent = levels[level - 1].second;
                    const std::string& name = walker.name_at(level);
                    Dir d;
                    d.parent = static_cast<long>(parent);
                    const std::string_view above = s.dirs[parent].path;
                    d.path = s.dir_bytes.add(above, child_path::separator(above), name);
                    d.name = d.path.substr(d.path.size() - name.size());
                    index = static_cast<std::uint32_t>(s.dirs.size());
                    s.dirs.push_back(std::move(d));
                }
                levels.emplace_back(id, index);
            }
            levels.resize(depth);

            s.total += static_cast<unsigned __int128>(file.size);
            if (limit && static_cast<__int128>(s.total) > *limit) {
                over_cap = file.rel;
                return;
            }
            const std::size_t hash = hash_text(file.rel);
            if (s.taken(hash, file.rel)) continue;  // the first file under a relpath wins
            const std::uint32_t at = levels.back().second;
            Dir& d = s.dirs[at];
            if (!d.has_prefix) {
                // A name holds no "/": the relpath's last "/" ends the directory's part.
                const std::size_t slash = file.rel.rfind(U'/');
                d.prefix = slash == glob::Text::npos ? glob::Text() : file.rel.substr(0, slash + 1);
                d.has_prefix = true;
            }
            Entry& e = s.take(hash);
            e.item.path = s.file_bytes.add(d.path, child_path::separator(d.path), file.name);
            e.name_at = static_cast<std::uint32_t>(e.item.path.size() - file.name.size());
            e.item.stat_sig = cachedoc::signature_of(file.st);
            e.mode = file.st.st_mode;
            e.regular = S_ISREG(file.st.st_mode);
            e.dir = at;
            e.mount = mount_index;
            s.queue(e);
        }
    });
    s.scanner->flush();
    if (over_cap) raise_too_large(cap, from_text(*over_cap));
}

void NativeBuild::add_file(py::handle local, py::handle relpath, py::handle to) {
    State& s = *s_;
    args::exact_str(relpath, "relpath");
    args::exact_str(to, "to", true);
    ++s.sources;
    glob::Text text = to_text(relpath);
    const std::size_t hash = hash_text(text);
    if (s.taken(hash, text)) return;
    Entry& e = s.take(hash);
    e.external = static_cast<std::int32_t>(s.externals.size());
    External& x = s.externals.emplace_back();
    x.local = py::reinterpret_borrow<py::object>(local);
    x.rel = py::reinterpret_borrow<py::object>(relpath);
    x.to = py::reinterpret_borrow<py::object>(to);
    x.text = std::move(text);
    try {
        e.item.path = s.file_bytes.add(fspath::encode(local).bytes);
    } catch (py::error_already_set& err) {
        x.error = std::move(err);  // raised where the stat pass reaches the file
        return;
    }
    struct stat st {};
    {
        gil::Release nogil;
        x.stat_error = ::stat(e.item.path.data(), &st) == 0 ? 0 : errno;
    }
    if (x.stat_error) return;
    e.item.stat_sig = cachedoc::signature_of(st);
    e.mode = st.st_mode;
    e.regular = S_ISREG(st.st_mode);
    s.queue(e);
}

py::object NativeBuild::total() const { return big_int(s_->total); }

py::list NativeBuild::files() {
    State& s = *s_;
    interrupt::run([&](const cancel::Token& stop) {
        while (!s.scanner->wait(kWaitSlice) && !stop.stopped()) {
        }
    });
    s.scanner.reset();
    {
        // What only the workers needed is given back to the system before the result is
        // made, so that the build's peak stays near the size of its result.
        gil::Release nogil;
        s.index.clear();
        s.seen.clear();  // no file is added any more
        s.rel_hashes.clear();
        ::malloc_trim(0);
    }

    // Files the stat pass leaves out, then files that could not be hashed, each in order.
    for (std::size_t i = 0; i < s.entries.size(); ++i) {
        Entry& e = s.entries[i];
        if (e.external >= 0) {
            External& x = s.externals[static_cast<std::size_t>(e.external)];
            if (x.error) throw std::move(*x.error);
            if (x.stat_error) {
                warn_unreadable(x.local, errors::os_error(x.stat_error, to_str(x.local)));
                continue;
            }
        }
        if (!e.regular) warn_unreadable(s.local(e), not_regular());
    }
    for (std::size_t i = 0; i < s.entries.size(); ++i) {
        const Entry& e = s.entries[i];
        if (e.item.state != Item::State::failed) continue;
        py::object local = s.local(e);
        // As the interpreter reports them: a failed open names the file, a failed read does not.
        py::object name = e.item.read_error ? py::none() : py::object(to_str(local));
        warn_unreadable(local, errors::os_error(e.item.error, name));
    }

    // The cache document is written while the records are made; it replaces the old one
    // only once they all were.
    std::optional<DocFile> doc;
    std::atomic<std::size_t> written{0};  // entries the writer is done with
    if (ns::get_bool("HASH_CACHE_ENABLED")) {
        doc.emplace(s.cache_file);
        const State* done = &s;
        doc->start([done, &written](DocFile& out) { done->document(out, written); });
    } else {
        written.store(s.entries.size());
    }

    py::list files;
    py::object none = py::none();
    char hex[64];
    for (std::size_t i = 0; i < s.entries.size(); ++i) {
        const Entry& e = s.entries[i];
        const Item::State state = e.item.state;
        if (state != Item::State::hit && state != Item::State::hashed) continue;
        py::object local, rel, to = none;
        if (e.external >= 0) {
            const External& x = s.externals[static_cast<std::size_t>(e.external)];
            local = x.local;
            rel = x.rel;
            to = x.to;
        } else {
            Dir& d = s.dirs[e.dir];
            py::str name = fsdecode(e.item.path.substr(e.name_at));
            local = s.paths->child(s.dir_object(e.dir), name);
            if (d.prefix.empty()) {
                rel = name;
            } else {
                if (!d.prefix_str) d.prefix_str = from_text(d.prefix);
                rel = concat(d.prefix_str, name);
            }
            if (e.mount >= 0) {
                const Mount& m = s.mounts[static_cast<std::size_t>(e.mount)];
                py::object tail = rel[py::slice(static_cast<Py_ssize_t>(m.skip), PY_SSIZE_T_MAX, 1)];
                to = concat(concat(m.prefix, py::str("/")), tail);
            }
        }
        py::str sha = e.item.stored ? utf8(*e.item.stored) : ascii(e.item.hex(hex));
        py::int_ size(static_cast<unsigned long long>(e.item.bytes));
        files.append(record(rel, sha, size, py::int_(e.mode & 0777), local, to));
        // What the records now hold is let go block by block, once the writer is done with
        // it too: the build's peak stays near the size of its result.
        const std::size_t free_below = std::min(i, written.load(std::memory_order_acquire));
        s.entries.release_before(free_below);
        s.file_bytes.release_before(s.entries[free_below].item.path);
    }

    // The switch is read again: a document is kept only when the cache is still on. (One
    // switched on meanwhile gets none: the records no longer hold what it would need.)
    if (doc && ns::get_bool("HASH_CACHE_ENABLED")) doc->commit();
    return files;
}

}  // namespace brivel::workspace
