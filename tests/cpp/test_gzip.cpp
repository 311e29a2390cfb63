#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>

#include "app/gzip.h"
#include "check.h"

namespace {

// Inflates a whole gzip member with zlib's own gzip reader; "" plus ok=false on any error.
std::string gunzip(const std::string& member, bool& ok) {
    z_stream zs{};
    ok = false;
    if (inflateInit2(&zs, 16 + 15) != Z_OK) return {};
    zs.next_in = (Bytef*)member.data();
    zs.avail_in = (uInt)member.size();
    std::string out;
    char buf[16384];
    int rc;
    do {
        zs.next_out = (Bytef*)buf;
        zs.avail_out = sizeof buf;
        rc = inflate(&zs, Z_NO_FLUSH);
        out.append(buf, sizeof buf - zs.avail_out);
    } while (rc == Z_OK);
    ok = rc == Z_STREAM_END && zs.avail_in == 0;
    inflateEnd(&zs);
    return out;
}

uint32_t le32(const std::string& s, size_t at) {
    return (uint32_t)(unsigned char)s[at] | (uint32_t)(unsigned char)s[at + 1] << 8 |
           (uint32_t)(unsigned char)s[at + 2] << 16 | (uint32_t)(unsigned char)s[at + 3] << 24;
}

void check_member(const std::string& input) {
    calvenor::GzipResult r = calvenor::gzip_compress(input);
    CHECK(r.ok());
    CHECK(r.bytes.size() >= 18);
    CHECK_EQ(r.bytes.substr(0, 10), std::string("\x1F\x8B\x08\x00\x00\x00\x00\x00\x04\xFF", 10));
    CHECK_EQ(le32(r.bytes, r.bytes.size() - 8), (uint32_t)crc32(0, (const Bytef*)input.data(), (uInt)input.size()));
    CHECK_EQ(le32(r.bytes, r.bytes.size() - 4), (uint32_t)input.size());
    bool ok = false;
    CHECK(gunzip(r.bytes, ok) == input);
    CHECK(ok);
}

}  // namespace

TEST(gzip_empty_input_is_a_valid_member_with_zero_trailer) {
    calvenor::GzipResult r = calvenor::gzip_compress("");
    CHECK(r.ok());
    CHECK_EQ(r.bytes.substr(r.bytes.size() - 8), std::string(8, '\0'));
    check_member("");
}

TEST(gzip_round_trips_small_and_multi_chunk_inputs) {
    check_member("hello, hello, hello");
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + " of a long text\n";
    check_member(text);  // compresses to more than one 32 KiB chunk
    std::mt19937 rng(7);
    std::string noise(300000, '\0');
    for (char& c : noise) c = (char)rng();
    check_member(noise);  // incompressible: output larger than input
}
