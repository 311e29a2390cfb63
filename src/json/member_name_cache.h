// Written member names ("name": without the separator before it) of the str keys met while
// encoding one value. Documents repeat a few key objects many times over (json.loads shares
// equal keys, code uses literals), so a key seen before costs a pointer compare and a copy
// instead of a UTF-8 lookup and an escape scan.
#pragma once
#include <Python.h>

#include <cstdint>
#include <cstring>

namespace calvenor::json {

class MemberNameCache {
public:
    // Longest cached text; the copy is always this long, so the output needs the slack.
    static constexpr size_t kMaxText = 32;

    MemberNameCache() = default;
    MemberNameCache(const MemberNameCache&) = delete;
    MemberNameCache& operator=(const MemberNameCache&) = delete;
    ~MemberNameCache() {
        if (on_)
            for (const Slot& s : slots_) Py_XDECREF(s.key);
    }

    // The cached text of `key`, or nullptr. Small documents never switch the cache on, so
    // they do not pay for clearing it.
    const char* find(PyObject* key, size_t& len) {
        if (!on_) {
            if (++seen_ < kWarmUp) return nullptr;
            for (Slot& s : slots_) s.key = nullptr;
            on_ = true;
        }
        const Slot& s = slots_[index(key)];
        if (s.key != key) return nullptr;
        len = s.len;
        return s.text;
    }

    // Remembers the text written for `key`, an exact str. The cache holds a reference to it
    // until the end of the encoding, so its address cannot be reused by another object.
    void add(PyObject* key, const char* text, size_t len) {
        if (!on_ || len > kMaxText) return;
        Slot& s = slots_[index(key)];
        Py_INCREF(key);
        Py_XDECREF(s.key);
        s.key = key;
        s.len = (uint8_t)len;
        std::memcpy(s.text, text, len);
    }

private:
    static constexpr size_t kSlots = 128;
    static constexpr unsigned kWarmUp = 16;
    static size_t index(PyObject* key) {
        const uintptr_t a = (uintptr_t)key;
        return ((a >> 4) ^ (a >> 11)) & (kSlots - 1);
    }

    struct Slot {
        PyObject* key;
        char text[kMaxText];
        uint8_t len;
    };
    bool on_ = false;
    unsigned seen_ = 0;
    Slot slots_[kSlots];  // cleared when switched on
};

}  // namespace calvenor::json
