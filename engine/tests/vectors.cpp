#include "engine/tests/vectors.h"

#include <filesystem>
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

// The shared directory sits next to the checkout, or next to one of its
// parents when the checkout is a worktree further down.
std::filesystem::path cases_file() {
  namespace fs = std::filesystem;
  const fs::path rel = fs::path("vectors") / "reader_cases.jsonl";
  fs::path direct = fs::path(VOSTREL_SHARED_DIR) / rel;
  if (fs::exists(direct)) return direct;
  for (fs::path dir = fs::path(VOSTREL_SOURCE_DIR); dir.has_relative_path(); dir = dir.parent_path())
    if (fs::exists(dir.parent_path() / "shared" / rel)) return dir.parent_path() / "shared" / rel;
  return direct;
}

std::vector<VectorCase> load() {
  std::vector<VectorCase> cases;
  std::ifstream in(cases_file(), std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    auto c = codec::from_json<VectorCase>(line);
    if (!c) continue;
    if (c->format == "msgpack") c->input = unhex(c->input);
    cases.push_back(std::move(*c));
  }
  return cases;
}

}  // namespace

const std::vector<VectorCase>& all_vector_cases() {
  static const std::vector<VectorCase> cases = load();
  return cases;
}

std::vector<VectorCase> vector_cases(std::string_view kind) {
  std::vector<VectorCase> out;
  for (const auto& c : all_vector_cases())
    if (c.kind == kind) out.push_back(c);
  return out;
}

}  // namespace vostrel::testing
