// Errors are values in the engine: an operation that can fail returns a
// Result holding either its value or the failure's text (or error record).
#pragma once

#include <expected>
#include <string>

namespace vostrel {

template <class T, class E = std::string>
using Result = std::expected<T, E>;

template <class E = std::string>
std::unexpected<E> fail(E error) {
  return std::unexpected<E>(std::move(error));
}

}  // namespace vostrel
