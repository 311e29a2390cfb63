#include "app/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>

namespace calvenor {

namespace {

// ID1 ID2 CM FLG MTIME(4) XFL OS: deflate, no flags, no time, fastest, unknown OS. Written
// by hand because zlib's own gzip wrapper puts the build platform's OS code there.
constexpr unsigned char kHeader[10] = {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0xFF};
constexpr size_t kChunk = 32768;
constexpr int kLevel = 1;
constexpr int kRawWindowBits = -15;
constexpr int kMemLevel = 8;

void put_le32(std::string& out, uint32_t v) {
    const char b[4] = {(char)(v & 0xFF), (char)((v >> 8) & 0xFF), (char)((v >> 16) & 0xFF), (char)(v >> 24)};
    out.append(b, 4);
}

std::string zlib_text(const z_stream& zs, int code) {
    return zs.msg != nullptr ? std::string(zs.msg) : std::string(zError(code));
}

GzipResult failure(const char* prefix, std::string text) {
    GzipResult r;
    r.error = prefix;
    r.error += text;
    return r;
}

struct DeflateEnd {
    void operator()(z_stream* zs) const { deflateEnd(zs); }
};

}  // namespace

GzipResult gzip_compress(std::string_view input) {
    z_stream zs{};
    int rc = deflateInit2(&zs, kLevel, Z_DEFLATED, kRawWindowBits, kMemLevel, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK) return failure("GZip error: ", zlib_text(zs, rc));
    std::unique_ptr<z_stream, DeflateEnd> guard(&zs);

    GzipResult result;
    std::string& out = result.bytes;
    out.append(reinterpret_cast<const char*>(kHeader), sizeof kHeader);
    // On the stack: its pages stay mapped between calls, unlike a fresh heap block.
    unsigned char chunk[kChunk];

    // Runs deflate with `flush` until it is done, moving each filled chunk to `out`: for
    // Z_NO_FLUSH until the input is consumed, for Z_FINISH until the stream ends.
    auto pump = [&](int flush) -> int {
        for (;;) {
            zs.next_out = chunk;
            zs.avail_out = (uInt)kChunk;
            int code = deflate(&zs, flush);
            out.append(reinterpret_cast<const char*>(chunk), kChunk - zs.avail_out);
            if (flush == Z_FINISH) {
                if (code == Z_STREAM_END) return Z_OK;
                if (code != Z_OK) return code;
            } else {
                // Z_BUF_ERROR only says that nothing was left to do.
                if (code != Z_OK && code != Z_BUF_ERROR) return code;
                if (zs.avail_in == 0 && zs.avail_out != 0) return Z_OK;
            }
        }
    };

    // avail_in is 32-bit: feed larger inputs in slices, still without any flush between them.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(input.data());
    size_t left = input.size();
    do {
        size_t n = std::min<size_t>(left, UINT_MAX);
        zs.next_in = const_cast<unsigned char*>(p);
        zs.avail_in = (uInt)n;
        if (int code = pump(Z_NO_FLUSH); code != Z_OK) return failure("GZip error: ", zlib_text(zs, code));
        p += n;
        left -= n;
    } while (left > 0);

    if (int code = pump(Z_FINISH); code != Z_OK) return failure("GZip finish: ", zlib_text(zs, code));

    uLong crc = crc32_z(0L, reinterpret_cast<const Bytef*>(input.data()), input.size());
    put_le32(out, (uint32_t)crc);
    put_le32(out, (uint32_t)(input.size() & 0xFFFFFFFFu));
    return result;
}

}  // namespace calvenor
