#include "request/multipart_parser.h"

#include <algorithm>
#include <cstring>

#include "request/text_utils.h"
#include "text/hex_digit.h"
#include "text/unicode_space.h"

namespace calvenor::request {
namespace {

bool starts_with_crlf(std::string_view s) noexcept {
    return s.size() >= 2 && s[0] == '\r' && s[1] == '\n';
}

bool ends_with_crlf(std::string_view s) noexcept {
    return s.size() >= 2 && s[s.size() - 2] == '\r' && s[s.size() - 1] == '\n';
}

// Splits `s` at the first `sep`: `s` keeps what follows, the result is what precedes.
// Without `sep`, the whole of `s` is returned and `s` becomes empty with `found` false.
std::string_view cut(std::string_view& s, char sep, bool& found) noexcept {
    const void* at = s.empty() ? nullptr : std::memchr(s.data(), sep, s.size());
    found = at != nullptr;
    if (!found) {
        std::string_view all = s;
        s = {};
        return all;
    }
    const size_t i = static_cast<const char*>(at) - s.data();
    std::string_view head = s.substr(0, i);
    s.remove_prefix(i + 1);
    return head;
}

std::string make_delimiter(std::string_view boundary) {
    std::string delimiter;
    delimiter.reserve(boundary.size() + 2);
    delimiter.append("--").append(boundary);
    return delimiter;
}

// The header block of a long piece must lie in its first kHeadSize bytes for the copy
// to overlap the search.
constexpr size_t kHeadSize = 4096;
// Larger data is bound by memory, where one plain copy after the search costs about as
// much and a wrong guess would cost more.
constexpr size_t kMaxGuess = 4 << 20;
// How far before the end of the body the last delimiter is looked for.
constexpr size_t kTail = 64;

}  // namespace

MultipartSplitter::MultipartSplitter(std::string_view body, std::string_view boundary)
    : body_(body), delimiter_(make_delimiter(boundary)), searcher_(delimiter_) {}

bool MultipartSplitter::next(std::string_view& piece) {
    if (done_) return false;
    const size_t at = has_found_ ? found_ : searcher_.find(body_, search_from_);
    has_found_ = false;
    if (at == ByteSearcher::npos) {
        piece = body_.substr(cursor_);
        done_ = true;
    } else {
        piece = body_.substr(cursor_, at - cursor_);
        cursor_ = search_from_ = at + delimiter_.size();
    }
    return true;
}

size_t MultipartSplitter::head_size() const noexcept {
    // At least the needle length, so that split searches stay linear.
    return std::max(kHeadSize, delimiter_.size());
}

bool MultipartSplitter::long_piece_head(std::string_view& head) {
    if (done_ || has_found_) return false;
    const size_t m = delimiter_.size();
    const size_t window = head_size();
    if (body_.size() - cursor_ < window + m) return false;
    const size_t at = searcher_.find(body_, search_from_, cursor_ + window);
    if (at != ByteSearcher::npos) {
        found_ = at;
        has_found_ = true;
        return false;
    }
    search_from_ = cursor_ + window + 1;
    head = body_.substr(cursor_, window);
    return true;
}

size_t MultipartSplitter::last_delimiter() {
    if (!has_last_) {
        has_last_ = true;
        last_ = ByteSearcher::npos;
        const size_t m = delimiter_.size();
        if (body_.size() >= m) {
            const size_t top = body_.size() - m;
            const size_t low = top > kTail ? top - kTail : 0;
            for (size_t s = top + 1; s-- > low;) {
                if (std::memcmp(body_.data() + s, delimiter_.data(), m) == 0) {
                    last_ = s;
                    break;
                }
            }
        }
    }
    return last_;
}

bool MultipartSplitter::copy_file_data(size_t data_start, FileBuffer& out, std::string_view& data) {
    if (!guess_) return false;
    const size_t end = last_delimiter();
    if (end == ByteSearcher::npos || end < search_from_ || end - data_start > kMaxGuess) return false;
    size_t data_end = end;
    if (end - data_start >= 2 && body_[end - 2] == '\r' && body_[end - 1] == '\n') data_end -= 2;
    char* const buffer = out.reserve(data_end - data_start);
    if (buffer == nullptr) {
        guess_ = false;
        return false;
    }
    // Starts below search_from_ are ruled out already: plain copy; then search and copy
    // together up to the end of the data, and search the at most two starts after it.
    const size_t known = std::min(search_from_, data_end);
    std::memcpy(buffer, body_.data() + data_start, known - data_start);
    size_t at = ByteSearcher::npos;
    if (data_end > search_from_) at = searcher_.find_copying(body_, search_from_, data_end - 1, buffer + (known - data_start));
    if (at == ByteSearcher::npos && end > known) at = searcher_.find(body_, std::max(search_from_, data_end), end - 1);
    if (at != ByteSearcher::npos) {
        // An earlier delimiter: the guess was wrong.
        found_ = at;
        has_found_ = true;
        guess_ = false;
        out.release();
        return false;
    }
    cursor_ = search_from_ = end + delimiter_.size();
    data = body_.substr(data_start, data_end - data_start);
    return true;
}

PieceKind PartReader::read(std::string_view piece, MultipartPart& part) { return read_piece(piece, part, true); }

PieceKind PartReader::read_head(std::string_view head, MultipartPart& part) { return read_piece(head, part, false); }

PieceKind PartReader::read_piece(std::string_view piece, MultipartPart& part, bool whole) {
    if (piece.size() < 2) return PieceKind::skip;
    if (piece[0] == '-' && piece[1] == '-') return PieceKind::end;
    if (starts_with_crlf(piece)) piece.remove_prefix(2);
    if (piece.size() < 4) return PieceKind::skip;
    const size_t blank = find_blank_line(piece);
    if (blank == std::string_view::npos) return PieceKind::skip;
    std::string_view data = piece.substr(blank + 4);
    if (whole && ends_with_crlf(data)) data.remove_suffix(2);

    has_name_ = false;
    has_filename_ = false;
    name_ = filename_ = content_type_ = {};
    read_header_block(piece.substr(0, blank));
    if (!has_name_) return PieceKind::skip;

    part.name = name_;
    part.has_filename = has_filename_;
    part.filename = has_filename_ ? filename_ : std::string_view();
    part.content_type = content_type_;
    part.data = data;
    return PieceKind::part;
}

void PartReader::read_header_block(std::string_view block) {
    bool more = true;
    while (more) {
        std::string_view line = cut(block, '\n', more);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        bool has_colon;
        const std::string_view raw_name = cut(line, ':', has_colon);
        if (!has_colon) continue;
        const std::string_view name = text::trim_unicode_space(lossy_utf8(raw_name, header_name_buf_));
        if (ascii_iequals(name, "content-type")) {
            content_type_ = text::trim_unicode_space(lossy_utf8(line, content_type_buf_));
        } else if (ascii_iequals(name, "content-disposition")) {
            read_disposition(text::trim_unicode_space(lossy_utf8(line, disposition_buf_)));
        }
    }
}

void PartReader::read_disposition(std::string_view value) {
    // Both roles are replaced, even when this line names only one of them.
    has_name_ = false;
    has_filename_ = false;
    name_ = filename_ = {};
    bool more = true;
    while (more) {
        std::string_view segment = text::trim_unicode_space(cut(value, ';', more));
        bool has_eq;
        const std::string_view raw_key = cut(segment, '=', has_eq);
        if (!has_eq) continue;
        const std::string_view key = text::trim_unicode_space(raw_key);
        std::string_view param = text::trim_unicode_space(segment);
        if (param.size() >= 2 && param.front() == '"' && param.back() == '"') {
            param = param.substr(1, param.size() - 2);
        }
        if (ascii_iequals(key, "name")) {
            name_ = param;
            has_name_ = true;
        } else if (ascii_iequals(key, "filename")) {
            filename_ = param;
            has_filename_ = true;
        } else if (ascii_iequals(key, "filename*")) {
            decode_extended_filename(param);
            has_filename_ = true;
        }
    }
}

void PartReader::decode_extended_filename(std::string_view value) {
    const size_t quotes = value.find("''");
    if (quotes != std::string_view::npos) value.remove_prefix(quotes + 2);
    std::string& bytes = filename_bytes_buf_;
    bytes.clear();
    const size_t n = value.size();
    for (size_t i = 0; i < n; ++i) {
        if (value[i] == '%' && i + 2 < n) {
            const int hi = text::hex_value(static_cast<unsigned char>(value[i + 1]));
            const int lo = text::hex_value(static_cast<unsigned char>(value[i + 2]));
            if (hi >= 0 && lo >= 0) {
                bytes.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        bytes.push_back(value[i]);
    }
    filename_ = lossy_utf8(bytes, filename_buf_);
}

}  // namespace calvenor::request
