#include "request/multipart_parser.h"

#include <cstring>

#include "request/text_utils.h"

namespace calvenor::request {
namespace {

int hex_value(unsigned char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

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

}  // namespace

MultipartSplitter::MultipartSplitter(std::string_view body, std::string_view boundary)
    : body_(body), delimiter_(make_delimiter(boundary)), searcher_(delimiter_) {}

bool MultipartSplitter::next(std::string_view& piece) {
    if (done_) return false;
    const size_t at = searcher_.find(body_, cursor_);
    if (at == ByteSearcher::npos) {
        piece = body_.substr(cursor_);
        done_ = true;
    } else {
        piece = body_.substr(cursor_, at - cursor_);
        cursor_ = at + delimiter_.size();
    }
    return true;
}

PieceKind PartReader::read(std::string_view piece, MultipartPart& part) {
    if (piece.size() < 2) return PieceKind::skip;
    if (piece[0] == '-' && piece[1] == '-') return PieceKind::end;
    if (starts_with_crlf(piece)) piece.remove_prefix(2);
    if (piece.size() < 4) return PieceKind::skip;
    const size_t blank = find_blank_line(piece);
    if (blank == std::string_view::npos) return PieceKind::skip;
    std::string_view data = piece.substr(blank + 4);
    if (ends_with_crlf(data)) data.remove_suffix(2);

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
        const std::string_view name = trim_unicode_ws(lossy_utf8(raw_name, header_name_buf_));
        if (ascii_iequals(name, "content-type")) {
            content_type_ = trim_unicode_ws(lossy_utf8(line, content_type_buf_));
        } else if (ascii_iequals(name, "content-disposition")) {
            read_disposition(trim_unicode_ws(lossy_utf8(line, disposition_buf_)));
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
        std::string_view segment = trim_unicode_ws(cut(value, ';', more));
        bool has_eq;
        const std::string_view raw_key = cut(segment, '=', has_eq);
        if (!has_eq) continue;
        const std::string_view key = trim_unicode_ws(raw_key);
        std::string_view param = trim_unicode_ws(segment);
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
            const int hi = hex_value(static_cast<unsigned char>(value[i + 1]));
            const int lo = hex_value(static_cast<unsigned char>(value[i + 2]));
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
