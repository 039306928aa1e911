// The external forms of Value and Env: readers over any token source and the
// compact JSON and MessagePack writers.
//
// Reading accepts a value in its object form {"type": tag, "value": payload}
// (keys in any order, others skipped; {"type":"None"} alone) or its array
// form [tag, payload] / [tag] for None, in JSON, MessagePack and the parsed
// tree alike, at any depth. The tag is the variant's name; MessagePack also
// takes its index (0..5), and in the object form every reader also takes a
// one-entry map {name: null}. An Env is read like the payload of a Map.
//
// Writing: JSON {"type":"Int","value":5} / {"type":"None"}, compact, map keys
// in byte order, strings escaped as the writer below says; MessagePack the
// compact array form with variant names and the shortest encodings. Neither
// writer recurses; each refuses a value nested deeper than its reader takes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/codec/record.h"
#include "engine/kernel/value.h"
#include "engine/result.h"

namespace vostrel::codec {

// Reads one Value from the current position of `d` (the shapes above).
Status read_value(Deserializer& d, kernel::Value& out);

template <>
struct Codec<kernel::Value> {
  static Status read(Deserializer& d, kernel::Value& out) { return read_value(d, out); }
};
// Env is std::map<std::string, Value>: the generic map reader of record.h.

}  // namespace vostrel::codec

namespace vostrel::kernel {

// Whole documents.
Result<Value> value_from_json(std::string_view text);
Result<Value> value_from_msgpack(std::string_view bytes);
Result<Env> env_from_json(std::string_view text);
Result<Env> env_from_msgpack(std::string_view bytes);

// Writers: append to `out`. `open` counts the arrays and objects (JSON) or
// arrays and maps (MessagePack) already open around the value in the
// document being written. A value whose form would take the document past
// what its reader takes (kJsonMaxOpen, kMsgpackMaxOpen) is refused with the
// text below and `out` is left as it was: nothing is written that cannot be
// read back.
inline constexpr std::string_view kJsonTooDeep =
    "value too deeply nested for JSON: the JSON reader takes at most 127 arrays and objects "
    "open at once";
inline constexpr std::string_view kMsgpackTooDeep =
    "value too deeply nested for MessagePack: the MessagePack reader takes at most 1023 arrays "
    "and maps open at once";
Result<void> write_json(const Value& v, std::string& out, std::size_t open = 0);
Result<void> write_json(const Env& env, std::string& out, std::size_t open = 0);

// A growing text whose memory its owner provides: a host has a large text
// written straight into the object that will hold it, instead of into a
// string that is then copied (and whose fresh pages are paid for twice).
// Appending is in line; only growing goes to the owner.
class TextBuffer {
 public:
  std::size_t size() const noexcept { return size_; }
  const char* data() const noexcept { return data_; }
  void reserve(std::size_t capacity) {
    if (capacity > capacity_) grow(capacity);
  }
  void append(const char* p, std::size_t n) {
    if (n == 0) return;
    if (capacity_ - size_ < n) grow(std::max(2 * capacity_, size_ + n));
    std::memcpy(data_ + size_, p, n);
    size_ += n;
  }
  void append(std::string_view s) { append(s.data(), s.size()); }
  void push_back(char c) { append(&c, 1); }
  TextBuffer& operator+=(std::string_view s) {
    append(s);
    return *this;
  }
  TextBuffer& operator+=(char c) {
    push_back(c);
    return *this;
  }
  // Cuts the text back to `n` bytes (n <= size()).
  void resize(std::size_t n) noexcept { size_ = n; }

 protected:
  TextBuffer() = default;
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;
  ~TextBuffer() = default;
  // Makes room for `capacity` bytes, keeping the text, and sets data_ and
  // capacity_; throws std::bad_alloc when it cannot.
  virtual void grow(std::size_t capacity) = 0;

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

Result<void> write_json(const Env& env, TextBuffer& out, std::size_t open = 0);
Result<void> write_msgpack(const Value& v, std::string& out, std::size_t open = 0);
Result<void> write_msgpack(const Env& env, std::string& out, std::size_t open = 0);
Result<void> write_msgpack(const Env& env, TextBuffer& out, std::size_t open = 0);

// A JSON string literal with the writer's escaping: \" and \\, \b \t \n \f
// \r, \u00XX for the other bytes below 0x20; every other byte unchanged.
void write_json_string(std::string_view s, std::string& out);
void write_json_string(std::string_view s, TextBuffer& out);
// The lengths of the two forms of `env`, walked once without writing either:
// the MessagePack form's exactly, the JSON form's about (escapes are not
// counted). What a writer's buffer should hold from the start.
struct WrittenSize {
  std::size_t json = 0;
  std::size_t msgpack = 0;
};
WrittenSize written_size(const Env& env);
// A MessagePack string in its shortest header.
void write_msgpack_string(std::string_view s, std::string& out);
void write_msgpack_string(std::string_view s, TextBuffer& out);
// The header of a MessagePack array of n elements, and an unsigned integer,
// each in its shortest encoding (for records written as arrays).
void write_msgpack_array_header(std::size_t n, std::string& out);
void write_msgpack_array_header(std::size_t n, TextBuffer& out);
void write_msgpack_uint(std::uint64_t v, std::string& out);
void write_msgpack_uint(std::uint64_t v, TextBuffer& out);

// The JSON form of a value at any depth, for showing and comparing values
// (tests, tools): deeper than the reader takes, it is no document to store.
std::string json_text(const Value& v);
std::string json_text(const Env& env);

// A whole document: the text or bytes of one Value or Env.
template <class T>
Result<std::string> to_json(const T& v) {
  std::string out;
  if (auto written = write_json(v, out); !written) return fail(std::move(written.error()));
  return out;
}
template <class T>
Result<std::string> to_msgpack(const T& v) {
  std::string out;
  if (auto written = write_msgpack(v, out); !written) return fail(std::move(written.error()));
  return out;
}

}  // namespace vostrel::kernel
