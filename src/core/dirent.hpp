// One entry of a directory listing classified as os.scandir's is_dir() sees it: a
// directory once links are followed, and whether the entry itself is a link. Plain C++.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace brivel::dirent_kind {

// "." and "..", which a walk never lists.
inline bool is_dot(const char* name) {
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

struct Kind {
    bool is_dir = false;   // links followed; a broken link is no directory
    bool is_link = false;  // only tested where is_dir holds
};

// `type` is the listing's d_type; links and unknown types are asked of the file system,
// relative to the listed directory's descriptor `dirfd`.
inline Kind classify(int dirfd, const char* name, unsigned char type) {
    Kind k{type == DT_DIR, type == DT_LNK};
    if (type == DT_LNK || type == DT_UNKNOWN) {
        struct stat st {};
        k.is_dir = ::fstatat(dirfd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        if (type == DT_UNKNOWN && k.is_dir)
            k.is_link = ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
    }
    return k;
}

}  // namespace brivel::dirent_kind
