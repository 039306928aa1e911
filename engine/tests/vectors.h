// The reader reference cases (engine/tests/data/reader_cases.jsonl), for
// any test that runs the cases of its kinds through its readers.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace vostrel::testing {

struct VectorCase {
  std::string id;
  std::string kind;    // "value", "transducer", "snapshot", ...
  std::string format;  // "json" or "msgpack"
  std::string input;   // the text, or the MessagePack bytes (hex already decoded)
  std::string expect;  // "OK <canonical JSON>" or "ERR <exact message>"

  bool ok() const { return expect.starts_with("OK "); }
  // The canonical JSON or the error message, without "OK " / "ERR ".
  std::string_view expected_text() const {
    return std::string_view(expect).substr(ok() ? 3 : 4);
  }
};

// Every case of `kind`, in file order. The file is read once; when it cannot
// be read, or has no case of `kind`, the current test fails with the file's
// path and the result is empty.
std::vector<VectorCase> vector_cases(std::string_view kind);

// Every case of the file, in file order (same failure as above).
const std::vector<VectorCase>& all_vector_cases();

// What a reader answers for one case: "OK <canonical JSON>", "OK" where the
// record has no writer, or "ERR <message>".
using VectorOutcome = std::function<std::string(const VectorCase&)>;

// Runs every case of `kinds` through `outcome` and fails the current test on
// each case that neither agrees nor differs in one of the system's known,
// deliberate ways; prints a tally per kind and format.
void expect_every_case_agrees(std::initializer_list<const char*> kinds,
                              const VectorOutcome& outcome);

}  // namespace vostrel::testing
