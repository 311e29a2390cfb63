// What a Request holds: the request exactly as received, decoded only by the accessors.
#pragma once
#include <optional>
#include <string>

#include "module/convert.h"

namespace calvenor::request {

struct RequestRecord {
    std::string method;
    std::string path;
    std::string query_string;
    HeaderList raw_headers;            // order, case and duplicates as received
    std::optional<std::string> body;   // absent until set_body; empty is not absent
};

}  // namespace calvenor::request
