// How reader errors quote a string they found where something else was
// expected: the debug quoting of codec/text.h, at every reader position. The
// expected texts are the reference codec's answers on the same documents.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "engine/kernel/routing.h"
#include "engine/kernel/value_io.h"
#include "engine/session.h"

namespace vostrel {
namespace {

// A JSON string literal as written in a document, and how a message shows it.
struct Quoted {
  std::string_view literal;
  std::string_view shown;
};

constexpr Quoted kQuoted[] = {
    {R"("\t\r\n")", R"("\t\r\n")"},
    {R"("\"\\")", R"("\"\\")"},
    {R"("\u0000")", R"("\0")"},
    {R"("'/ a")", R"("'/ a")"},
    {R"("\u0001\u001f\u007f")", R"("\u{1}\u{1f}\u{7f}")"},           // Cc
    {"\"\xc2\x85\"", R"("\u{85}")"},                                   // Cc (C1)
    {"\"\xc2\xad\xd8\x9c\"", R"("\u{ad}\u{61c}")"},                    // Cf
    {"\"\xe2\x80\x8b\xef\xbb\xbf\"", R"("\u{200b}\u{feff}")"},         // Cf
    {"\"\xf3\xa0\x80\x81\"", R"("\u{e0001}")"},                        // Cf, a tag
    {"\"\xee\x80\x80\xf3\xb0\x80\x80\"", R"("\u{e000}\u{f0000}")"},    // Co
    {"\"\xcd\xb8\xf4\x8f\xbf\xbf\"", R"("\u{378}\u{10ffff}")"},        // Cn
    {"\"\xe2\x80\xa8\xe2\x80\xa9\"", R"("\u{2028}\u{2029}")"},         // Zl, Zp
    {"\"\xc2\xa0\xe3\x80\x80\"", R"("\u{a0}\u{3000}")"},               // Zs
    {"\"a\xcc\x81\"", R"("a\u{301}")"},                                // Mn
    {"\"\xd2\x89\"", R"("\u{489}")"},                                  // Me
    {"\"\xe2\x9d\xa4\xef\xb8\x8f\"", "\"\xe2\x9d\xa4\\u{fe0f}\""},     // variation selector
    {"\"\xe2\x80\x8c\xe2\x80\x8d\"", R"("\u{200c}\u{200d}")"},         // joiners
    {"\"\xe0\xa6\xbe\xef\xbe\x9e\"", R"("\u{9be}\u{ff9e}")"},          // other extenders
    {"\"\xc3\xa9\xe4\xb8\xad\xe0\xa4\x83\"", "\"\xc3\xa9\xe4\xb8\xad\xe0\xa4\x83\""},  // printable
    {"\"\xf0\x9f\x98\x80\xf0\x9f\x8f\xbb\"", "\"\xf0\x9f\x98\x80\xf0\x9f\x8f\xbb\""},  // printable
};

// A reader position: the document around the string and what it expected
// there. A type error points past the string; one found in a held payload,
// past the document.
struct Position {
  std::string_view before, after, expected;
  bool held;
  std::string (*read)(const std::string& doc);
};

template <class T>
std::string error_of(const Result<T>& r) {
  return r ? "read without error" : r.error();
}

const Position kPositions[] = {
    {R"({"type":"Int","value":)", "}", "i64", false,
     [](const std::string& doc) { return error_of(kernel::value_from_json(doc)); }},
    // The payload comes before its tag: it is held, then read from there.
    {R"({"value":)", R"(,"type":"Int"})", "i64", true,
     [](const std::string& doc) { return error_of(kernel::value_from_json(doc)); }},
    {R"({"pending":[],"vm_env":{},"event_count":)", "}", "u64", false,
     [](const std::string& doc) { return error_of(session::snapshot_from_json(doc)); }},
    {R"({"dispatch_rules":)", R"(,"outbound_checks":[],"inbound_checks":[]})", "a sequence", false,
     [](const std::string& doc) { return error_of(kernel::routing_from_json(doc)); }},
};

TEST(CodecQuoting, FoundStringsAtEveryPosition) {
  for (const Position& p : kPositions) {
    for (const Quoted& q : kQuoted) {
      std::string doc = std::string(p.before) + std::string(q.literal) + std::string(p.after);
      std::size_t column = p.held ? doc.size() : p.before.size() + q.literal.size();
      std::string want = "invalid type: string " + std::string(q.shown) + ", expected " +
                         std::string(p.expected) + " at line 1 column " + std::to_string(column);
      EXPECT_EQ(p.read(doc), want) << doc;
    }
  }
}

}  // namespace
}  // namespace vostrel
