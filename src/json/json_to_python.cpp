#include "json/json_to_python.h"

#include <cstring>
#include <string>
#include <vector>

#include "module/py_ref.h"

namespace calvenor::json {
namespace {

// Keys repeat across the objects of one document; reusing one str per distinct short key
// saves the decode and lets dicts reuse its cached hash. Lives for one call only.
class KeyCache {
public:
    static constexpr size_t kMaxKeyLen = 32;

    explicit KeyCache(size_t input_size) : input_size_(input_size) {}
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;
    ~KeyCache() {
        for (Slot& s : slots_) Py_XDECREF(s.obj);
    }

    // New reference to a str holding `key`.
    PyObject* get(std::string_view key) {
        if (key.size() > kMaxKeyLen) return make(key);
        if (slots_.empty()) slots_.resize(input_size_ < 4096 ? 64 : 1024);
        Slot& slot = slots_[hash(key) & (slots_.size() - 1)];
        if (slot.obj != nullptr && slot.key.size() == key.size() && same_bytes(slot.key.data(), key.data(), key.size()))
            return Py_NewRef(slot.obj);
        PyObject* obj = make(key);
        if (obj == nullptr) return nullptr;
        Py_XDECREF(slot.obj);
        slot.key = key;
        slot.obj = Py_NewRef(obj);
        return obj;
    }

    static PyObject* make(std::string_view s) {
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    }

private:
    static uint64_t load8(const char* p) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    }

    static uint32_t load4(const char* p) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }

    // Equality of two short byte runs without a libc call.
    static bool same_bytes(const char* a, const char* b, size_t n) {
        if (n >= 8) {
            for (size_t i = 0; i + 8 < n; i += 8)
                if (load8(a + i) != load8(b + i)) return false;
            return load8(a + n - 8) == load8(b + n - 8);
        }
        if (n >= 4) return load4(a) == load4(b) && load4(a + n - 4) == load4(b + n - 4);
        for (size_t i = 0; i < n; ++i)
            if (a[i] != b[i]) return false;
        return true;
    }

    // Head, tail and length of the key; a collision only costs a cache miss.
    static size_t hash(std::string_view k) {
        const char* p = k.data();
        size_t n = k.size();
        uint64_t a, b;
        if (n >= 8) {
            a = load8(p);
            b = load8(p + n - 8);
        } else if (n >= 4) {
            uint32_t x, y;
            std::memcpy(&x, p, 4);
            std::memcpy(&y, p + n - 4, 4);
            a = x;
            b = y;
        } else {
            a = n ? static_cast<unsigned char>(p[0]) | (static_cast<unsigned char>(p[n / 2]) << 8) |
                        (static_cast<unsigned char>(p[n - 1]) << 16)
                  : 0;
            b = 0;
        }
        uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ ((b + n) * 0xC2B2AE3D27D4EB4Full);
        return static_cast<size_t>(h ^ (h >> 32));
    }

    struct Slot {
        std::string_view key;  // bytes in the input or arena, alive for the call
        PyObject* obj = nullptr;
    };
    size_t input_size_;
    std::vector<Slot> slots_;
};

// Collections during the build would only traverse objects that are all still referenced;
// no Python code runs while it is paused, and the previous state comes back afterwards.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()) {}
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }

private:
    int was_enabled_;
};

class Converter {
public:
    Converter(const JsonDocument& doc) : doc_(doc), keys_(doc.input.size()) {}

    PyObject* value(size_t i) {
        const Node& n = doc_.node(i);
        switch (n.tag()) {
            case Tag::Null: return Py_NewRef(Py_None);
            case Tag::False: return Py_NewRef(Py_False);
            case Tag::True: return Py_NewRef(Py_True);
            case Tag::UInt:
                if (n.payload <= static_cast<uint64_t>(INT64_MAX))
                    return PyLong_FromLongLong(static_cast<long long>(n.payload));
                return PyFloat_FromDouble(static_cast<double>(n.payload));
            case Tag::NegInt: return PyLong_FromLongLong(doc_.as_negint(i));
            case Tag::Double: return PyFloat_FromDouble(doc_.as_double(i));
            case Tag::String:
            case Tag::EscString: return keys_.get(doc_.string(i));
            case Tag::Array: return array(i);
            case Tag::Object:
            case Tag::OrderedObject: return object(i);
        }
        return nullptr;
    }

private:
    const JsonDocument& doc_;
    KeyCache keys_;

    PyObject* array(size_t i) {
        const Node& n = doc_.node(i);
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n.size())));
        if (!list) return nullptr;
        size_t k = i + 1;
        for (uint64_t m = 0; m < n.size(); ++m) {
            PyObject* item = value(k);
            if (item == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(m), item);  // steals item
            k = doc_.skip(k);
        }
        return list.release();
    }

    PyObject* object(size_t i) {
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        bool ok = doc_.for_each_member(i, [&](size_t k) {
            Ref v = Ref::steal(value(k + 1));
            if (!v) return false;
            Ref key = Ref::steal(keys_.get(doc_.string(k)));
            if (!key) return false;
            return PyDict_SetItem(dict.get(), key.get(), v.get()) == 0;
        });
        return ok ? dict.release() : nullptr;
    }
};

}  // namespace

PyObject* json_to_python(const JsonDocument& doc) {
    if (doc.tape.empty()) {
        PyErr_SetString(PyExc_ValueError, "empty JSON document");
        return nullptr;
    }
    GcPause pause;
    return Converter(doc).value(0);
}

PyObject* decode_json_body(std::string_view body) {
    JsonDocument doc;
    JsonError err = parse_json(body, doc);
    if (err) {
        std::string text = "Invalid JSON: " + format_json_error(body, err);
        PyErr_SetString(PyExc_ValueError, text.c_str());
        return nullptr;
    }
    return json_to_python(doc);
}

}  // namespace calvenor::json
