#include "request/multipart_to_python.h"

#include <utility>

#include "request/multipart_parser.h"
#include "request/py_grouping.h"

namespace calvenor::request {
namespace {

// A bytes object that the parser fills while it searches for the end of a large file.
class BytesBuffer final : public FileBuffer {
public:
    char* reserve(size_t size) override {
        bytes_ = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!bytes_) {
            // Only a guess failed; the exact size is allocated again the ordinary way.
            PyErr_Clear();
            return nullptr;
        }
        return PyBytes_AsString(bytes_.get());
    }
    void release() override { bytes_ = {}; }
    Ref take() { return std::move(bytes_); }

private:
    Ref bytes_;
};

// The file entry (filename, content_type, data); the data is copied straight into bytes,
// unless the parser already did so.
Ref new_file_entry(const MultipartPart& part, BytesBuffer& buffer) {
    Ref filename = new_str(part.filename);
    if (!filename) return {};
    Ref content_type = new_str(part.content_type);
    if (!content_type) return {};
    Ref data = part.data_in_buffer ? buffer.take()
                                   : Ref::steal(PyBytes_FromStringAndSize(
                                         part.data.data(), static_cast<Py_ssize_t>(part.data.size())));
    if (!data) return {};
    return Ref::steal(PyTuple_Pack(3, filename.get(), content_type.get(), data.get()));
}

// Field values decode with the interpreter's own lossy UTF-8, which is the same mapping
// and saves an intermediate copy.
Ref new_field_value(const MultipartPart& part) {
    return Ref::steal(
        PyUnicode_DecodeUTF8(part.data.data(), static_cast<Py_ssize_t>(part.data.size()), "replace"));
}

}  // namespace

PyObject* multipart_to_python(std::optional<std::string_view> body, std::string_view boundary) {
    Ref fields = Ref::steal(PyDict_New());
    if (!fields) return nullptr;
    Ref files = Ref::steal(PyDict_New());
    if (!files) return nullptr;
    bool failed = false;
    BytesBuffer buffer;
    if (body) {
        parse_multipart(*body, boundary, [&](const MultipartPart& part) {
            Ref name = new_str(part.name);
            Ref item = !name ? Ref() : part.has_filename ? new_file_entry(part, buffer) : new_field_value(part);
            failed = !item || !append_to_group(part.has_filename ? files.get() : fields.get(), name.get(),
                                               std::move(item));
            return !failed;
        }, &buffer);
    }
    if (failed) return nullptr;
    return PyTuple_Pack(2, fields.get(), files.get());
}

}  // namespace calvenor::request
