// Argument matching and extraction, shared by every function, method and
// constructor of the module.
//
// A call first matches its positional and keyword arguments to the declared
// parameters (the arity messages carry the callee's full name), then
// extracts each parameter in order. A TypeError raised while extracting one
// parameter is re-raised as "argument '{name}': {message}"; other errors pass
// unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert.h"
#include "engine/kernel/types.h"
#include "py.h"

namespace vostrel::py {

inline constexpr std::size_t kMaxParams = 6;

// The declared parameters of one callable: all positional-or-keyword; the
// first `required` must be given.
struct Signature {
  const char* full_name;  // "AgentSession.fold_event()", "SessionConfig.__new__()"
  std::array<const char*, kMaxParams> names{};
  std::size_t count = 0;
  std::size_t required = 0;

  constexpr Signature(const char* full, std::initializer_list<const char*> params)
      : Signature(full, params, params.size()) {}
  constexpr Signature(const char* full, std::initializer_list<const char*> params,
                      std::size_t required_count)
      : full_name(full), count(params.size()), required(required_count) {
    std::size_t i = 0;
    for (const char* p : params) names[i++] = p;
  }
};

class Args;

// Matches a fast call (the vector, its count, the keyword names).
std::optional<Args> match_fastcall(const Signature& sig, PyObject* const* args,
                                   Py_ssize_t nargsf, PyObject* kwnames);
// Matches a tuple-and-dict call (constructors).
std::optional<Args> match_tuple(const Signature& sig, PyObject* args, PyObject* kwargs);

// The matched arguments (borrowed; null for an omitted optional one), with
// one extractor per kind of parameter. Each extractor returns false with the
// Python error set.
class Args {
 public:
  explicit Args(const Signature& sig) : sig_(&sig) {}

  PyObject* operator[](std::size_t i) const { return values_[i]; }
  bool given(std::size_t i) const { return values_[i] != nullptr; }

  bool str(std::size_t i, std::string& out) const;
  // A str (or subclass), its UTF-8 text viewed in place while the argument lives.
  bool str(std::size_t i, std::string_view& out) const;
  // A dict (or subclass), its items converted to an Env; conversion errors
  // are not argument errors and pass unprefixed.
  bool env(std::size_t i, kernel::Env& out) const;
  // A dict (or subclass), handed over as it is.
  bool dict(std::size_t i, PyObject*& out) const;
  // A list (or subclass) of (tag, data) tuples.
  bool event_log(std::size_t i, EventLog& out) const;
  // A list (or subclass) converted to a List value.
  bool list_value(std::size_t i, kernel::Value& out) const;
  // A bytes object (or subclass), viewed in place.
  bool bytes(std::size_t i, std::string_view& out) const;
  // A sequence other than str of TransducerDef objects, copied out.
  bool transducers(std::size_t i, std::vector<kernel::TransducerDef>& out) const;
  // A sequence other than str of str.
  bool str_sequence(std::size_t i, std::vector<std::string>& out) const;
  // A sequence other than str of 2-tuples of str.
  bool pair_sequence(std::size_t i, std::vector<std::pair<std::string, std::string>>& out) const;
  // An instance of the module's class `Body` (see object.h).
  template <class Body>
  bool instance(std::size_t i, const Body*& out) const;

  const char* name(std::size_t i) const { return sig_->names[i]; }

 private:
  friend std::optional<Args> match_fastcall(const Signature&, PyObject* const*, Py_ssize_t,
                                            PyObject*);
  friend std::optional<Args> match_tuple(const Signature&, PyObject*, PyObject*);

  const Signature* sig_;
  std::array<PyObject*, kMaxParams> values_{};
};

// Sets TypeError "'{type}' object is not an instance of '{expected}'"
// ("'None' is not an instance of '{expected}'" for None).
void raise_not_instance(PyObject* obj, std::string_view expected);
// Re-raises a pending TypeError as "argument '{param}': {message}", keeping
// its cause; any other pending error is left as it is. Returns false.
bool fail_argument(const char* param);

// Plain extraction, without the argument prefix (used by the extractors and
// by members that read dict items).
std::optional<std::string> extract_str(PyObject* obj);

}  // namespace vostrel::py
