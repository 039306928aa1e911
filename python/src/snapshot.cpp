// Class Snapshot: an immutable copy of a session's resumable state, written
// to and read from its JSON and MessagePack forms.
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "classes.h"
#include "engine/codec/text.h"
#include "engine/kernel/value_io.h"
#include "engine/session.h"
#include "object.h"
#include "registry.h"

namespace vostrel::py {

namespace {

constexpr Signature kFromMsgpack{"Snapshot.from_msgpack()", {"bytes"}};
constexpr Signature kFromJson{"Snapshot.from_json()", {"json"}};

// A new Snapshot object, or the reader's own text as a ValueError.
PyObject* made_or_raised(Result<session::Snapshot> read) {
  if (!read) return raise_value_error(read.error());
  return make_object(PySnapshot{std::move(*read)});
}

PyObject* event_count(PyObject* self, void*) {
  return read_member<PySnapshot, Access::Shared>(self, [](const PySnapshot& s) {
    return PyLong_FromUnsignedLongLong(s.snapshot.event_count);
  });
}

PyObject* pending(PyObject* self, void*) {
  return read_member<PySnapshot, Access::Shared>(
      self, [](const PySnapshot& s) { return new_str_list(s.snapshot.pending); });
}

PyObject* from_msgpack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kFromMsgpack, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    std::string_view bytes;
    if (!a.bytes(0, bytes)) return nullptr;
    return made_or_raised(session::snapshot_from_msgpack(bytes));
  });
}

// A hint only: huge pages make the first touches of a large buffer a few
// hundred times fewer.
void huge_pages([[maybe_unused]] char* data, [[maybe_unused]] std::size_t size) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kHuge - 1);
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

// The largest buffer the C library's allocator reuses rather than maps anew
// each time (glibc's limit on 64-bit systems).
constexpr std::size_t kReused = std::size_t{32} << 20;

// Where the JSON text goes while it is written. Up to kReused bytes, into a
// buffer of the C allocator, which keeps such buffers from one call to the
// next, and then into a str of the text's width. A larger buffer is mapped
// afresh by every call, each first touch of its pages a fault (a dear one
// on virtual machines): such a text is written straight into the ASCII str
// that returns it, backed by huge pages where the system offers them on
// request, and cut to its length at the end; only a text that turns out not
// to be ASCII is then copied into a str of its width.
class StrBuffer final : public kernel::TextBuffer {
 public:
  ~StrBuffer() { Py_XDECREF(str_); }

  // The str of the text, or null with the error set.
  PyObject* take() {
    std::string_view text(data_, size_);
    codec::Utf8Shape shape{};
    if (!str_ || !codec::utf8_measure(text, shape) || shape.max_char > 0x7F) return new_str(text);
    PyObject* str = std::exchange(str_, nullptr);
    if (PyUnicode_Resize(&str, static_cast<Py_ssize_t>(size_)) < 0) {
      Py_DECREF(str);
      return nullptr;
    }
    return str;
  }

 private:
  void grow(std::size_t capacity) override {
    if (!str_ && capacity < kReused) {
      auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
      if (size_ != 0) std::memcpy(bigger.get(), data_, size_);
      heap_ = std::move(bigger);
      data_ = heap_.get();
    } else {
      grow_str(capacity);
      if (heap_) {
        std::memcpy(PyUnicode_DATA(str_), heap_.get(), size_);
        heap_.reset();
      }
      data_ = static_cast<char*>(PyUnicode_DATA(str_));
      huge_pages(data_, capacity);
    }
    capacity_ = capacity;
  }

  void grow_str(std::size_t capacity) {
    const auto n = static_cast<Py_ssize_t>(capacity);
    if (!str_) {
      str_ = PyUnicode_New(n, 0x7F);
    } else if (PyUnicode_Resize(&str_, n) < 0) {
      PyErr_Clear();
      throw std::bad_alloc();
    }
    if (!str_) {
      PyErr_Clear();
      throw std::bad_alloc();
    }
  }

  std::unique_ptr<char[]> heap_;
  PyObject* str_ = nullptr;
};

// Where the MessagePack bytes go while they are written: straight into the
// bytes object that returns them. Their length is known before the first
// byte (session.h), so the object is made once at its final size, and
// only a cut of a few bytes may follow; nothing is copied.
class BytesBuffer final : public kernel::TextBuffer {
 public:
  ~BytesBuffer() { Py_XDECREF(bytes_); }

  // The bytes object, or null with the error set.
  PyObject* take() {
    if (!bytes_) return PyBytes_FromStringAndSize(nullptr, 0);
    if (size_ != capacity_ && _PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(size_)) < 0)
      return nullptr;  // the object is gone
    return std::exchange(bytes_, nullptr);
  }

 private:
  void grow(std::size_t capacity) override {
    const auto n = static_cast<Py_ssize_t>(capacity);
    if (!bytes_) {
      bytes_ = PyBytes_FromStringAndSize(nullptr, n);
    } else if (_PyBytes_Resize(&bytes_, n) < 0) {
      bytes_ = nullptr;  // freed with what it held
    }
    if (!bytes_) {
      PyErr_Clear();
      throw std::bad_alloc();
    }
    data_ = PyBytes_AS_STRING(bytes_);
    capacity_ = capacity;
    if (capacity >= kReused) huge_pages(data_, capacity);
  }

  PyObject* bytes_ = nullptr;
};

// Writes the snapshot into a Buffer and returns the object it took. A
// writer refuses a value nested deeper than its reader takes: its text as a
// ValueError.
template <class Buffer, auto write>
PyObject* written(PyObject* self, PyObject*) {
  return read_member<PySnapshot, Access::Shared>(self, [](const PySnapshot& s) -> PyObject* {
    Buffer out;
    if (auto done = write(s.snapshot, out); !done) return raise_value_error(done.error());
    return out.take();
  });
}

constexpr auto to_msgpack = written<BytesBuffer, session::write_snapshot_msgpack>;
constexpr auto to_json = written<StrBuffer, session::write_snapshot_json>;

PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kFromJson, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    // Read in place: a snapshot's text may run to megabytes.
    std::string_view json;
    if (!a.str(0, json)) return nullptr;
    return made_or_raised(session::snapshot_from_json(json));
  });
}

constexpr int kStatic = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef methods[] = {
    {"to_msgpack", as_cfunction(to_msgpack), METH_NOARGS, "to_msgpack($self)\n--\n\n"},
    {"from_msgpack", as_cfunction(from_msgpack), kStatic, "from_msgpack(bytes)\n--\n\n"},
    {"to_json", as_cfunction(to_json), METH_NOARGS, "to_json($self)\n--\n\n"},
    {"from_json", as_cfunction(from_json), kStatic, "from_json(json)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getsets[] = {
    {"event_count", event_count, nullptr, nullptr, nullptr},
    {"pending", pending, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int add_snapshot(PyObject* module) {
  return add_class<PySnapshot>(module, {.doc = "", .methods = methods, .getsets = getsets});
}

}  // namespace vostrel::py
