#include "core/dirwalk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstring>
#include <utility>

#include "core/child_path.hpp"

namespace brivel::dirwalk {

namespace {

// How a directory is opened for its listing: what the directory stream's opendir asks for.
constexpr int kOpenFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;

// "." and "..", which a walk never lists.
bool is_dot(const char* name) { return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)); }

// An entry as os.scandir's is_dir() sees it.
struct Kind {
    bool is_dir = false;   // links followed; a broken link is no directory
    bool is_link = false;  // only tested where is_dir holds
};

// `type` is the listing's d_type; links and unknown types are asked of the file system,
// relative to the listed directory's descriptor `dirfd`.
Kind classify(int dirfd, const char* name, unsigned char type) {
    Kind k{type == DT_DIR, type == DT_LNK};
    if (type == DT_LNK || type == DT_UNKNOWN) {
        struct stat st {};
        k.is_dir = ::fstatat(dirfd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        if (type == DT_UNKNOWN && k.is_dir)
            k.is_link = ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
    }
    return k;
}

// An open directory descriptor that moves with its frame and closes with it.
class Fd {
  public:
    Fd() = default;
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    ~Fd() { reset(); }
    Fd& operator=(int fd) {
        reset();
        fd_ = fd;
        return *this;
    }
    operator int() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

}  // namespace

struct Walker::Frame : Listing {
    std::string path;
    std::string name;  // entry name in the parent (the root path for the root)
    glob::Text rel;  // relative to the walked root, "\" turned into "/"
    std::size_t file_i = 0, dir_i = 0;
    bool pruned = false;
    Fd fd;  // open while its files are tested and, near the top, while its children are opened
    dev_t dev = 0;
    ino_t ino = 0;
    std::uint64_t id = 0;

    void close() { fd.reset(); }
};

Walker::Walker(std::string root, glob::Text base_rel, bool follow_symlinks, Decoder decode)
    : root_(std::move(root)), base_(std::move(base_rel)), follow_(follow_symlinks), decode_(std::move(decode)) {}

Walker::~Walker() = default;

namespace {

constexpr std::size_t kOpenAncestors = 64;

}  // namespace

int list(int fd, Listing& out) {
    // The listing is read with getdents64 straight into one buffer: the stdio-like
    // directory stream would add a stat and two fcntl calls per directory.
    alignas(8) static thread_local char buf[32768];
    for (;;) {
        long n = ::getdents64(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        // A directory removed while it is read ends there, as the directory stream has it.
        if (n < 0 && errno == ENOENT) return 0;
        if (n < 0) return errno;
        if (n == 0) return 0;
        for (long off = 0; off < n;) {
            auto* e = reinterpret_cast<struct dirent64*>(buf + off);
            off += e->d_reclen;
            const char* entry = e->d_name;
            if (is_dot(entry)) continue;
            unsigned char type = e->d_type;
            Kind kind = classify(fd, entry, type);
            if (kind.is_dir) {
                out.dirs.emplace_back(entry);
                out.dir_is_link.push_back(kind.is_link);
            } else {
                out.files.emplace_back(entry);
                out.file_type.push_back(type);
            }
        }
    }
}

int list(const std::string& path, Listing& out) {
    const int fd = ::open(path.c_str(), kOpenFlags);
    if (fd < 0) return errno;
    const int err = list(fd, out);
    ::close(fd);
    return err;
}

// Lists a directory whole. A directory that cannot be opened or read is skipped with
// everything below it, as the interpreter's walk does without an error handler.
bool Walker::open_frame(Frame& f, const Frame* parent, const std::string& name) {
    // The interpreter reaches every directory by its full path; one that long cannot be
    // opened there, so it is not opened here either.
    if (f.path.size() >= PATH_MAX) return false;
    int fd = parent && parent->fd >= 0 ? ::openat(parent->fd, name.c_str(), kOpenFlags) : -1;
    if (fd < 0) fd = ::open(f.path.c_str(), kOpenFlags);
    if (fd < 0) return false;
    f.fd = fd;  // closed with the frame
    if (follow_) {
        struct stat st {};
        if (::fstat(fd, &st) != 0) return false;
        f.dev = st.st_dev;
        f.ino = st.st_ino;
        if (on_path(f.dev, f.ino)) return false;  // a link back to a directory being walked
    }
    if (list(fd, f) != 0) return false;
    f.id = ++next_id_;
    return true;
}

bool Walker::on_path(dev_t dev, ino_t ino) const {
    return std::any_of(stack_.begin(), stack_.end(), [&](const Frame& a) { return a.dev == dev && a.ino == ino; });
}

void Walker::join_rel(const Frame& f, std::string_view name) {
    scratch_.clear();
    if (!base_.empty()) {
        scratch_ = base_;
        scratch_ += U'/';
    }
    if (!f.rel.empty()) {
        scratch_ += f.rel;
        scratch_ += U'/';
    }
    decode_(name, scratch_);
}

std::size_t Walker::depth() const { return stack_.size(); }
std::uint64_t Walker::id_at(std::size_t level) const { return stack_[level].id; }
const std::string& Walker::name_at(std::size_t level) const { return stack_[level].name; }

Step Walker::next(Matcher& matcher, File& out) {
    if (!started_) {
        started_ = true;
        Frame root;
        root.path = root_;
        root.name = root_;
        if (open_frame(root, nullptr, root_)) stack_.push_back(std::move(root));
    }
    while (!stack_.empty()) {
        Frame& f = stack_.back();
        if (!f.pruned) {
            std::vector<std::string> dirs;
            std::vector<unsigned char> links;
            for (std::size_t i = 0; i < f.dirs.size(); ++i) {
                join_rel(f, f.dirs[i]);
                if (matcher.ignored(scratch_)) continue;
                dirs.push_back(std::move(f.dirs[i]));
                links.push_back(f.dir_is_link[i]);
            }
            f.dirs = std::move(dirs);
            f.dir_is_link = std::move(links);
            f.pruned = true;
        }
        while (f.file_i < f.files.size()) {
            std::size_t i = f.file_i++;
            const std::string& name = f.files[i];
            join_rel(f, name);
            if (matcher.ignored(scratch_)) continue;
            const int dfd = f.fd;
            struct stat st {};
            // An entry the interpreter could not reach by its full name (too long) and an
            // entry whose link test fails for any reason are skipped like one whose status
            // query fails: one unreadable entry never ends the walk.
            if (f.path.size() + 1 + name.size() >= PATH_MAX) continue;
            if (!follow_) {
                unsigned char type = f.file_type[i];
                if (type == DT_LNK) continue;
                if (type == DT_UNKNOWN &&
                    (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(st.st_mode)))
                    continue;
            }
            if (::fstatat(dfd, name.c_str(), &st, 0) != 0) continue;
            out.name = name;
            out.rel = scratch_;
            out.size = static_cast<long long>(st.st_size);
            out.st = st;
            return Step::file;
        }
        // Ancestors stay open so that children are opened relative to them, up to a depth
        // that keeps well clear of the descriptor limit.
        if (stack_.size() > kOpenAncestors) f.close();
        bool entered = false;
        while (f.dir_i < f.dirs.size()) {
            std::size_t i = f.dir_i++;
            if (!follow_ && f.dir_is_link[i]) continue;
            Frame child;
            child.path = child_path::join(f.path, f.dirs[i]);
            child.name = f.dirs[i];
            child.rel = f.rel;
            if (!child.rel.empty()) child.rel += U'/';
            std::size_t from = child.rel.size();
            decode_(f.dirs[i], child.rel);
            std::replace(child.rel.begin() + static_cast<std::ptrdiff_t>(from), child.rel.end(), U'\\', U'/');
            if (!open_frame(child, &f, f.dirs[i])) continue;
            stack_.push_back(std::move(child));  // f stays in place: the outer loop goes on with the child
            entered = true;
            break;
        }
        if (!entered) stack_.pop_back();  // closes it
    }
    return Step::end;
}

}  // namespace brivel::dirwalk
