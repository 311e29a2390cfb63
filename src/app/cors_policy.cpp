#include "app/cors_policy.h"

#include <algorithm>
#include <utility>

namespace calvenor {

namespace {

// UTF-8 forms of the Unicode White_Space characters outside ASCII.
constexpr std::string_view kWideSpaces[] = {
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
    "\xE3\x80\x80",
};

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Length of the white-space character that `text` starts with, or 0.
size_t leading_space(std::string_view text) {
    if (text.empty()) return 0;
    if (is_ascii_space(text.front())) return 1;
    if ((unsigned char)text.front() < 0x80) return 0;
    for (std::string_view s : kWideSpaces)
        if (text.starts_with(s)) return s.size();
    return 0;
}

// Length of the white-space character that `text` ends with, or 0. A lead byte never
// occurs as a continuation byte, so a suffix match always starts on a character boundary.
size_t trailing_space(std::string_view text) {
    if (text.empty()) return 0;
    if (is_ascii_space(text.back())) return 1;
    if ((unsigned char)text.back() < 0x80) return 0;
    for (std::string_view s : kWideSpaces)
        if (text.ends_with(s)) return s.size();
    return 0;
}

}  // namespace

std::string_view trim_unicode_space(std::string_view text) {
    while (size_t n = leading_space(text)) text.remove_prefix(n);
    while (size_t n = trailing_space(text)) text.remove_suffix(n);
    return text;
}

std::vector<std::string> split_origins(std::string_view text) {
    std::vector<std::string> out;
    out.reserve((size_t)std::count(text.begin(), text.end(), ',') + 1);
    for (;;) {
        size_t comma = text.find(',');
        out.emplace_back(trim_unicode_space(text.substr(0, comma)));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return out;
}

void CorsPolicy::set(std::optional<std::string_view> origins_text, std::optional<std::string_view> methods_text,
                     std::optional<std::string_view> headers_text, std::optional<std::string_view> max_age_text) {
    // Everything that can fail happens before the first field changes.
    std::vector<std::string> new_origins =
        origins_text ? split_origins(*origins_text) : std::vector<std::string>{std::string(kCorsWildcard)};
    std::string new_methods(methods_text.value_or(kDefaultCorsMethods));
    std::string new_headers(headers_text.value_or(kDefaultCorsHeaders));
    std::string new_max_age(max_age_text.value_or(kDefaultCorsMaxAge));

    wildcard = std::find(new_origins.begin(), new_origins.end(), kCorsWildcard) != new_origins.end();
    origins = std::move(new_origins);
    methods = std::move(new_methods);
    headers = std::move(new_headers);
    max_age = std::move(new_max_age);
}

bool CorsPolicy::allows(std::string_view origin) const {
    if (wildcard) return true;
    return std::find(origins.begin(), origins.end(), origin) != origins.end();
}

}  // namespace calvenor
