// libFuzzer target: multipart parsing never crashes, part texts are valid UTF-8, part data
// lies inside the body, and the fast splitter finds the same pieces as a naive search,
// with every delimiter search kernel the CPU runs.
// Input layout: one byte giving the boundary length (mod 8), the boundary, then the body.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "request/byte_search.h"
#include "request/multipart_parser.h"
#include "request/text_utils.h"
#include "text/unicode_space.h"
#include "text/utf8_valid.h"

using namespace calvenor::request;

namespace {

#define FUZZ_ASSERT(c)              \
    do {                            \
        if (!(c)) std::abort();     \
    } while (0)

std::vector<std::string_view> naive_pieces(std::string_view body, std::string_view delimiter) {
    std::vector<std::string_view> pieces;
    size_t cursor = 0;
    while (true) {
        const size_t at = body.find(delimiter, cursor);
        if (at == std::string_view::npos) break;
        pieces.push_back(body.substr(cursor, at - cursor));
        cursor = at + delimiter.size();
    }
    pieces.push_back(body.substr(cursor));
    return pieces;
}

struct Part {
    std::string name, filename, content_type, data;
    bool has_filename;
    bool operator==(const Part&) const = default;
};

struct VectorFiles final : FileBuffer {
    std::vector<std::string> buffers;
    char* reserve(size_t size) override {
        buffers.emplace_back(size, '\0');
        return buffers.back().data();
    }
    void release() override { buffers.pop_back(); }
};

std::vector<Part> parts_of(std::string_view body, std::string_view boundary, FileBuffer* files) {
    std::vector<Part> out;
    parse_multipart(
        body, boundary,
        [&](const MultipartPart& p) {
            out.push_back({std::string(p.name), std::string(p.filename), std::string(p.content_type),
                           std::string(p.data), p.has_filename});
            return true;
        },
        files);
    return out;
}

// Part data longer than the parser's copy-while-searching threshold: the input is short,
// so a run of filler goes in after the first blank line.
std::string inflate(std::string_view body) {
    std::string out(body);
    size_t at = out.find("\r\n\r\n");
    if (at != std::string::npos) out.insert(at + 4, std::string(5000, 'x'));
    return out;
}

void check_kernel(std::string_view body, std::string_view boundary, const std::vector<std::string_view>& expected) {
    MultipartSplitter splitter(body, boundary);
    std::string_view piece;
    size_t count = 0;
    while (splitter.next(piece)) {
        FUZZ_ASSERT(count < expected.size());
        FUZZ_ASSERT(piece.data() == expected[count].data() && piece.size() == expected[count].size());
        ++count;
    }
    FUZZ_ASSERT(count == expected.size());

    const char* const begin = body.data();
    const char* const end = body.data() + body.size();
    parse_multipart(body, boundary, [&](const MultipartPart& part) {
        FUZZ_ASSERT(part.data.data() >= begin && part.data.data() + part.data.size() <= end);
        FUZZ_ASSERT(calvenor::text::utf8_valid(part.name));
        FUZZ_ASSERT(calvenor::text::utf8_valid(part.filename));
        FUZZ_ASSERT(calvenor::text::utf8_valid(part.content_type));
        FUZZ_ASSERT(part.has_filename || part.filename.empty());
        FUZZ_ASSERT(calvenor::text::trim_unicode_space(part.content_type) == part.content_type);
        return true;
    });

    // Copying file data while searching must give exactly the parts of the plain path.
    for (const std::string& b : {std::string(body), inflate(body)}) {
        VectorFiles files;
        FUZZ_ASSERT(parts_of(b, boundary, &files) == parts_of(b, boundary, nullptr));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t boundary_len = std::min<size_t>(data[0] % 8, input.size());
    const std::string_view boundary = input.substr(0, boundary_len);
    const std::string_view body = input.substr(boundary_len);

    const std::string delimiter = "--" + std::string(boundary);
    const auto expected = naive_pieces(body, delimiter);
    for (const SearchKernel kernel : {SearchKernel::scalar, SearchKernel::avx2, SearchKernel::avx512})
        if (use_search_kernel(kernel)) check_kernel(body, boundary, expected);
    return 0;
}
