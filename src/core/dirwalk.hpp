// Top-down directory walk in the manner of os.walk: each directory is listed whole, its
// subdirectories are pruned by the ignore test before anything below it is listed, its
// files are tested one by one, then its kept subdirectories are entered in listing
// order. Plain C++; the matcher decides whether it may run with the GIL released.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/glob.hpp"

namespace brivel::dirwalk {

class Matcher {
  public:
    virtual ~Matcher() = default;
    // `rel` is the full relative path of the entry (base, directory part, name).
    virtual bool ignored(glob::View rel) = 0;
};

using Decoder = std::function<void(std::string_view bytes, glob::Text& out)>;

// One directory's entries but "." and "..", in the order the system lists them, split as
// os.walk splits them: directories once links are followed (and whether the entry itself
// is a link), and everything else (with the listing's d_type).
struct Listing {
    std::vector<std::string> dirs;
    std::vector<unsigned char> dir_is_link;
    std::vector<std::string> files;
    std::vector<unsigned char> file_type;
};

// Appends the entries of the open directory `fd` to `out`. Returns 0, or the errno that
// made the listing fail: the directory then counts as one that cannot be listed, whatever
// `out` got.
int list(int fd, Listing& out);
// The same for the directory at `path`, opened and closed here; the errno may be the open's.
int list(const std::string& path, Listing& out);

// A file of the directory on top of the walk's current path.
struct File {
    std::string name;           // entry name (bytes)
    glob::Text rel;             // full relative path
    long long size = 0;         // st_size, links followed
    struct stat st {};          // the whole status, links followed
};

enum class Step { file, end };

class Walker {
  public:
    Walker(std::string root, glob::Text base_rel, bool follow_symlinks, Decoder decode);
    ~Walker();
    Walker(const Walker&) = delete;
    Walker& operator=(const Walker&) = delete;

    // Runs the walk up to the next file that passes the ignore, link and stat tests.
    Step next(Matcher& matcher, File& out);

    // The directories on the current path, root first: their ids and entry names (the
    // root's name is the root path itself).
    std::size_t depth() const;
    std::uint64_t id_at(std::size_t level) const;
    const std::string& name_at(std::size_t level) const;

  private:
    struct Frame;
    std::string root_;
    glob::Text base_;
    bool follow_;
    Decoder decode_;
    bool started_ = false;
    std::uint64_t next_id_ = 0;
    std::deque<Frame> stack_;  // the directories on the current path, root first
    glob::Text scratch_;

    bool open_frame(Frame& f, const Frame* parent, const std::string& name);
    bool on_path(dev_t dev, ino_t ino) const;
    void join_rel(const Frame& f, std::string_view name);  // fills scratch_
};

}  // namespace brivel::dirwalk
