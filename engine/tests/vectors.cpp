#include "engine/tests/vectors.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <fstream>
#include <sstream>

#include "engine/codec/record.h"

namespace vostrel::codec {
template <>
struct Codec<testing::VectorCase> : Record<testing::VectorCase> {
  static constexpr std::string_view expecting = "struct VectorCase";
  static constexpr auto fields = std::array{
      field<&testing::VectorCase::id>("id"),
      field<&testing::VectorCase::kind>("kind"),
      field<&testing::VectorCase::format>("format"),
      field<&testing::VectorCase::input>("input"),
      field<&testing::VectorCase::expect>("expect"),
  };
};
}  // namespace vostrel::codec

namespace vostrel::testing {
namespace {

std::string unhex(std::string_view hex) {
  auto val = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(val(hex[i]) * 16 + val(hex[i + 1])));
  return out;
}

// The reference cases are test data of the checkout itself.
const std::string& cases_path() {
  static const std::string path = VOSTREL_SOURCE_DIR "/engine/tests/data/reader_cases.jsonl";
  return path;
}

struct LoadedCases {
  std::vector<VectorCase> cases;
  std::string error;  // why the file could not be read whole; empty when it was
};

LoadedCases load() {
  LoadedCases out;
  std::ifstream in(cases_path(), std::ios::binary);
  if (!in) {
    out.error = "cannot open the reference cases file " + cases_path();
    return out;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty()) continue;
    auto c = codec::from_json<VectorCase>(line);
    if (!c) {
      out.error = cases_path() + ":" + std::to_string(number) + ": " + c.error();
      return out;
    }
    if (c->format == "msgpack") c->input = unhex(c->input);
    out.cases.push_back(std::move(*c));
  }
  if (out.cases.empty()) out.error = "no reference cases in " + cases_path();
  return out;
}

const LoadedCases& loaded() {
  static const LoadedCases cases = load();
  return cases;
}

// Fails the current test when the file could not be read; true when it was.
bool cases_readable() {
  if (loaded().error.empty()) return true;
  ADD_FAILURE() << loaded().error;
  return false;
}

}  // namespace

const std::vector<VectorCase>& all_vector_cases() {
  cases_readable();
  return loaded().cases;
}

std::vector<VectorCase> vector_cases(std::string_view kind) {
  std::vector<VectorCase> out;
  for (const auto& c : all_vector_cases())
    if (c.kind == kind) out.push_back(c);
  if (out.empty() && loaded().error.empty())
    ADD_FAILURE() << "no cases of kind " << kind << " in " << cases_path();
  return out;
}

namespace {

// Where this system deliberately answers otherwise than the reference codec,
// a case must differ in exactly this way (the rules themselves are pinned in
// codec_rules_test.cpp).
struct KnownDifference {
  const char* rule;
  bool (*explains)(const VectorCase& c, const std::string& got);
};

const KnownDifference kKnownDifferences[] = {
    {"the Value reader names a JSON null \"unit value\"",
     [](const VectorCase& c, const std::string& got) {
       if (c.format != "json" || c.ok()) return false;
       std::string want = c.expect;
       constexpr std::string_view null = "invalid type: null, ";
       if (auto at = want.find(null); at != std::string::npos)
         want.replace(at, null.size(), "invalid type: unit value, ");
       return got == want && got != c.expect;
     }},
    {"a MessagePack tag map other than {name: nil} is refused as a map",
     [](const VectorCase& c, const std::string& got) {
       return c.format == "msgpack" && c.kind == "vtype" &&
              got == "ERR invalid type: map, expected enum VType";
     }},
};

}  // namespace

void expect_every_case_agrees(std::initializer_list<const char*> kinds,
                              const VectorOutcome& outcome) {
  std::map<std::string, std::pair<int, int>> tally;  // kind/format -> (passed, total)
  std::map<std::string, int> differences;
  int failures = 0;
  if (!cases_readable()) return;
  for (const char* kind : kinds) {
    auto cases = vector_cases(kind);
    for (const auto& c : cases) {
      std::string got = outcome(c);
      bool pass = got == c.expect || (c.ok() && got == "OK");
      for (const auto& d : kKnownDifferences) {
        if (!pass && d.explains(c, got)) {
          ++differences[d.rule];
          pass = true;
        }
      }
      auto& t = tally[c.kind + "/" + c.format];
      ++t.second;
      if (pass) {
        ++t.first;
      } else if (++failures <= 60) {
        ADD_FAILURE() << c.id << "\n  input:    " << (c.format == "json" ? c.input : "(bytes)")
                      << "\n  expected: " << c.expect << "\n  got:      " << got;
      }
    }
  }
  for (const auto& [k, t] : tally) std::printf("vectors %-30s %d/%d\n", k.c_str(), t.first, t.second);
  for (const auto& [rule, n] : differences)
    std::printf("vectors known difference (%d): %s\n", n, rule.c_str());
  EXPECT_EQ(failures, 0);
}

}  // namespace vostrel::testing
