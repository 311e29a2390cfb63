#include "json/json_to_python.h"

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
        uint64_t h = 1469598103934665603ull;
        for (unsigned char c : key) h = (h ^ c) * 1099511628211ull;
        Slot& slot = slots_[(h ^ (h >> 29)) & (slots_.size() - 1)];
        if (slot.obj != nullptr && slot.key == key) return Py_NewRef(slot.obj);
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
    struct Slot {
        std::string_view key;  // bytes in the input or arena, alive for the call
        PyObject* obj = nullptr;
    };
    size_t input_size_;
    std::vector<Slot> slots_;
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
            case Tag::EscString: return KeyCache::make(doc_.string(i));
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
