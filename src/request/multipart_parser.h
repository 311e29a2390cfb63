// multipart/form-data bodies: splitting at the delimiter and reading each part's header
// block. Everything malformed is skipped; nothing here can fail.
#pragma once
#include <string>
#include <string_view>

#include "request/byte_search.h"

namespace calvenor::request {

// One accepted part. The texts are valid UTF-8; `data` is a view into the body. All views
// stay valid until the next part is read or the parser state is destroyed.
struct MultipartPart {
    std::string_view name;
    bool has_filename = false;
    std::string_view filename;
    std::string_view content_type;  // empty when the part has no Content-Type line
    std::string_view data;
};

// Yields the pieces of a body around every leftmost, non-overlapping occurrence of the
// delimiter `--` + boundary, in order.
class MultipartSplitter {
public:
    MultipartSplitter(std::string_view body, std::string_view boundary);
    MultipartSplitter(const MultipartSplitter&) = delete;
    MultipartSplitter& operator=(const MultipartSplitter&) = delete;

    bool next(std::string_view& piece);

private:
    std::string_view body_;
    std::string delimiter_;
    ByteSearcher searcher_;
    size_t cursor_ = 0;
    bool done_ = false;
};

enum class PieceKind { skip, part, end };

// Reads pieces into parts. Decoded header texts live in buffers that are reused from one
// piece to the next, so a parse allocates only while those buffers grow.
class PartReader {
public:
    PieceKind read(std::string_view piece, MultipartPart& part);

private:
    void read_header_block(std::string_view block);
    void read_disposition(std::string_view value);
    void decode_extended_filename(std::string_view value);

    bool has_name_ = false;
    bool has_filename_ = false;
    std::string_view name_;
    std::string_view filename_;
    std::string_view content_type_;
    std::string header_name_buf_;
    std::string content_type_buf_;
    std::string disposition_buf_;
    std::string filename_bytes_buf_;
    std::string filename_buf_;
};

// Calls `on_part(const MultipartPart&)` for every accepted part, in body order, until it
// returns false or the closing delimiter is reached.
template <class OnPart>
void parse_multipart(std::string_view body, std::string_view boundary, OnPart&& on_part) {
    if (body.empty()) return;
    MultipartSplitter pieces(body, boundary);
    PartReader reader;
    MultipartPart part;
    std::string_view piece;
    while (pieces.next(piece)) {
        switch (reader.read(piece, part)) {
            case PieceKind::end:
                return;
            case PieceKind::skip:
                break;
            case PieceKind::part:
                if (!on_part(static_cast<const MultipartPart&>(part))) return;
                break;
        }
    }
}

}  // namespace calvenor::request
