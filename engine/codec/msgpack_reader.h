// The MessagePack token source.
//
// Integers keep their stored width, a string that is not valid UTF-8 is
// handed over as bytes where the reader takes bytes (and otherwise fails with
// "string found to be invalid utf8: ..."), an extension value is a newtype
// holding its type and data. Every array, map and extension value counts
// towards the depth limit: at most 1023 open at once ("depth limit
// exceeded" when the 1024th opens). A level costs no stack where it counts:
// Values, and the parsed trees held for those whose "value" comes before
// "type", are read with stacks of their own on the heap (open(), the Value
// reader in value_io.cpp, capture() and ContentStream in content.h; a frame
// of about 200 bytes a level), a value skipped with a stack of counts; a
// Value in the form the writers write is first tried by a reader that
// recurses, but stops after 24 levels (about 8 KiB).
// Records recurse, within the few levels their fields nest. An array or map read by a record or a
// value must be read to its end ("array had incorrect length, expected {}"
// with the number of elements read). A binary string where a record is
// expected is read as the sequence of its bytes. A tag written as a map must
// be one entry {name: nil} (anything else: "invalid type: map, expected
// {the visitor's expecting()}"), and that map counts towards the depth limit.
// Messages carry no position; a nil is described as "unit value".
#pragma once

#include <string_view>

#include "engine/codec/de.h"

namespace vostrel::codec {

// The most arrays, maps and extension values open at once; the writers
// refuse a value whose bytes would open more (value_io.h).
inline constexpr int kMsgpackMaxOpen = 1023;

// Reads one document from the start of `bytes`; bytes after it are ignored.
Status read_msgpack(std::string_view bytes, Seed read);

}  // namespace vostrel::codec
