// The one include of the CPython API for the module's sources, and an owning
// reference so that every early return releases what it holds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

namespace vostrel::py {

// Owns one strong reference (or none).
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) noexcept : obj_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// A str from long UTF-8 text, measured first and then decoded straight into
// a str of the right width (see new_str).
PyObject* new_long_str(std::string_view text);

// A new str from UTF-8 text. Engine texts are valid UTF-8; should one not
// be, the damaged bytes show as replacement characters instead of failing.
// Short texts take CPython's decoder (it shares the one-character strings);
// long ones, which it would widen and copy each time a wider character
// came, are measured first.
inline PyObject* new_str(std::string_view text) {
  if (text.size() >= 64) return new_long_str(text);
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// The qualified name of an object's type, as used in argument messages.
std::string type_qualname(PyObject* obj);
// The plain `__name__` of an object's type.
std::string type_name(PyObject* obj);

}  // namespace vostrel::py
