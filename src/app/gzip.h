// One gzip member (fixed 10-byte header, raw level-1 deflate, CRC-32 and size trailer)
// around a byte buffer. Pure C++ on zlib; failures come back as values.
#pragma once

#include <string>
#include <string_view>

namespace calvenor {

struct GzipResult {
    std::string bytes;  // the member; empty on failure
    std::string error;  // "GZip error: ..." or "GZip finish: ..."; empty on success

    bool ok() const { return error.empty(); }
};

GzipResult gzip_compress(std::string_view input);

}  // namespace calvenor
