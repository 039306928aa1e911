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
// writer recurses, so a value nested a million levels deep writes fine.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Writers: append to `out`.
void write_json(const Value& v, std::string& out);
void write_json(const Env& env, std::string& out);
void write_msgpack(const Value& v, std::string& out);
void write_msgpack(const Env& env, std::string& out);

// A JSON string literal with the writer's escaping: \" and \\, \b \t \n \f
// \r, \u00XX for the other bytes below 0x20; every other byte unchanged.
void write_json_string(std::string_view s, std::string& out);
// About the length of the JSON form of `env` (without escapes), walked
// without writing it: what a writer's buffer should hold from the start.
std::size_t json_size_hint(const Env& env);
// A MessagePack string in its shortest header.
void write_msgpack_string(std::string_view s, std::string& out);
// The header of a MessagePack array of n elements, and an unsigned integer,
// each in its shortest encoding (for records written as arrays).
void write_msgpack_array_header(std::size_t n, std::string& out);
void write_msgpack_uint(std::uint64_t v, std::string& out);

inline std::string to_json(const Value& v) {
  std::string out;
  write_json(v, out);
  return out;
}
inline std::string to_json(const Env& env) {
  std::string out;
  write_json(env, out);
  return out;
}
inline std::string to_msgpack(const Value& v) {
  std::string out;
  write_msgpack(v, out);
  return out;
}
inline std::string to_msgpack(const Env& env) {
  std::string out;
  write_msgpack(env, out);
  return out;
}

}  // namespace vostrel::kernel
