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
    // Longest cached text; a hit copies this many bytes, so the output needs the slack.
    static constexpr size_t kMaxText = 32;
    static constexpr size_t kNoSlot = SIZE_MAX;

    MemberNameCache() = default;
    MemberNameCache(const MemberNameCache&) = delete;
    MemberNameCache& operator=(const MemberNameCache&) = delete;
    ~MemberNameCache() {
        if (on_)
            for (PyObject* k : keys_) Py_XDECREF(k);
    }

    // True with the slot of `key` when it is cached; otherwise false with the slot that
    // `fill` should use (kNoSlot while the cache is off). Small documents never switch the
    // cache on, so they do not pay for clearing it.
    bool find(PyObject* key, size_t& slot) {
        if (!on_ && !warm_up()) {
            slot = kNoSlot;
            return false;
        }
        // Linear probing, bounded: a full run evicts the home slot.
        const size_t home = (size_t)(((uintptr_t)key * 0x9E3779B97F4A7C15ull) >> (64 - kBits));
        for (size_t i = 0; i < kProbes; ++i) {
            const size_t s = (home + i) & (kSlots - 1);
            if (keys_[s] == key) {
                slot = s;
                return true;
            }
            if (keys_[s] == nullptr) {
                slot = s;
                return false;
            }
        }
        slot = home;
        return false;
    }
    const char* text(size_t slot) const { return texts_[slot].v; }
    size_t length(size_t slot) const { return lens_[slot]; }

    // Remembers `text` for `key`, an exact str, in the slot `find` gave. The cache holds a
    // reference to the key until the end of the encoding, so its address stays its own.
    void fill(size_t slot, PyObject* key, const char* text, size_t len) {
        if (slot == kNoSlot || len > kMaxText) return;
        Py_INCREF(key);
        Py_XDECREF(keys_[slot]);  // an evicted exact str: freeing it runs no Python code
        keys_[slot] = key;
        lens_[slot] = (uint8_t)len;
        std::memcpy(texts_[slot].v, text, len);
    }

private:
    static constexpr size_t kBits = 8;
    static constexpr size_t kSlots = size_t(1) << kBits;
    static constexpr size_t kProbes = 8;
    static constexpr unsigned kWarmUp = 16;

    bool warm_up() {
        if (++seen_ < kWarmUp) return false;
        for (PyObject*& k : keys_) k = nullptr;
        on_ = true;
        return true;
    }

    bool on_ = false;
    unsigned seen_ = 0;
    // Left uninitialised until the cache switches on.
    PyObject* keys_[kSlots];
    struct Text {
        char v[kMaxText];
    } texts_[kSlots];
    uint8_t lens_[kSlots];
};

}  // namespace calvenor::json
