#include "engine/loader.h"

#include <gtest/gtest.h>

#include "engine/kernel/debug_quote.h"
#include "engine/tests/kernel_builders.h"

namespace vostrel::loader {
namespace {

using namespace kernel::build;
using kernel::SlotDef;
using kernel::TransducerDef;

TransducerDef td(std::string name, std::vector<std::string> slots,
                 std::vector<kernel::Rule> rules) {
  TransducerDef t{std::move(name), {}, std::move(rules)};
  for (auto& s : slots) t.slots.push_back(SlotDef{std::move(s), I(0)});
  return t;
}

std::vector<std::string> texts(const std::vector<LoadError>& errors) {
  std::vector<std::string> out;
  for (const LoadError& e : errors) out.push_back(debug_string(e));
  return out;
}

using Texts = std::vector<std::string>;

TEST(Validate, EmptyListAndEmptyTransducer) {
  EXPECT_TRUE(validate_session({}).empty());
  EXPECT_TRUE(init_env({}).empty());
  EXPECT_EQ(texts(validate_session({td("x", {}, {})})),
            Texts{"EmptyTransducer { transducer: \"x\" }"});
}

TEST(Validate, UndeclaredSlotsEveryOffendingUpdate) {
  const TransducerDef a = td("a", {"s"}, {});
  const TransducerDef t =
      td("t", {"own"},
         {rule("E", lit_b(true), {upd("x", lit_i(1)), upd("x", lit_i(2)), upd("own", lit_i(3))}),
          rule("F", lit_b(true), {upd("s", lit_i(1))})});
  EXPECT_EQ(texts(validate_transducer(t)),
            (Texts{"UndeclaredSlot { transducer: \"t\", rule_on: \"E\", slot: \"x\" }",
                   "UndeclaredSlot { transducer: \"t\", rule_on: \"E\", slot: \"x\" }",
                   "UndeclaredSlot { transducer: \"t\", rule_on: \"F\", slot: \"s\" }"}));
  // Declared by another transducer is still undeclared here; the empty
  // transducer comes before the conflicts.
  EXPECT_EQ(texts(validate_session({a, t})),
            (Texts{"EmptyTransducer { transducer: \"a\" }",
                   "UndeclaredSlot { transducer: \"t\", rule_on: \"E\", slot: \"x\" }",
                   "UndeclaredSlot { transducer: \"t\", rule_on: \"E\", slot: \"x\" }",
                   "UndeclaredSlot { transducer: \"t\", rule_on: \"F\", slot: \"s\" }"}));
}

TEST(Validate, SlotConflictsAndInitialEnvironment) {
  auto with_initial = [](TransducerDef t, std::int64_t v) {
    for (SlotDef& s : t.slots) s.initial = I(v);
    return t;
  };
  const auto ok_rule = rule("E", lit_b(true));
  const std::vector<TransducerDef> ts = {
      with_initial(td("a", {"x"}, {ok_rule}), 1), with_initial(td("b", {"x", "y"}, {ok_rule}), 2),
      with_initial(td("c", {"x"}, {}), 3), with_initial(td("t", {"z", "z"}, {ok_rule}), 4)};
  EXPECT_EQ(texts(validate_session(ts)),
            (Texts{"EmptyTransducer { transducer: \"c\" }",
                   "SlotConflict { slot: \"x\", transducer_a: \"a\", transducer_b: \"b\" }",
                   "SlotConflict { slot: \"x\", transducer_a: \"a\", transducer_b: \"c\" }",
                   "SlotConflict { slot: \"z\", transducer_a: \"t\", transducer_b: \"t\" }"}));
  EXPECT_EQ(init_env(ts), (kernel::Env{{"x", I(3)}, {"y", I(2)}, {"z", I(4)}}));
  // The later of two declarations within one transducer wins.
  TransducerDef twice{"t", {SlotDef{"z", I(1)}, SlotDef{"z", I(2)}}, {}};
  EXPECT_EQ(init_env({twice}), (kernel::Env{{"z", I(2)}}));
}

TEST(Validate, DebugFormsOfEveryVariant) {
  EXPECT_EQ(debug_string(MergeConflict{SlotConflict{"s", "a", "b"}}),
            "MergeConflict(SlotConflict { slot: \"s\", transducer_a: \"a\", transducer_b: \"b\" })");
  EXPECT_EQ(debug_string(MacroExpansion{"t", kernel::expand::UnknownMacro{"max"}}),
            "MacroExpansion { transducer: \"t\", error: UnknownMacro { name: \"max\" } }");
  EXPECT_EQ(debug_string(EmptyTransducer{"a\"b\nc"}),
            "EmptyTransducer { transducer: \"a\\\"b\\nc\" }");
}

TEST(DebugQuote, EscapesLikeTheDebugForm) {
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {"", "\"\""},
      {"plain 'quote' /", "\"plain 'quote' /\""},
      {"\"\\", "\"\\\"\\\\\""},
      {"\t\r\n", "\"\\t\\r\\n\""},
      {std::string("a\0b", 3), "\"a\\0b\""},
      {"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
      {"\xc2\x85", "\"\\u{85}\""},                  // NEL, a control character
      {"\xc2\xa0", "\"\\u{a0}\""},                  // no-break space, a separator
      {"\xc2\xad", "\"\\u{ad}\""},                  // soft hyphen, a format character
      {"\xc3\xa9", "\"\xc3\xa9\""},                 // é, printable
      {"e\xcc\x81", "\"e\\u{301}\""},               // combining acute accent
      {"\xe2\x80\xa8", "\"\\u{2028}\""},            // line separator
      {"\xe2\x80\x8b", "\"\\u{200b}\""},            // zero width space (Cf)
      {"\xe4\xb8\xad", "\"\xe4\xb8\xad\""},         // CJK, printable
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},  // emoji, printable
      {"\xee\x80\x80", "\"\\u{e000}\""},            // private use
      {"\xf3\xa0\x80\x81", "\"\\u{e0001}\""},       // language tag (Cf)
      {"\xf4\x8f\xbf\xbf", "\"\\u{10ffff}\""},      // unassigned
      {"\xcd\xb8", "\"\\u{378}\""},                 // unassigned in the BMP
      {"\xe2\x80\x8d", "\"\\u{200d}\""},            // zero width joiner: format and extender
      {"\xff", "\"\xef\xbf\xbd\""},                 // not UTF-8
      {"\xe4\xb8", "\"\xef\xbf\xbd\xef\xbf\xbd\""},  // truncated sequence
  };
  for (const Case& c : cases) EXPECT_EQ(kernel::debug_quote(c.in), c.out) << c.in;
  EXPECT_EQ(kernel::unicode_version(), "15.0.0");
}

}  // namespace
}  // namespace vostrel::loader
