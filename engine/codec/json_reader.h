// The JSON token source: a streaming reader over one whole UTF-8 text.
//
// Positions. A JSON error ends with " at line L column C": L counts line
// feeds (from 1), C counts the bytes of the current line consumed when the
// error was detected (0 before its first byte; every byte of a multi-byte
// character counts). Syntax errors found while looking at a byte point past
// that byte. A scalar of the wrong type points at its last byte; an array or
// object of the wrong type is reported before its bracket. Errors made by a
// typed reader (missing field, duplicate field, invalid length, faults found
// in buffered content) take their position when they leave the innermost
// container read still running, after that read has skipped blanks and its
// closing bracket (or a following comma, in an array).
//
// Limits: at most 127 arrays and objects open at once ("recursion limit
// exceeded" when the 128th opens), counting those of values skipped as
// unknown fields too. The typed readers recurse once per array or object
// opened; on the stack a level costs about 0.6 KiB when a Value is read
// (1.1 KiB per List level), 0.7 KiB in an expression and nothing in a
// value skipped (an explicit stack), so that a document at the limit reads
// on a thread of 128 KiB with room to spare (about 90 KiB in all). A Value
// in the form the writers write is first tried by a reader of its own,
// which stops after 24 levels and takes about 10 KiB at most.
//
// Numbers: an integer that fits u64 or i64 is an integer ("-0" included);
// a fraction, an exponent or an integer beyond 64 bits makes a float.
//
// JSON null is described as "null" in type errors, except in those of the
// Value reader, which calls it "unit value" (Error::null_as_unit).
#pragma once

#include <string_view>

#include "engine/codec/de.h"

namespace vostrel::codec {

// The most arrays and objects a text may have open at once; the writers
// refuse a value whose text would open more (value_io.h).
inline constexpr int kJsonMaxOpen = 127;

// Reads one document that must fill the whole text (blanks around it
// allowed): `read` is handed the deserializer, then anything but blanks
// after the document fails with "trailing characters". The error, if any,
// carries its line and column (when it has a position).
Status read_json(std::string_view text, Seed read);

}  // namespace vostrel::codec
