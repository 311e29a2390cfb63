// The JSON code's name for the one strict UTF-8 check.
#pragma once
#include "text/utf8_valid.h"

namespace calvenor::json {

using text::utf8_valid;

}  // namespace calvenor::json
