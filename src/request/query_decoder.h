// Form-encoded query strings: splitting into name/value pieces and decoding of one
// component (`+` is a space, `%XX` a byte, the result UTF-8 where valid, else Latin-1).
#pragma once
#include <string>
#include <string_view>

namespace calvenor::request {

// Decodes one name or value. `utf8_text` is the stored query text: its characters below
// U+0100 stand for single bytes, the others for their UTF-8 bytes. `out_utf8` receives
// the decoded text (its previous contents are replaced).
void decode_form_component(std::string_view utf8_text, std::string& out_utf8);

// Same result, without copying when decoding changes nothing (plain ASCII without `+`
// and `%`): then `utf8_text` itself is returned, otherwise a view of `scratch`.
std::string_view decoded_form_component(std::string_view utf8_text, std::string& scratch);

struct QueryPiece {
    std::string_view name;   // raw, still to be decoded
    std::string_view value;  // raw, still to be decoded
};

// Walks the `&`-separated pieces of a query string in order, yielding those that hold
// an `=` (split at the first one). Pieces without `=`, empty ones included, are skipped.
class QuerySplitter {
public:
    explicit QuerySplitter(std::string_view query) noexcept : rest_(query), done_(query.empty()) {}

    // Stores the next piece in `piece`; false when there are no more.
    bool next(QueryPiece& piece) noexcept;

private:
    std::string_view rest_;
    bool done_;
};

}  // namespace calvenor::request
