// Value trees read straight from the cursor of their format.
//
// Snapshots and states are almost all Values, written by the writers of
// value_io.h in one form: in JSON an object with "type" first, its tag a
// plain string, integers without fraction or exponent; in MessagePack an
// array of the tag and its payload (None alone). read_value_fast takes a
// tree in that form from the format's cursor (Deserializer::fast_cursor:
// one virtual call per tree, the cursor's reads inline) and builds it
// directly. On anything else it gives up and puts the cursor back, so that
// the usual reader (read_value, value_io.cpp) reads the value with its own
// results and exact errors; having given up once, it is not offered the
// cursor again for the rest of the input.
#pragma once

#include "engine/codec/de.h"
#include "engine/kernel/value.h"

namespace vostrel::kernel {

// True when it read the next value into `out`; false leaves the input where
// it was (and `out` to be overwritten by the usual reader).
bool read_value_fast(codec::Deserializer& d, Value& out);

}  // namespace vostrel::kernel
