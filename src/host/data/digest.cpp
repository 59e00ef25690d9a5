// The digest of a CSV file's bytes that its attribute file names, so that a
// reader can tell whether the two were written together.
//
// The file is cut into blocks of kDigestBlock bytes by file offset (the last
// one shorter). Each block is hashed on its own: four 64-bit lanes take
// 8-byte words in turn (multiply, rotate, multiply), and are then merged
// with the block's tail and length and mixed. The block hashes are folded in
// file order, and the fold is finished with the file's size. So the blocks
// may be hashed in any order, on any number of threads, and the writer,
// which sees the bytes as a stream, gets what the reader gets from the
// mapped file. It is a check against accidental mixes, not a seal: it is
// fast and not cryptographic.
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstring>

#include "data_internal.h"
#include "vyr_pool.h"

namespace vyr::data
{

namespace
{

constexpr uint64_t kP1 = 0x9E3779B185EBCA87ULL;
constexpr uint64_t kP2 = 0xC2B2AE3D27D4EB4FULL;
constexpr uint64_t kP3 = 0x165667B19E3779F9ULL;
constexpr uint64_t kP4 = 0x85EBCA77C2B2AE63ULL;
constexpr uint64_t kP5 = 0x27D4EB2F165667C5ULL;

inline uint64_t swap_bytes(uint64_t v)
{
    return __builtin_bswap64(v);
}
inline uint32_t swap_bytes(uint32_t v)
{
    return __builtin_bswap32(v);
}

// Words are read little-endian on every machine: a file written on one
// machine has the same digest read on another.
inline uint64_t load64(const char* p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big)
        v = swap_bytes(v);
    return v;
}

inline uint32_t load32(const char* p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big)
        v = swap_bytes(v);
    return v;
}

inline uint64_t lane(uint64_t acc, uint64_t word)
{
    return std::rotl(acc + word * kP2, 31) * kP1;
}

inline uint64_t merge(uint64_t h, uint64_t acc)
{
    h ^= lane(0, acc);
    return h * kP1 + kP4;
}

inline uint64_t mix(uint64_t h)
{
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    h *= kP3;
    h ^= h >> 32;
    return h;
}

} // namespace

uint64_t digest_block(const char* p, size_t n)
{
    const char* const e = p + n;
    uint64_t h;
    if (n >= 32) {
        uint64_t v1 = kP1 + kP2, v2 = kP2, v3 = 0, v4 = 0 - kP1;
        for (; p + 32 <= e; p += 32) {
            v1 = lane(v1, load64(p));
            v2 = lane(v2, load64(p + 8));
            v3 = lane(v3, load64(p + 16));
            v4 = lane(v4, load64(p + 24));
        }
        h = std::rotl(v1, 1) + std::rotl(v2, 7) + std::rotl(v3, 12) + std::rotl(v4, 18);
        h = merge(merge(merge(merge(h, v1), v2), v3), v4);
    } else {
        h = kP5;
    }
    h += static_cast<uint64_t>(n);
    for (; p + 8 <= e; p += 8)
        h = std::rotl(h ^ lane(0, load64(p)), 27) * kP1 + kP4;
    if (p + 4 <= e) {
        h = std::rotl(h ^ (static_cast<uint64_t>(load32(p)) * kP1), 23) * kP2 + kP3;
        p += 4;
    }
    for (; p < e; ++p)
        h = std::rotl(h ^ (static_cast<uint64_t>(static_cast<unsigned char>(*p)) * kP5), 11) * kP1;
    return mix(h);
}

void DigestFold::add(uint64_t block)
{
    h_ = std::rotl(h_ ^ lane(0, block), 27) * kP1 + kP4;
}

uint64_t DigestFold::finish(uint64_t size) const
{
    return mix(h_ ^ lane(0, size));
}

DigestFold::DigestFold() : h_(kP5) {}

uint64_t digest_bytes(const char* p, size_t n)
{
    const size_t blocks = (n + kDigestBlock - 1) / kDigestBlock;
    std::vector<uint64_t> hashes(blocks);
    vyr::parallel_for(blocks, [&](size_t b) {
        const size_t at = b * kDigestBlock;
        hashes[b] = digest_block(p + at, std::min(kDigestBlock, n - at));
    });
    DigestFold fold;
    for (uint64_t h : hashes)
        fold.add(h);
    return fold.finish(n);
}

void DigestStream::update(const char* p, size_t n)
{
    size_ += n;
    while (n > 0) {
        if (pending_.empty() && n >= kDigestBlock) {
            fold_.add(digest_block(p, kDigestBlock));
            p += kDigestBlock;
            n -= kDigestBlock;
            continue;
        }
        const size_t take = std::min(n, kDigestBlock - pending_.size());
        pending_.append(p, take);
        p += take;
        n -= take;
        if (pending_.size() == kDigestBlock) {
            fold_.add(digest_block(pending_.data(), pending_.size()));
            pending_.clear();
        }
    }
}

uint64_t DigestStream::finish() const
{
    DigestFold fold = fold_;
    if (!pending_.empty())
        fold.add(digest_block(pending_.data(), pending_.size()));
    return fold.finish(size_);
}

bool same_bytes_now(const std::string& path, const HeldFolder& from, bool confined, const Table& t,
                    FileStamp& seen)
{
    if (!t.digested)
        return false;
    std::string why;
    const int fd = open_to_read(path.substr(path.rfind('/') + 1), why, &from, nullptr, nullptr,
                                false, confined ? &from : nullptr);
    if (fd < 0)
        return false;
    // As a read of the data set does, its first byte is read before the
    // stamp the whole is checked against is taken: a file system may move
    // the file's time then.
    struct stat st;
    char first;
    std::vector<char> buffer(size_t(1) << 20);
    DigestStream bytes;
    bool same = ::pread(fd, &first, 1, 0) >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const FileStamp before = stamp_of(st);
    while (same) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0) {
            same = n == 0;
            break;
        }
        bytes.update(buffer.data(), static_cast<size_t>(n));
    }
    same = same && ::fstat(fd, &st) == 0 && stamp_of(st) == before && before.may_be(t.settled) &&
           bytes.size() == static_cast<uint64_t>(before.size) && bytes.finish() == t.digest;
    ::close(fd);
    if (same)
        seen = before;
    return same;
}

std::string digest_text(uint64_t digest)
{
    static const char hex[] = "0123456789abcdef";
    std::string s(16, '0');
    for (int i = 15; i >= 0; --i, digest >>= 4)
        s[static_cast<size_t>(i)] = hex[digest & 15];
    return s;
}

} // namespace vyr::data
