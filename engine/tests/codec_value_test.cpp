// Value and Env: the writers, round trips, deep values, and the reader
// behaviours that the reference cases do not pin down on their own.
#include <gtest/gtest.h>

#include "engine/codec/content.h"
#include "engine/kernel/value_io.h"

namespace vostrel::kernel {
namespace {

std::string hex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::string unhex(std::string_view h) {
  std::string out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
  return out;
}

Value map_of(std::initializer_list<std::pair<const std::string, Value>> entries) {
  return Value::map(Map(entries));
}

TEST(CodecValueWrite, FormsOfEveryVariant) {
  struct Case {
    Value value;
    const char* json;
    const char* msgpack;
  };
  const Case cases[] = {
      {Value::integer(5), R"({"type":"Int","value":5})", "92a3496e7405"},
      {Value::integer(-1), R"({"type":"Int","value":-1})", "92a3496e74ff"},
      {Value::integer(-12), R"({"type":"Int","value":-12})", "92a3496e74f4"},
      {Value::integer(200), R"({"type":"Int","value":200})", "92a3496e74ccc8"},
      {Value::integer(-33), R"({"type":"Int","value":-33})", "92a3496e74d0df"},
      {Value::integer(INT64_MIN), R"({"type":"Int","value":-9223372036854775808})",
       "92a3496e74d38000000000000000"},
      {Value::integer(INT64_MAX), R"({"type":"Int","value":9223372036854775807})",
       "92a3496e74cf7fffffffffffffff"},
      {Value::str("a\"b"), R"({"type":"Str","value":"a\"b"})", "92a3537472a3612262"},
      {Value::boolean(true), R"({"type":"Bool","value":true})", "92a4426f6f6cc3"},
      {Value::boolean(false), R"({"type":"Bool","value":false})", "92a4426f6f6cc2"},
      {Value::none(), R"({"type":"None"})", "91a44e6f6e65"},
      {Value::list({}), R"({"type":"List","value":[]})", "92a44c69737490"},
      {map_of({{"a", Value::boolean(true)}}), R"({"type":"Map","value":{"a":{"type":"Bool","value":true}}})",
       "92a34d617081a16192a4426f6f6cc3"},
      {map_of({{"b", Value::integer(1)}, {"a", Value::none()}}),
       R"({"type":"Map","value":{"a":{"type":"None"},"b":{"type":"Int","value":1}}})",
       "92a34d617082a16191a44e6f6e65a16292a3496e7401"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(*to_json(c.value), c.json);
    EXPECT_EQ(hex(*to_msgpack(c.value)), c.msgpack) << c.json;
  }
}

TEST(CodecValueWrite, KeysInByteOrderAndEnvLikeAMapPayload) {
  Env env{{"b", Value::integer(2)}, {"a", Value::integer(1)}, {"B", Value::none()}};
  EXPECT_EQ(*to_json(env), R"({"B":{"type":"None"},"a":{"type":"Int","value":1},"b":{"type":"Int","value":2}})");
  EXPECT_EQ(hex(*to_msgpack(env)), "83a14291a44e6f6e65a16192a3496e7401a16292a3496e7402");
  EXPECT_EQ(*to_json(Env{}), "{}");
  EXPECT_EQ(hex(*to_msgpack(Env{})), "80");
}

TEST(CodecValueWrite, StringEscapes) {
  std::string s = "\x01\t\n\b\f\r\x1f/\x7f\"\\\xc3\xa9";
  std::string out;
  write_json_string(s, out);
  EXPECT_EQ(out, "\"\\u0001\\t\\n\\b\\f\\r\\u001f/\x7f\\\"\\\\\xc3\xa9\"");
}

TEST(CodecValueWrite, ShortestHeaders) {
  auto header = [](std::size_t n) {
    std::string out;
    write_msgpack_string(std::string(n, 'x'), out);
    return hex(out.substr(0, out.size() - n));
  };
  EXPECT_EQ(header(31), "bf");
  EXPECT_EQ(header(32), "d920");
  EXPECT_EQ(header(255), "d9ff");
  EXPECT_EQ(header(256), "da0100");
  EXPECT_EQ(header(65536), "db00010000");
  List sixteen(16, Value::none());
  EXPECT_EQ(hex(*to_msgpack(Value::list(sixteen))).substr(0, 18), "92a44c697374dc0010");
}


// The writers take their buffer from the size walk: the MessagePack length
// it gives must be the written one at every header width; the JSON writer
// reserves twice its estimate, which must hold a text with few escapes.
TEST(CodecValueWrite, SizeWalkGivesTheMessagePackLengthExactly) {
  Env env;
  for (std::size_t n : std::initializer_list<std::size_t>{0, 15, 16, 31, 32, 255, 256, 65535, 65536, 70000}) {
    std::string name = "s" + std::to_string(n);
    env[name] = Value::str(std::string(n, 'x'));
    env["l" + std::to_string(n)] = Value::list(List(n, Value::boolean(n % 2 == 0)));
    Map m;
    for (std::size_t i = 0; i < std::min<std::size_t>(n, 20000); ++i)
      m[std::to_string(i)] = Value::none();
    env["m" + std::to_string(n)] = Value::map(std::move(m));
    env[std::string(n, 'k')] = Value::none();
  }
  for (std::int64_t i : std::initializer_list<std::int64_t>{0LL, 127LL, 128LL, 255LL, 256LL, 65535LL, 65536LL, 4294967295LL,
                         4294967296LL, INT64_MAX, -1LL, -32LL, -33LL, -128LL, -129LL, -32768LL,
                         -32769LL, -2147483648LL, -2147483649LL, INT64_MIN})
    env["i" + std::to_string(i)] = Value::integer(i);
  env["deep"] = map_of({{"a", Value::list({map_of({{"b", Value::str("\"quoted\"\n")}})})}});
  for (const Env& e : {Env{}, Env{{"x", Value::none()}}, env}) {
    WrittenSize size = written_size(e);
    EXPECT_EQ(size.msgpack, to_msgpack(e)->size());
    EXPECT_LE(to_json(e)->size(), 2 * size.json);
  }
}
TEST(CodecValueRoundTrip, BothFormsReadBackEqual) {
  Value v = map_of({{"", Value::list({Value::none(), Value::list({Value::none()}), Value::str("é\x01")})},
                    {"n", Value::integer(-70000)},
                    {"m", map_of({{"x", Value::boolean(false)}})}});
  auto from_json = value_from_json(*to_json(v));
  ASSERT_TRUE(from_json) << from_json.error();
  EXPECT_EQ(*from_json, v);
  auto from_mp = value_from_msgpack(*to_msgpack(v));
  ASSERT_TRUE(from_mp) << from_mp.error();
  EXPECT_EQ(*from_mp, v);
  Env env{{"k", v}};
  EXPECT_EQ(*env_from_json(*to_json(env)), env);
  EXPECT_EQ(*env_from_msgpack(*to_msgpack(env)), env);
}

Value nested_lists(int depth, Value inner = Value::none()) {
  for (int i = 0; i < depth; ++i) inner = Value::list(List{std::move(inner)});
  return inner;
}

// A List level opens two arrays or objects and the innermost None one, so a
// value nested d lists deep opens 2d + 1: the deepest that JSON takes (127
// open) is 63 lists, MessagePack (1023) 511. The writers refuse exactly one
// list more, leave the output as it was, and what they write reads back.
TEST(CodecValueDeep, WritersRefuseExactlyWhatTheirReadersRefuse) {
  struct Form {
    int deepest;
    Result<void> (*write)(const Value&, std::string&, std::size_t);
    Result<Value> (*read)(std::string_view);
    std::string_view refusal;
    std::string reader_error;
    std::string wrap_open, wrap_close;  // one List level around a written value
  };
  const Form forms[] = {
      {63, write_json, value_from_json, kJsonTooDeep, "recursion limit exceeded at line 1 column 1536",
       R"({"type":"List","value":[)", "]}"},
      {511, write_msgpack, value_from_msgpack, kMsgpackTooDeep, "depth limit exceeded",
       "\x92\xa4List\x91", ""},
  };
  for (const Form& f : forms) {
    std::string out = "x";
    Value deepest = nested_lists(f.deepest);
    ASSERT_TRUE(f.write(deepest, out, 0));
    std::string written = out.substr(1);
    auto back = f.read(written);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(*back, deepest);
    EXPECT_EQ(*back, nested_lists(f.deepest - 1, Value::list(List{Value::none()})));
    // One list more, or the same inside one enclosing array: refused whole.
    for (auto [depth, open] : {std::pair{f.deepest + 1, 0}, std::pair{f.deepest, 1}}) {
      out = "x";
      auto refused = f.write(nested_lists(depth), out, static_cast<std::size_t>(open));
      ASSERT_FALSE(refused) << depth;
      EXPECT_EQ(refused.error(), f.refusal);
      EXPECT_EQ(out, "x");
    }
    // The same list level written by hand is what the reader refuses.
    EXPECT_EQ(f.read(f.wrap_open + written + f.wrap_close).error(), f.reader_error);
  }
  // An Env opens one level of its own; maps count like lists.
  Env env{{"k", nested_lists(62, Value::map(Map{{"m", Value::none()}}))}};
  EXPECT_EQ(to_json(env).error(), kJsonTooDeep);
  env["k"] = nested_lists(62, Value::map({}));
  EXPECT_EQ(*env_from_json(*to_json(env)), env);
  EXPECT_EQ(kJsonTooDeep, "value too deeply nested for JSON: the JSON reader takes at most 127 "
                          "arrays and objects open at once");
  EXPECT_EQ(kMsgpackTooDeep, "value too deeply nested for MessagePack: the MessagePack reader "
                             "takes at most 1023 arrays and maps open at once");
}

// MessagePack values are read with a stack of their own in every shape: the
// array form, the object form, and the object form whose "value" comes
// before "type" (held as a parsed tree, then read). Each list level opens two
// arrays or maps, the innermost None one: 511 read, 512 are refused.
TEST(CodecValueDeep, MessagePackShapesReadAtTheLimitInEveryForm) {
  struct Shape {
    std::string open, close;  // one List level around a value
  };
  const Shape shapes[] = {
      {"\x92\xa4List\x91", ""},
      {"\x82\xa4type\xa4List\xa5value\x91", ""},
      {"\x82\xa5value\x91", "\xa4type\xa4List"},
  };
  for (const Shape& s : shapes) {
    auto nest = [&](int depth) {
      std::string doc;
      for (int i = 0; i < depth; ++i) doc += s.open;
      doc += "\x91\xa4None";
      for (int i = 0; i < depth; ++i) doc += s.close;
      return doc;
    };
    auto deepest = value_from_msgpack(nest(511));
    ASSERT_TRUE(deepest) << deepest.error();
    EXPECT_EQ(*deepest, nested_lists(511));
    EXPECT_EQ(value_from_msgpack(nest(512)).error(), "depth limit exceeded");
  }
  // A held array-form value with a third element is refused in the held
  // tree's own words.
  EXPECT_EQ(value_from_msgpack("\x82\xa5value\x91\x93\xa3Int\x01\x02\xa4type\xa4List").error(),
            "invalid length 3, expected 2 elements in sequence");
}

TEST(CodecValueDeep, AMillionLevelsAreRefusedWithoutRecursion) {
  constexpr int kDepth = 1'000'000;
  Value v = nested_lists(kDepth);
  EXPECT_EQ(to_json(v).error(), kJsonTooDeep);
  EXPECT_EQ(to_msgpack(v).error(), kMsgpackTooDeep);
  // The readers refuse such a text at their limits instead of recursing.
  std::string json;
  for (int i = 0; i < kDepth; ++i) json += R"({"type":"List","value":[)";
  EXPECT_EQ(value_from_json(json).error(), "recursion limit exceeded at line 1 column 1536");
  std::string mp;
  for (int i = 0; i < kDepth; ++i) mp += "\x92\xa4List\x91";
  EXPECT_EQ(value_from_msgpack(mp).error(), "depth limit exceeded");
}

TEST(CodecValueRead, ShapesTagsAndPayloads) {
  struct Case {
    const char* json;
    const char* want;  // canonical JSON or the error text
  };
  const Case cases[] = {
      {R"({"type":"None"})", R"({"type":"None"})"},
      {R"({"type":"None","value":null})", R"({"type":"None"})"},
      {R"({"type":"None","extra":1})", R"({"type":"None"})"},
      {R"({"value":5,"type":"Int"})", R"({"type":"Int","value":5})"},
      {R"(["None"])", R"({"type":"None"})"},
      {R"({"type":{"Int":null},"value":5})", R"({"type":"Int","value":5})"},
      {R"({"type":"Map","value":{"a":["Int",1],"a":["Int",2]}})",
       R"({"type":"Map","value":{"a":{"type":"Int","value":2}}})"},
      {R"({"type":"Int","value":-0})", R"({"type":"Int","value":0})"},
      {R"({"type":"None","value":0})",
       "invalid type: integer `0`, expected unit variant Value::None at line 1 column 24"},
      {R"({"type":"Int","value":5,"type":"Int"})", "duplicate field `type` at line 1 column 30"},
      {R"({"type":"int","value":5})",
       "unknown variant `int`, expected one of `Str`, `Int`, `Bool`, `List`, `Map`, `None` at line 1 column 13"},
      {R"(["Int"])", "invalid length 1, expected adjacently tagged enum Value at line 1 column 7"},
      {R"([1,5])", "invalid type: integer `1`, expected variant identifier at line 1 column 2"},
      {R"({"type":"Int","value":9223372036854775808})",
       "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 41"},
      {R"({"type":"Int","value":1e3})", "invalid type: floating point `1000`, expected i64 at line 1 column 25"},
      {"null", "invalid type: unit value, expected adjacently tagged enum Value at line 1 column 4"},
      {R"({"value":[1,5],"type":"List"})",
       "invalid type: integer `1`, expected adjacently tagged enum Value at line 1 column 29"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {R"({"type":"Int","value":5} x)", "trailing characters at line 1 column 26"},
  };
  for (const auto& c : cases) {
    auto v = value_from_json(c.json);
    EXPECT_EQ(v ? *to_json(*v) : v.error(), c.want) << c.json;
  }
  // MessagePack: indices, the map form, nil named "unit value".
  EXPECT_EQ(*to_json(*value_from_msgpack(unhex("920105"))), R"({"type":"Int","value":5})");
  EXPECT_EQ(value_from_msgpack(unhex("920605")).error(),
            "invalid value: integer `6`, expected variant index 0 <= i < 6");
  EXPECT_EQ(*to_json(*value_from_msgpack(unhex("82a474797065a44c697374a576616c756590"))),
            R"({"type":"List","value":[]})");
  EXPECT_EQ(value_from_msgpack(unhex("c0")).error(),
            "invalid type: unit value, expected adjacently tagged enum Value");
  EXPECT_EQ(value_from_msgpack(unhex("93a3496e740102")).error(), "array had incorrect length, expected 2");
  EXPECT_EQ(value_from_msgpack(unhex("92a3496e")).error(),
            "IO error while reading data: unexpected end of file");
  EXPECT_EQ(value_from_msgpack(unhex("92a3496e74")).error(),
            "IO error while reading marker: failed to fill whole buffer");
  // Bytes after the value are not looked at.
  EXPECT_EQ(*to_json(*value_from_msgpack(unhex("91a44e6f6e65ffff"))), R"({"type":"None"})");
}

// The readers take a value in the form the writers write in one descent and
// leave anything else to the general reader, which then reads the whole
// outermost value again: a form or fault reads the same (result, or error
// but for its position) alone and inside a written nest, after a sibling
// already read; and what it reads as is what the general reader makes of
// the parsed tree of the same input.
TEST(CodecValueRead, EveryFormReadsTheSameInsideAWrittenNest) {
  auto general = [](auto read, std::string_view input) {
    codec::Content tree;
    Value v;
    auto st = read(input, [&](codec::Deserializer& d) { return codec::capture(d, tree); });
    codec::ContentDeserializer d(tree);
    EXPECT_TRUE(st && codec::read_value(d, v)) << input;
    return v;
  };
  auto same = [&](const Result<Value>& alone, const Result<Value>& nested, const std::string& c,
                  auto read, std::string_view input) {
    auto at = [](const std::string& e) { return e.substr(0, e.find(" at line ")); };
    ASSERT_EQ(bool(alone), bool(nested)) << c << (alone ? nested.error() : alone.error());
    if (alone) {
      EXPECT_EQ(nested->as_map().at("k").as_list().at(1), *alone) << c;
      EXPECT_EQ(*alone, general(read, input)) << c;
    } else {
      EXPECT_EQ(at(nested.error()), at(alone.error())) << c;
    }
  };
  const char* json[] = {
      R"({"type":"None"})", R"({"type":"None","value":null})", R"({"type":"None","extra":1})",
      R"({"value":5,"type":"Int"})", R"(["None"])", R"({"type":{"Int":null},"value":5})",
      R"({"type":"Map","value":{"a":["Int",1],"a":["Int",2]}})",
      R"({"type":"Map","value":{"a":{"type":"Int","value":1},"a":{"type":"Int","value":2}}})",
      R"({"type":"\u0053tr","value":"\u00e9\n\"x"})",
      " { \"type\" : \"Int\" , \"value\" : -9223372036854775808 } ",
      R"({"type":"Int","value":-0})", R"({"type":"Int","value":1234567890123456789})",
      R"({"type":"Int","value":9223372036854775808})", R"({"type":"Int","value":01})",
      R"({"type":"Int","value":1e3})", R"({"type":"Int","value":-})", R"({"type":"Bool","value":tru})",
      R"({"type":"None","value":0})", R"({"type":"Int","value":5,"type":"Int"})",
      R"({"type":"int","value":5})", R"({"type":"Str","value":"\ud800"})",
      R"({"type":"List","value":[{"type":"None"},]})", R"({"type":"Map","value":{"k" 1}})",
  };
  for (std::string c : json) {
    std::string nest = R"({"type":"Map","value":{"k":{"type":"List","value":[)"
                       R"({"type":"Str","value":"a\"b"},)" + c + "]}}}";
    same(value_from_json(c), value_from_json(nest), c, codec::read_json, c);
  }
  const char* msgpack[] = {
      "91a44e6f6e65", "920105", "920605", "82a474797065a44c697374a576616c756590",
      "92a3496e74cf8000000000000000", "92a3496e74d3fffffffffffffffe", "92a3496e74d0ff",
      "92a3496e74cb3ff0000000000000", "92a3537472c4026162", "92a3537472a1ff", "92a3537472db0000000178",
      "92a4426f6f6cc3", "92a4426f6f6c01", "92a44e6f6e65c0", "93a3496e740102",
      "92a34d617082a16192a3496e7401a16192a3496e7402", "92a34d617081c4016192a3496e7401",
  };
  for (std::string c : msgpack) {
    std::string nest = "92a34d617081a16b92a44c6973749292a3537472a161" + c;
    same(value_from_msgpack(unhex(c)), value_from_msgpack(unhex(nest)), c, codec::read_msgpack,
         unhex(c));
  }
}

TEST(CodecLimits, NestingLimitsOfBothCodecs) {
  auto capture_json = [](const std::string& text) {
    codec::Content c;
    auto st = codec::read_json(text, [&](codec::Deserializer& d) { return codec::capture(d, c); });
    return st ? std::string("OK") : st.error().text();
  };
  EXPECT_EQ(capture_json(std::string(127, '[') + std::string(127, ']')), "OK");
  EXPECT_EQ(capture_json(std::string(128, '[') + std::string(128, ']')),
            "recursion limit exceeded at line 1 column 128");
  auto capture_mp = [](const std::string& bytes) {
    codec::Content c;
    auto st = codec::read_msgpack(bytes, [&](codec::Deserializer& d) { return codec::capture(d, c); });
    return st ? std::string("OK") : st.error().text();
  };
  EXPECT_EQ(capture_mp(std::string(1023, '\x91') + "\xc0"), "OK");
  EXPECT_EQ(capture_mp(std::string(1024, '\x91') + "\xc0"), "depth limit exceeded");
}

// A list reserves room for the count its header gives, but never for more
// elements than the bytes left could hold: a forged count fails at the end
// of the input instead of asking for gigabytes first.
TEST(CodecLimits, ForgedMessagePackCountReservesNoMoreThanTheInput) {
  for (const char* forged : {"92a44c697374ddffffffff", "92a44c697374ddffffffff92a3496e7401"}) {
    auto r = value_from_msgpack(unhex(forged));
    ASSERT_FALSE(r) << forged;
    EXPECT_EQ(r.error(), "IO error while reading marker: failed to fill whole buffer");
  }
}

TEST(CodecDescribe, WhatWasFound) {
  using codec::Unexpected;
  using K = Unexpected::Kind;
  EXPECT_EQ(codec::describe(Unexpected::unsigned_int(5)), "integer `5`");
  EXPECT_EQ(codec::describe(Unexpected::signed_int(-5)), "integer `-5`");
  EXPECT_EQ(codec::describe(Unexpected::str("x\"\n\x01")), "string \"x\\\"\\n\\u{1}\"");
  EXPECT_EQ(codec::describe(Unexpected::floating(1.5)), "floating point `1.5`");
  EXPECT_EQ(codec::describe(Unexpected::boolean(true)), "boolean `true`");
  EXPECT_EQ(codec::describe(Unexpected::of(K::Unit)), "unit value");
  EXPECT_EQ(codec::describe(Unexpected::of(K::Seq)), "sequence");
  EXPECT_EQ(codec::describe(Unexpected::of(K::Map)), "map");
  EXPECT_EQ(codec::describe(Unexpected::of(K::Bytes)), "byte array");
  const std::pair<double, const char*> floats[] = {
      {1.0, "1"}, {1e3, "1000"}, {2.5e-3, "0.0025"}, {-0.0, "-0"}, {0.1, "0.1"},
      {18446744073709551616.0, "18446744073709552000"}, {-9223372036854775809.0, "-9223372036854776000"},
      {1.100000023841858, "1.100000023841858"}, {1e-7, "0.0000001"}};
  for (const auto& [f, text] : floats) EXPECT_EQ(codec::format_float(f), text);
}

}  // namespace
}  // namespace vostrel::kernel
