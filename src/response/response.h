// The Response record and the native builders that dispatch and the class use.
#pragma once
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "module/py_ref.h"

namespace calvenor {

inline constexpr std::string_view kJsonContentType = "application/json; charset=utf-8";
inline constexpr std::string_view kTextContentType = "text/plain";

// The media type: one of the fixed texts, or an owned copy of a caller's text.
class ContentType {
public:
    static ContentType fixed(std::string_view text) { return ContentType(text); }
    static ContentType copy(std::string_view text) {
        ContentType c;
        c.owned_.assign(text);
        c.is_fixed_ = false;
        return c;
    }
    std::string_view view() const { return is_fixed_ ? fixed_ : std::string_view(owned_); }

    ContentType() = default;

private:
    explicit ContentType(std::string_view f) : fixed_(f) {}
    std::string_view fixed_;
    std::string owned_;
    bool is_fixed_ = true;
};

struct ResponseRecord {
    uint16_t status;
    Ref body;  // always an exact bytes object
    ContentType content_type;
};

// Each builder fills `out` or returns false with an exception set.
bool text_response(std::string_view text, std::optional<uint16_t> status, ResponseRecord& out);
bool json_response(PyObject* value, std::optional<uint16_t> status, ResponseRecord& out);
bool not_found_response(ResponseRecord& out);

// A new Python Response holding the record's fields (moved), or NULL.
PyObject* into_python(ResponseRecord&& record);

}  // namespace calvenor
