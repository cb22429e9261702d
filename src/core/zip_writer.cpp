#include "core/zip_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

#include "core/child_path.hpp"
#include "core/dirwalk.hpp"
#include "core/filereader.hpp"
#include "core/spread.hpp"
#include "core/utf8.hpp"

namespace brivel::zipw {

namespace {

constexpr std::uint32_t kLocalSig = 0x04034b50, kCentralSig = 0x02014b50, kEndSig = 0x06054b50,
                        kEnd64Sig = 0x06064b50, kLocator64Sig = 0x07064b50;
constexpr std::uint16_t kVersion = 20, kVersion64 = 45, kDeflated = 8, kUnixSystem = 3, kUtf8Flag = 0x800;
constexpr std::uint32_t kMax32 = 0xFFFFFFFF;

void put16(std::string& s, std::uint64_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& s, std::uint64_t v) {
    put16(s, v & 0xFFFF);
    put16(s, (v >> 16) & 0xFFFF);
}
void put64(std::string& s, std::uint64_t v) {
    put32(s, v & kMax32);
    put32(s, v >> 32);
}

bool ascii(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

z_stream* zs(void* p) { return static_cast<z_stream*>(p); }

// First output buffer of a member at most, and the unused room it may keep at the end.
constexpr std::uint64_t kFirstRoom = std::uint64_t{1} << 20;
constexpr std::size_t kSlack = std::size_t{64} << 10;

}  // namespace

// ----------------------------------------------------------------------------- Deflater

Deflater::Deflater() : stream_(new z_stream{}) {
    // Raw Deflate (no zlib header), default level and memory: what zipfile asks zlib for.
    if (deflateInit2(zs(stream_), Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        delete zs(stream_);
        throw std::bad_alloc();
    }
}

Deflater::~Deflater() {
    deflateEnd(zs(stream_));
    delete zs(stream_);
}

void Deflater::begin(Member& out, std::uint64_t size_hint) {
    deflateReset(zs(stream_));
    out_ = &out;
    out.crc = static_cast<std::uint32_t>(crc32_z(0, nullptr, 0));
    out.size = 0;
    out.deflated.clear();
    // A small file gets room for its worst case at once; a large one starts smaller and
    // grows, so that what compresses well never holds memory for its uncompressed size.
    std::uint64_t bound = deflateBound(zs(stream_), static_cast<uLong>(std::min<std::uint64_t>(
                                                        size_hint, std::numeric_limits<uLong>::max() / 2)));
    out.deflated.resize(static_cast<std::size_t>(std::min<std::uint64_t>(bound, kFirstRoom)));
    used_ = 0;
}

void Deflater::feed(const void* data, std::size_t n) {
    out_->crc = static_cast<std::uint32_t>(crc32_z(out_->crc, static_cast<const Bytef*>(data), n));
    out_->size += n;
    z_stream* z = zs(stream_);
    z->next_in = static_cast<Bytef*>(const_cast<void*>(data));
    // avail_in is 32 bits wide: hand large blocks over in pieces.
    while (n > 0) {
        std::size_t piece = std::min<std::size_t>(n, std::numeric_limits<uInt>::max());
        z->avail_in = static_cast<uInt>(piece);
        run(Z_NO_FLUSH);
        n -= piece;
    }
}

void Deflater::finish() {
    z_stream* z = zs(stream_);
    z->next_in = nullptr;
    z->avail_in = 0;
    run(Z_FINISH);
    std::string& buf = out_->deflated;
    buf.resize(used_);
    if (buf.capacity() - buf.size() > kSlack) buf.shrink_to_fit();
    out_ = nullptr;
}

void Deflater::run(int flush) {
    z_stream* z = zs(stream_);
    std::string& buf = out_->deflated;
    for (;;) {
        if (used_ == buf.size()) buf.resize(std::max<std::size_t>(buf.size() * 2, 1 << 16));
        std::size_t room = std::min<std::size_t>(buf.size() - used_, std::numeric_limits<uInt>::max());
        z->next_out = reinterpret_cast<Bytef*>(buf.data() + used_);
        z->avail_out = static_cast<uInt>(room);
        int rc = deflate(z, flush);
        used_ += room - z->avail_out;
        if (rc == Z_STREAM_END) return;
        if (rc == Z_STREAM_ERROR) throw std::logic_error("deflate stream error");
        if (flush != Z_FINISH && z->avail_in == 0 && z->avail_out != 0) return;
    }
}

// ------------------------------------------------------------------------------ Archive

void Archive::add(Member&& m) { members_.push_back(std::move(m)); }

std::uint64_t Archive::finish() {
    layout_.clear();
    layout_.reserve(members_.size());
    std::uint64_t offset = 0, central_size = 0;
    for (const Member& m : members_) {
        const std::uint64_t csize = m.deflated.size();
        const std::uint32_t when = dos_datetime(m.mtime);
        const std::uint16_t flags = ascii(m.name) ? 0 : kUtf8Flag;
        const bool big = m.size > zip64_limit_ || csize > zip64_limit_;
        const bool far = offset > zip64_limit_;
        const std::uint16_t version = big || far ? kVersion64 : kVersion;
        Layout l;

        // From "version needed" to the name's length, both records are alike.
        auto put_common = [&](std::string& s, std::uint16_t needed) {
            put16(s, needed);
            put16(s, flags);
            put16(s, kDeflated);
            put16(s, when & 0xFFFF);
            put16(s, when >> 16);
            put32(s, m.crc);
            put32(s, big ? kMax32 : csize);
            put32(s, big ? kMax32 : m.size);
            put16(s, m.name.size());
        };

        std::string& h = l.local;
        put32(h, kLocalSig);
        put_common(h, big ? kVersion64 : kVersion);
        put16(h, big ? 20 : 0);
        h += m.name;
        if (big) {
            put16(h, 1);
            put16(h, 16);
            put64(h, m.size);
            put64(h, csize);
        }

        std::string extra;
        if (big) {
            put64(extra, m.size);
            put64(extra, csize);
        }
        if (far) put64(extra, offset);
        std::string& c = l.central;
        put32(c, kCentralSig);
        put16(c, version | (kUnixSystem << 8));
        put_common(c, version);
        put16(c, extra.empty() ? 0 : 4 + extra.size());
        put16(c, 0);  // comment
        put16(c, 0);  // disk
        put16(c, 0);  // internal attributes
        put32(c, static_cast<std::uint64_t>(m.mode & 0xFFFF) << 16);
        put32(c, far ? kMax32 : offset);
        c += m.name;
        if (!extra.empty()) {
            put16(c, 1);
            put16(c, extra.size());
            c += extra;
        }

        offset += l.local.size() + csize;
        central_size += l.central.size();
        layout_.push_back(std::move(l));
    }

    end_.clear();
    std::uint64_t count = members_.size(), start = offset, size = central_size;
    if (count > count_limit_ || start > zip64_limit_ || size > zip64_limit_) {
        const std::uint64_t record = start + size;
        put32(end_, kEnd64Sig);
        put64(end_, 44);
        put16(end_, kVersion64);
        put16(end_, kVersion64);
        put32(end_, 0);
        put32(end_, 0);
        put64(end_, count);
        put64(end_, count);
        put64(end_, size);
        put64(end_, start);
        put32(end_, kLocator64Sig);
        put32(end_, 0);
        put64(end_, record);
        put32(end_, 1);
        count = std::min<std::uint64_t>(count, 0xFFFF);
        size = std::min<std::uint64_t>(size, kMax32);
        start = std::min<std::uint64_t>(start, kMax32);
    }
    put32(end_, kEndSig);
    put16(end_, 0);
    put16(end_, 0);
    put16(end_, count);
    put16(end_, count);
    put32(end_, size);
    put32(end_, start);
    put16(end_, 0);  // comment
    total_ = offset + central_size + end_.size();
    return total_;
}

void Archive::write_to(unsigned char* out) {
    auto copy = [&out](const std::string& s) {
        std::memcpy(out, s.data(), s.size());
        out += s.size();
    };
    for (std::size_t i = 0; i < members_.size(); ++i) {
        copy(layout_[i].local);
        copy(members_[i].deflated);
        std::string().swap(members_[i].deflated);
    }
    for (const Layout& l : layout_) copy(l.central);
    copy(end_);
}

// ------------------------------------------------------------------------------ helpers

std::uint32_t dos_datetime(std::int64_t mtime) {
    int year = 1980, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    std::tm tm{};
    std::time_t t = static_cast<std::time_t>(mtime);
    if (::localtime_r(&t, &tm) && tm.tm_year + 1900 >= 1980) {
        if (tm.tm_year + 1900 > 2107) {
            year = 2107, month = 12, day = 31, hour = 23, minute = 59, second = 59;
        } else {
            year = tm.tm_year + 1900, month = tm.tm_mon + 1, day = tm.tm_mday;
            hour = tm.tm_hour, minute = tm.tm_min, second = tm.tm_sec;
        }
    }
    std::uint32_t date = static_cast<std::uint32_t>((year - 1980) << 9 | month << 5 | day);
    std::uint32_t time = static_cast<std::uint32_t>(hour << 11 | minute << 5 | second / 2);
    return date << 16 | time;
}

// ---------------------------------------------------------------------- directory walk

namespace {

struct Candidate {
    std::string path, rel;
};

// The files of the tree in walk order; false when `stop` broke the walk off.
bool collect(const std::string& top, std::vector<Candidate>& out, const cancel::Token* stop) {
    struct Dir {
        std::string path, rel;
    };
    std::vector<Dir> stack{{top, ""}};
    while (!stack.empty()) {
        if (stop && stop->stopped()) return false;
        Dir dir = std::move(stack.back());
        stack.pop_back();
        dirwalk::Listing listing;
        if (dirwalk::list(dir.path, listing) != 0) continue;  // contributes nothing
        for (const std::string& name : listing.files)
            out.push_back({child_path::join(dir.path, name), child_path::join(dir.rel, name)});
        // Pushed in reverse, so the first subdirectory is walked first.
        for (std::size_t i = listing.dirs.size(); i-- > 0;)
            if (!listing.dir_is_link[i])
                stack.push_back({child_path::join(dir.path, listing.dirs[i]), child_path::join(dir.rel, listing.dirs[i])});
    }
    return true;
}

enum class Outcome : unsigned char { pending, stored, skipped, failed };

}  // namespace

DirectoryArchive zip_directory(const std::string& top, std::size_t workers, const cancel::Token* stop,
                               std::size_t chunk) {
    DirectoryArchive result;
    std::vector<Candidate> files;
    if (!collect(top, files, stop)) {
        result.failure.kind = DirectoryFailure::cancelled;
        return result;
    }

    std::vector<Member> members(files.size());
    std::vector<Outcome> outcome(files.size(), Outcome::pending);
    std::vector<DirectoryFailure> failures(files.size());
    std::atomic<std::size_t> next{0};
    // The first failure in walk order decides; nothing after it needs reading.
    std::atomic<std::size_t> first_failure{files.size()};
    chunk = std::max<std::size_t>(chunk, 4096);

    auto work = [&] {
        // Made on the first file, so that a failure to allocate them fails that file.
        std::unique_ptr<unsigned char[]> buf;
        std::unique_ptr<Deflater> deflater;
        for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < files.size();) {
            if (i > first_failure.load(std::memory_order_relaxed)) break;
            if (stop && stop->stopped()) break;
            const Candidate& f = files[i];
            auto fail = [&](DirectoryFailure::Kind kind, int err) {
                failures[i] = {kind, err, f.path, f.rel};
                outcome[i] = Outcome::failed;
                std::size_t cur = first_failure.load();
                while (i < cur && !first_failure.compare_exchange_weak(cur, i)) {
                }
            };
            struct stat st {};
            if (::stat(f.path.c_str(), &st) != 0) {
                fail(DirectoryFailure::stat, errno);
                continue;
            }
            if (!S_ISREG(st.st_mode)) {
                outcome[i] = Outcome::skipped;  // a pipe would block, a device may never end
                continue;
            }
            files::FileReader reader;
            if (int err = reader.open(f.path.c_str(), stop)) {
                fail(DirectoryFailure::open, err);
                continue;
            }
            if (!utf8::valid(f.rel)) {  // the only member names zipfile can write
                fail(DirectoryFailure::bad_name, 0);
                continue;
            }
            Member& m = members[i];
            long long got = 0;
            try {
                if (!deflater) {
                    buf.reset(new unsigned char[chunk]);
                    deflater = std::make_unique<Deflater>();
                }
                deflater->begin(m, static_cast<std::uint64_t>(st.st_size));
                while ((got = reader.read(buf.get(), chunk)) > 0) {
                    deflater->feed(buf.get(), static_cast<std::size_t>(got));
                    if (stop && stop->stopped()) {
                        got = -cancel::kCancelled;
                        break;
                    }
                }
                if (got == 0) deflater->finish();
            } catch (const std::bad_alloc&) {
                got = -ENOMEM;
            } catch (const std::exception&) {
                got = -EIO;
            }
            if (got < 0) {
                fail(DirectoryFailure::read, static_cast<int>(-got));
                std::string().swap(m.deflated);
                continue;
            }
            m.name = f.rel;
            m.mode = static_cast<std::uint32_t>(st.st_mode);
            m.mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec);
            outcome[i] = Outcome::stored;
        }
    };
    threads::spread(std::max<std::size_t>(1, std::min(workers, files.size())), stop, work);
    if (stop && stop->requested()) {
        result.failure.kind = DirectoryFailure::cancelled;
        return result;
    }

    for (std::size_t i = 0; i < files.size(); ++i) {
        if (outcome[i] == Outcome::failed) {
            result.failure = std::move(failures[i]);
            return result;
        }
        if (outcome[i] == Outcome::stored) result.archive.add(std::move(members[i]));
    }
    return result;
}

}  // namespace brivel::zipw
