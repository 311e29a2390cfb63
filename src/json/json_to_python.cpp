#include "json/json_to_python.h"

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "module/py_ref.h"

namespace calvenor::json {
namespace {

// One str per string id (equal short texts share an id), made on first use; lives for one
// call only. Reuse also lets dicts use the str's cached hash.
class StringTable {
public:
    explicit StringTable(size_t count) : objs_(count, nullptr) {}
    StringTable(const StringTable&) = delete;
    StringTable& operator=(const StringTable&) = delete;
    ~StringTable() {
        for (PyObject* o : objs_) Py_XDECREF(o);
    }

    // New reference to the str of string node n (bytes `text`).
    PyObject* get(const Node& n, std::string_view text) {
        if (!n.interned()) return make(text);
        PyObject*& slot = objs_[n.string_id()];
        if (slot == nullptr) {
            slot = make(text);
            if (slot == nullptr) return nullptr;
        }
        return Py_NewRef(slot);
    }

private:
    static PyObject* make(std::string_view s) {
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    }

    std::vector<PyObject*> objs_;
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
    Converter(const JsonDocument& doc) : doc_(doc), tape_(doc.tape.data()), strings_(doc.string_ids) {}

    // Converts the value at i and moves i past it.
    PyObject* value(size_t& i) {
        const Node& n = tape_[i];
        switch (n.tag()) {
            case Tag::Null: ++i; return Py_NewRef(Py_None);
            case Tag::False: ++i; return Py_NewRef(Py_False);
            case Tag::True: ++i; return Py_NewRef(Py_True);
            case Tag::UInt:
                ++i;
                if (n.payload <= static_cast<uint64_t>(INT64_MAX))
                    return PyLong_FromLongLong(static_cast<long long>(n.payload));
                return PyFloat_FromDouble(static_cast<double>(n.payload));
            case Tag::NegInt: ++i; return PyLong_FromLongLong(static_cast<long long>(n.payload));
            case Tag::Double: ++i; return PyFloat_FromDouble(std::bit_cast<double>(n.payload));
            case Tag::String:
            case Tag::EscString: return string(i++);
            case Tag::Array: return array(i);
            case Tag::Object:
            case Tag::OrderedObject: return object(i);
        }
        return nullptr;
    }

private:
    const JsonDocument& doc_;
    const Node* tape_;
    StringTable strings_;

    PyObject* string(size_t i) { return strings_.get(tape_[i], doc_.string(i)); }

    PyObject* array(size_t& i) {
        const Node& n = tape_[i];
        const size_t count = static_cast<size_t>(n.size());
        const size_t end = static_cast<size_t>(n.payload);
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
        if (!list) return nullptr;
        size_t k = i + 1;
        for (size_t m = 0; m < count; ++m) {
            PyObject* item = value(k);
            if (item == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(m), item);  // steals item
        }
        i = end;
        return list.release();
    }

    PyObject* object(size_t& i) {
        const size_t end = static_cast<size_t>(tape_[i].payload);
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        bool ok = doc_.for_each_member(i, [&](size_t k) {
            size_t v_at = k + 1;
            Ref v = Ref::steal(value(v_at));
            if (!v) return false;
            Ref key = Ref::steal(string(k));
            if (!key) return false;
            return PyDict_SetItem(dict.get(), key.get(), v.get()) == 0;
        });
        if (!ok) return nullptr;
        i = end;
        return dict.release();
    }
};

}  // namespace

PyObject* json_to_python(const JsonDocument& doc) {
    if (doc.tape.empty()) {
        PyErr_SetString(PyExc_ValueError, "empty JSON document");
        return nullptr;
    }
    GcPause pause;
    size_t root = 0;
    return Converter(doc).value(root);
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
