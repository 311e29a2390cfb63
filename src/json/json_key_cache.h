// Object-key strs kept across decodes: an API decodes the same few keys on every request, and
// a kept str costs an incref instead of a new object and a fresh hash in every dict insert.
// Bounded: a fixed number of slots, two probes per lookup, keyed hash (see short_hash).
#pragma once
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "module/py_ref.h"

namespace calvenor::json {

// New reference to a str equal to `text` (at most kMaxLen bytes of valid UTF-8 whose keyed
// hash is `hash`), taken from the cache or made and remembered; NULL with an exception set
// when the interpreter fails.
Ref cached_key(uint64_t hash, std::string_view text);

inline constexpr size_t kKeyCacheMaxLen = 32;

}  // namespace calvenor::json
