// The shared reader reference cases (shared/vectors/reader_cases.jsonl), for
// any test that runs the cases of its kinds through its readers.
#pragma once

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

// Every case of `kind`, in file order (empty when the file is missing, which
// the caller should treat as a failure).
std::vector<VectorCase> vector_cases(std::string_view kind);

// Loads the whole file once.
const std::vector<VectorCase>& all_vector_cases();

}  // namespace vostrel::testing
