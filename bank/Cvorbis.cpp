#include "bank/Cvorbis.h"

#include <vorbis/vorbisfile.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {

// The stream's bytes as the library's data source: reads go to the bank file at offset + pos
// and never past the stream's last byte.
struct Cview {
    int fd;
    int64_t offset;
    int64_t size;
    int64_t pos = 0;
};

size_t readview(void* dest, size_t size, size_t count, void* source)
{
    auto* v = static_cast<Cview*>(source);
    const int64_t left = v->size - v->pos;
    size_t want = size * count;
    if (left <= 0 || want == 0) return 0;
    if (int64_t(want) > left) want = size_t(left);
    ssize_t n;
    do n = ::pread(v->fd, dest, want, off_t(v->offset + v->pos));
    while (n < 0 && errno == EINTR);
    if (n <= 0) return 0;
    v->pos += n;
    return size_t(n) / (size ? size : 1);
}

int seekview(void* source, ogg_int64_t to, int whence)
{
    auto* v = static_cast<Cview*>(source);
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? v->pos : v->size;
    if (to < -base || to > v->size - base) return -1;
    v->pos = base + to;
    return 0;
}

long tellview(void* source) { return long(static_cast<Cview*>(source)->pos); }

const ov_callbacks CALLBACKS = {readview, seekview, nullptr, tellview};

// Owns one open OggVorbis_File.
struct Cfile {
    OggVorbis_File vf;
    Cview view;
    bool open = false;
    Cfile(int fd, int64_t offset, uint32_t bytes) : view{fd, offset, bytes}
    {
        open = ov_open_callbacks(&view, &vf, nullptr, 0, CALLBACKS) == 0;
    }
    ~Cfile()
    {
        if (open) ov_clear(&vf);
    }
};

}  // namespace

std::string Cvorbis::probe(int fd, int64_t offset, uint32_t bytes, uint64_t& points)
{
    points = 0;
    Cfile f(fd, offset, bytes);
    if (!f.open) return "not an Ogg Vorbis stream";
    if (!ov_seekable(&f.vf) || ov_streams(&f.vf) != 1) return "more than one Ogg Vorbis stream";
    const vorbis_info* vi = ov_info(&f.vf, 0);
    if (!vi) return "not an Ogg Vorbis stream";
    if (vi->channels != 1) return std::to_string(vi->channels) + " channels in its Ogg Vorbis stream, not 1";
    const ogg_int64_t total = ov_pcm_total(&f.vf, -1);
    if (total < 0) return "an Ogg Vorbis stream of unknown length";
    // Half the long block per packet, two bytes at least per packet.
    const long longblock = vorbis_info_blocksize(const_cast<vorbis_info*>(vi), 1);
    const uint64_t perbyte = longblock > 0 && longblock <= 8192 ? uint64_t(longblock) / 4 : MAXPERBYTE;
    if (uint64_t(total) > uint64_t(bytes) * perbyte)
        return "an Ogg Vorbis stream claiming more points than its bytes can hold";
    points = uint64_t(total);
    return {};
}

size_t Cvorbis::decode(int fd, int64_t offset, uint32_t bytes, int16_t* dst, size_t want)
{
    Cfile f(fd, offset, bytes);
    if (!f.open || want == 0) return 0;
    constexpr int BIGENDIAN = std::endian::native == std::endian::big;
    size_t made = 0;
    int link = 0;
    while (made < want) {
        const size_t room = (want - made) * 2;
        const long n = ov_read(&f.vf, reinterpret_cast<char*>(dst + made), int(room > 65536 ? 65536 : room), BIGENDIAN,
                               2, 1, &link);
        // 0: the stream ended; below 0: a hole or a packet that does not decode.
        if (n <= 0) break;
        made += size_t(n) / 2;
    }
    return made;
}
