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
    bool data_in_buffer = false;  // data already copied into the FileBuffer's last buffer
};

// Where a large file's data goes while the splitter is still looking for the end of its
// part, so that the data is read once: searched and copied chunk by chunk.
class FileBuffer {
public:
    // A writable buffer of exactly `size` bytes that replaces any earlier one, or nullptr.
    virtual char* reserve(size_t size) = 0;
    // Drops the buffer of the last reserve.
    virtual void release() = 0;

protected:
    ~FileBuffer() = default;
};

// Yields the pieces of a body around every leftmost, non-overlapping occurrence of the
// delimiter `--` + boundary, in order.
class MultipartSplitter {
public:
    MultipartSplitter(std::string_view body, std::string_view boundary);
    MultipartSplitter(const MultipartSplitter&) = delete;
    MultipartSplitter& operator=(const MultipartSplitter&) = delete;

    bool next(std::string_view& piece);

    // True when the next piece is longer than `head_size()` bytes; `head` is then its
    // first head_size() bytes and the end of the piece is still unknown.
    bool long_piece_head(std::string_view& head);
    size_t head_size() const noexcept;

    // After long_piece_head, for a file part whose data starts at body offset
    // `data_start`: guesses that the piece ends at the last delimiter of the body, and
    // if so fills a buffer from `out` with the data while confirming the guess. True
    // with `data` set and the piece consumed; false leaves the piece to next().
    bool copy_file_data(size_t data_start, FileBuffer& out, std::string_view& data);

private:
    size_t last_delimiter();

    std::string_view body_;
    std::string delimiter_;
    ByteSearcher searcher_;
    size_t cursor_ = 0;       // start of the next piece
    size_t search_from_ = 0;  // no delimiter starts in [cursor_, search_from_)
    size_t found_ = 0;        // start of the delimiter ending the next piece, if known
    bool has_found_ = false;
    bool done_ = false;
    bool guess_ = true;       // wrong guesses cost a copy; one is allowed per body
    bool has_last_ = false;
    size_t last_ = 0;
};

enum class PieceKind { skip, part, end };

// Reads pieces into parts. Decoded header texts live in buffers that are reused from one
// piece to the next, so a parse allocates only while those buffers grow.
class PartReader {
public:
    PieceKind read(std::string_view piece, MultipartPart& part);
    // Reads what can be known from the first bytes of a longer piece: `part` only when
    // the header block lies inside `head` (data then runs to the end of `head`), `end`
    // as read() would; `skip` means undecided.
    PieceKind read_head(std::string_view head, MultipartPart& part);

private:
    PieceKind read_piece(std::string_view piece, MultipartPart& part, bool whole);
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
// returns false or the closing delimiter is reached. With `files`, the data of a large file
// part may arrive already copied into a buffer of `files` (see MultipartPart).
template <class OnPart>
void parse_multipart(std::string_view body, std::string_view boundary, OnPart&& on_part,
                     FileBuffer* files = nullptr) {
    if (body.empty()) return;
    MultipartSplitter pieces(body, boundary);
    PartReader reader;
    MultipartPart part;
    std::string_view piece;
    while (true) {
        std::string_view head;
        if (files != nullptr && pieces.long_piece_head(head)) {
            const PieceKind kind = reader.read_head(head, part);
            if (kind == PieceKind::end) return;
            if (kind == PieceKind::part && part.has_filename &&
                pieces.copy_file_data(static_cast<size_t>(part.data.data() - body.data()), *files, part.data)) {
                part.data_in_buffer = true;
                if (!on_part(static_cast<const MultipartPart&>(part))) return;
                continue;
            }
        }
        if (!pieces.next(piece)) return;
        switch (reader.read(piece, part)) {
            case PieceKind::end:
                return;
            case PieceKind::skip:
                break;
            case PieceKind::part:
                part.data_in_buffer = false;
                if (!on_part(static_cast<const MultipartPart&>(part))) return;
                break;
        }
    }
}

}  // namespace calvenor::request
