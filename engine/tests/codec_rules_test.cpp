// Reader rules where this system's definition is narrower or stricter than a
// plain serde-style codec would be: what a JSON null is called, binary strings
// as records, skipped values and the depth limit, "-0", tag maps and indices
// in other integer formats.
#include <gtest/gtest.h>

#include <string>

#include "engine/codec/content.h"
#include "engine/kernel/types_io.h"
#include "engine/kernel/value_io.h"

namespace vostrel::kernel {
namespace {

std::string unhex(std::string_view h) {
  std::string out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
  return out;
}

enum class Doc {
  JsonValue,         // a Value filling a JSON text
  MsgpackValue,      // a Value from MessagePack bytes (hex)
  BufferedValue,     // MessagePack bytes (hex) held as a parsed tree, then read as a Value
  JsonTransducer,    // one definition from JSON text
  MsgpackTransducers,  // a list of definitions from MessagePack bytes (hex)
};

// "OK <canonical JSON>" ("OK" where there is no writer) or the error text.
std::string read(Doc doc, const std::string& input) {
  auto value = [](const Result<Value>& v) { return v ? "OK " + json_text(*v) : v.error(); };
  switch (doc) {
    case Doc::JsonValue: return value(value_from_json(input));
    case Doc::MsgpackValue: return value(value_from_msgpack(unhex(input)));
    case Doc::BufferedValue: {
      codec::Content held;
      Value v;
      auto st = codec::read_msgpack(unhex(input), [&](codec::Deserializer& d) -> codec::Status {
        VOSTREL_TRY(codec::capture(d, held));
        codec::ContentDeserializer buffered(held);
        return codec::read_value(buffered, v);
      });
      return st ? "OK " + json_text(v) : st.error().text();
    }
    case Doc::JsonTransducer: {
      auto t = transducer_from_json(input);
      return t ? std::string("OK") : t.error();
    }
    case Doc::MsgpackTransducers: {
      auto t = transducers_from_msgpack(unhex(input));
      return t ? std::string("OK") : t.error();
    }
  }
  return "";
}

struct Rule {
  Doc doc;
  std::string input;
  std::string want;
};

void check(const std::vector<Rule>& rules) {
  for (const auto& r : rules) EXPECT_EQ(read(r.doc, r.input), r.want) << r.input;
}

// A definition whose one rule has `guard` as its guard.
std::string with_guard(std::string_view guard) {
  return R"({"name":"t","slots":[],"rules":[{"on":"E","guard":)" + std::string(guard) +
         R"(,"updates":[],"emits":[]}]})";
}

// The Value reader calls a JSON null "unit value", as it calls a MessagePack
// nil; every other reader of a JSON text calls it "null".
TEST(CodecRules, JsonNullIsAUnitValueToTheValueReaderOnly) {
  check({
      {Doc::JsonValue, "null",
       "invalid type: unit value, expected adjacently tagged enum Value at line 1 column 4"},
      {Doc::JsonValue, R"({"type":"Str","value":null})",
       "invalid type: unit value, expected a string at line 1 column 26"},
      {Doc::JsonValue, R"(["Int",null])", "invalid type: unit value, expected i64 at line 1 column 11"},
      {Doc::JsonValue, R"([null])", "invalid type: unit value, expected variant identifier at line 1 column 5"},
      {Doc::JsonValue, R"({"value":null,"type":"List"})",
       "invalid type: unit value, expected a sequence at line 1 column 28"},
      {Doc::JsonTransducer, R"({"name":"t","slots":[{"name":"s","initial":null}],"rules":[]})",
       "invalid type: unit value, expected adjacently tagged enum Value at line 1 column 47"},
      {Doc::JsonTransducer, with_guard(R"({"op":"Lit","value":null})"),
       "invalid type: unit value, expected adjacently tagged enum Value at line 1 column 75"},
      {Doc::JsonTransducer, R"({"name":null,"slots":[],"rules":[]})",
       "invalid type: null, expected a string at line 1 column 12"},
      {Doc::JsonTransducer, with_guard(R"({"op":"Ref","name":null})"),
       "invalid type: null, expected a string at line 1 column 74"},
      {Doc::MsgpackValue, "c0", "invalid type: unit value, expected adjacently tagged enum Value"},
  });
}

// A binary string where a record is expected is the array of its bytes.
TEST(CodecRules, BinaryStringAsARecordIsItsBytes) {
  check({
      {Doc::MsgpackTransducers, "91c4026162", "invalid type: integer `97`, expected a string"},
      {Doc::MsgpackTransducers, "91c400",
       "invalid length 0, expected struct TransducerDef with 3 elements"},
      // A value is not a record: a binary string stays a type error.
      {Doc::MsgpackValue, "c4020105", "invalid type: byte array, expected adjacently tagged enum Value"},
  });
}

// The JSON limit counts every array and object of the text, skipped ones too.
TEST(CodecRules, SkippedJsonValuesCountTowardsTheLimit) {
  const std::string deep = std::string(200, '[') + std::string(200, ']');
  const std::string fits = std::string(125, '[') + std::string(125, ']');
  check({
      {Doc::JsonTransducer, R"({"name":"t","x":)" + deep + R"(,"slots":[],"rules":[]})",
       "recursion limit exceeded at line 1 column 143"},
      {Doc::JsonValue, R"({"type":"Int","x":)" + deep + R"(,"value":5})",
       "recursion limit exceeded at line 1 column 145"},
      {Doc::JsonValue, R"({"type":"Int","x":)" + fits + R"(,"value":5})", R"(OK {"type":"Int","value":5})"},
      {Doc::JsonValue, R"({"type":"Int","x":[[)" + fits + R"(]],"value":5})",
       "recursion limit exceeded at line 1 column 145"},
  });
}

// Only a fraction or an exponent makes a JSON number a float: "-0" is 0.
TEST(CodecRules, MinusZeroIsTheIntegerZero) {
  check({
      {Doc::JsonValue, R"({"type":"Int","value":-0})", R"(OK {"type":"Int","value":0})"},
      {Doc::JsonValue, R"({"type":"Str","value":-0})",
       "invalid type: integer `0`, expected a string at line 1 column 24"},
      {Doc::JsonValue, R"({"type":"Int","value":-0.0})",
       "invalid type: floating point `-0`, expected i64 at line 1 column 26"},
      {Doc::JsonTransducer,
       with_guard(R"({"op":"Eq","left":{"op":-0,"value":["Int",1]},"right":{"op":0,"value":["Int",1]}})"),
       "OK"},
  });
}

// A tag map is one entry {name: nil}; it is an open level like any other map.
TEST(CodecRules, MessagePackTagMaps) {
  // ["List", [x]] 511 times around x: x stands at level 1023.
  std::string around;
  for (int i = 0; i < 511; ++i) around += "92a44c69737491";
  const std::string none_tag_map = "81a47479706581a44e6f6e65c0";  // {"type": {"None": nil}}
  std::string nested_ok;
  for (int i = 0; i < 510; ++i) nested_ok += "92a44c69737491";
  check({
      {Doc::MsgpackValue, "82a47479706581a3496e74c0a576616c756505", R"(OK {"type":"Int","value":5})"},
      {Doc::MsgpackValue, "82a47479706580a576616c756505", "invalid type: map, expected variant identifier"},
      {Doc::MsgpackValue, "82a47479706582a3496e74c0a178c0a576616c756505",
       "invalid type: map, expected variant identifier"},
      {Doc::MsgpackValue, "82a47479706581a3496e7405a576616c756505",
       "invalid type: map, expected variant identifier"},
      {Doc::MsgpackValue, "82a47479706581a3696e74c0a576616c756505",
       "unknown variant `int`, expected one of `Str`, `Int`, `Bool`, `List`, `Map`, `None`"},
      {Doc::MsgpackValue, around + none_tag_map, "depth limit exceeded"},
      {Doc::MsgpackValue, nested_ok + none_tag_map, std::string("OK ") + [] {
         std::string s = R"({"type":"None"})";
         for (int i = 0; i < 510; ++i) s = R"({"type":"List","value":[)" + s + "]}";
         return s;
       }()},
  });
}

// A held value's tag map must have exactly one entry; of another size it is
// refused as the annotation maps are ("map with a single key"): the map is
// of the right kind, its size is what is wrong.
TEST(CodecRules, HeldTagMapOfAnotherSize) {
  check({
      {Doc::JsonTransducer, with_guard(R"({"op":"Lit","value":{"value":5,"type":{"Int":null}}})"), "OK"},
      {Doc::JsonTransducer, with_guard(R"({"op":"Lit","value":{"type":{},"value":5}})"),
       "invalid value: map, expected map with a single key at line 1 column 92"},
      {Doc::JsonTransducer, with_guard(R"({"op":"Lit","value":{"type":{"Int":null,"x":null},"value":5}})"),
       "invalid value: map, expected map with a single key at line 1 column 111"},
  });
}

// A variant index is any non-negative integer, whatever its stored format.
TEST(CodecRules, IndicesInAnyIntegerFormat) {
  check({
      {Doc::MsgpackValue, "92d00105", R"(OK {"type":"Int","value":5})"},
      {Doc::MsgpackValue, "92cd000105", R"(OK {"type":"Int","value":5})"},
      {Doc::MsgpackValue, "92d3000000000000000105", R"(OK {"type":"Int","value":5})"},
      {Doc::MsgpackValue, "92ff05", "invalid type: integer `-1`, expected variant identifier"},
      {Doc::MsgpackValue, "92d00605", "invalid value: integer `6`, expected variant index 0 <= i < 6"},
      {Doc::BufferedValue, "92cd000105", R"(OK {"type":"Int","value":5})"},
      {Doc::BufferedValue, "92d10002a474727565", "invalid type: string \"true\", expected a boolean"},
      {Doc::BufferedValue, "92ff05", "invalid type: integer `-1`, expected variant identifier"},
  });
}

// A nested expression is read from the tree its parent was held in, with the
// parent's tag left out instead of copied away: every form and every refusal
// of a nested node is the one a node read on its own gives.
TEST(CodecRules, NestedExpressionsReadFromTheHeldTree) {
  const std::string y = R"(,"right":{"op":"Ref","name":"y"}})";
  check({
      {Doc::JsonTransducer, with_guard(R"({"op":"Gt","left":["Ref","x"],"right":{"name":"y","op":"Ref"}})"), "OK"},
      {Doc::JsonTransducer, with_guard(R"({"op":"Gt","left":{"op":"Ref","name":"x","extra":1})" + y), "OK"},
      {Doc::JsonTransducer,
       with_guard(R"({"op":"Gt","left":["MGet",["Ref","m"],["Lit",{"type":"Str","value":"k"}],"TInt"],"right":["Ref","y"]})"),
       "OK"},
      {Doc::JsonTransducer, with_guard(R"({"op":"Gt","left":["Ref","x","y"])" + y),
       "invalid length 2, expected 1 element in sequence at line 1 column 116"},
      {Doc::JsonTransducer, with_guard(R"({"op":"Gt","left":[])" + y),
       "missing field `op` at line 1 column 103"},
      {Doc::JsonTransducer, with_guard(R"({"op":"Gt","left":{"name":"x"})" + y),
       "missing field `op` at line 1 column 113"},
      {Doc::JsonTransducer, with_guard(R"({"op":"Gt","left":{"op":"Ref","name":"x","op":"Ref"})" + y),
       "duplicate field `op` at line 1 column 135"},
      {Doc::JsonTransducer, with_guard(R"({"op":"Gt","left":{"op":"Ref"})" + y),
       "missing field `name` at line 1 column 113"},
      {Doc::JsonTransducer, with_guard(R"({"op":"Gt","left":5)" + y),
       "invalid type: integer `5`, expected internally tagged enum Expr at line 1 column 102"},
      {Doc::JsonTransducer,
       with_guard(R"({"op":"Gt","left":["Add",["Ref","x"],{"op":"Lit","value":{"type":"Int","value":1}}],"right":{"op":"Ref","name":"y","name":"z"}})"),
       "duplicate field `name` at line 1 column 177"},
      {Doc::JsonTransducer,
       with_guard(R"({"op":"Gt","left":["MGet",["Ref","m"],["Lit",{"type":"Str","value":"k"}],"TNope"],"right":["Ref","y"]})"),
       "unknown variant `TNope`, expected one of `TStr`, `TInt`, `TBool`, `TList`, `TMap` at line 1 column 152"},
  });
}

// Expressions nested to the MessagePack depth limit: a chain of StrCat nodes
// in the positional form ([tag, left, right]), each level a fixarray of 3.
TEST(CodecRules, DeepMessagePackExpressions) {
  auto definition = [](int depth, std::string_view leaf) {
    // [{"name":"t","slots":[],"rules":[{"on":"E","guard":<expr>,"updates":[],"emits":[]}]}]
    std::string hex = "91" "83" "a46e616d65" "a174" "a5736c6f7473" "90" "a572756c6573" "91" "84"
                      "a26f6e" "a145" "a56775617264";
    for (int i = 0; i < depth; ++i) hex += "93" "a6537472436174";  // ["StrCat", <left>, ...
    hex += leaf;
    for (int i = 0; i < depth; ++i) hex += "92" "a3526566" "a178";  // ..., ["Ref","x"]]
    return hex + "a7757064617465739" "0" "a5656d697473" "90";
  };
  const std::string ref_x = "92a3526566a178";
  check({
      {Doc::MsgpackTransducers, definition(1000, ref_x), "OK"},
      {Doc::MsgpackTransducers, definition(1000, "91a3526566"),
       "invalid length 0, expected struct variant Expr::Ref with 1 element"},
      {Doc::MsgpackTransducers, definition(1000, "90"), "missing field `op`"},
      {Doc::MsgpackTransducers, definition(1000, "05"),
       "invalid type: integer `5`, expected internally tagged enum Expr"},
  });
}

// Values whose "value" precedes "type", nested to the MessagePack depth
// limit: each level {"value": [<inner>], "type": "List"} is held until its
// tag is read, and an inner level is read from the tree its outer one holds.
TEST(CodecRules, DeepValuesWithTheirPayloadFirst) {
  auto nested = [](int depth, std::string_view leaf) {
    std::string hex;
    for (int i = 0; i < depth; ++i) hex += "82" "a576616c7565" "91";  // {"value": [
    hex += leaf;
    for (int i = 0; i < depth; ++i) hex += "a474797065" "a44c697374";  // ], "type": "List"}
    return hex;
  };
  const std::string int_leaf = "82a474797065a3496e74a576616c7565";  // {"type":"Int","value":
  const Result<Value> deep = value_from_msgpack(unhex(nested(511, int_leaf + "01")));
  ASSERT_TRUE(deep) << deep.error();
  const Value* v = &*deep;
  for (int i = 0; i < 511; ++i) {
    ASSERT_TRUE(v->is_list() && v->as_list().size() == 1);
    v = &v->as_list()[0];
  }
  EXPECT_EQ(*v, Value::integer(1));
  check({
      {Doc::MsgpackValue, nested(511, int_leaf + "c3"), "invalid type: boolean `true`, expected i64"},
      {Doc::MsgpackValue, nested(511, "81a576616c756501"), "missing field `type`"},
      {Doc::MsgpackValue, nested(512, int_leaf + "01"), "depth limit exceeded"},
  });
}

}  // namespace
}  // namespace vostrel::kernel
