// UTF-8 validation and measuring: the word-at-a-time scan against a plain
// byte-by-byte model, on every short sequence of the bytes that matter placed where each
// path of the scan sees it (inside a run of ASCII words, between other
// characters, in the last bytes), and on longer random texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/codec/text.h"

namespace vostrel::codec {
namespace {

// The model: one character at a time, straight from the definition of the
// encoding. Returns the fault, or nullopt when the text is valid.
std::optional<Utf8Fault> model_fault(std::string_view v) {
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(v[k]); };
  auto cont = [](unsigned char b) { return (b & 0xC0) == 0x80; };
  std::size_t i = 0;
  while (i < v.size()) {
    unsigned char b = at(i);
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t width = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3
                        : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
    if (width == 0) return Utf8Fault{i, 1};
    unsigned lo = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
    unsigned hi = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
    for (std::size_t k = 1; k < width; ++k) {
      if (i + k >= v.size()) return Utf8Fault{i, 0};
      unsigned char c = at(i + k);
      bool ok = k == 1 ? c >= lo && c <= hi : cont(c);
      if (!ok) return Utf8Fault{i, k};
    }
    i += width;
  }
  return std::nullopt;
}

void expect_same(const std::string& text) {
  Utf8Fault got{99, 99};
  bool valid = utf8_valid(text, &got);
  auto want = model_fault(text);
  ASSERT_EQ(valid, !want.has_value()) << testing::PrintToString(text);
  Utf8Shape shape{};
  ASSERT_EQ(utf8_measure(text, shape), valid) << testing::PrintToString(text);
  if (valid) {
    // The characters one by one, and the narrowest range holding them.
    std::size_t chars = 0;
    char32_t top = 0;
    for (std::size_t i = 0; i < text.size(); ++chars) top = std::max(top, decode_utf8(text, i));
    char32_t range = top < 0x80 ? 0x7F : top < 0x100 ? 0xFF : top < 0x10000 ? 0xFFFF : 0x10FFFF;
    EXPECT_EQ(shape.chars, chars) << testing::PrintToString(text);
    EXPECT_EQ(shape.max_char, range) << testing::PrintToString(text);
  }
  if (want) {
    EXPECT_EQ(got.valid_up_to, want->valid_up_to) << testing::PrintToString(text);
    EXPECT_EQ(got.error_len, want->error_len) << testing::PrintToString(text);
  }
}

TEST(CodecText, Utf8ValidAgreesWithTheModelOnShortSequencesEverywhere) {
  // Bytes at every boundary of the rules.
  const unsigned char kBytes[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                  0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0,
                                  0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
  // Every offset within a word, with words of text before and after; and
  // after characters of each width.
  std::vector<std::array<std::string, 2>> places = {
      {"", ""},
      {"0123456789abcdefghijklmnopqrstuv", ""},
      {"\xe4\xb8\xad\xe6\x96\x87 ", "\xf0\x9f\x98\x80 0123456789"},
      {"\xc3\xa9\xf0\x9f\x98\x80", "\xe4\xb8\xad\xe4\xb8\xad\xe4\xb8\xad"},
  };
  for (std::size_t k = 0; k < 9; ++k)
    places.push_back({std::string("abcdefgh").substr(0, k), "0123456789abcdef"});
  for (const auto& place : places) {
    for (unsigned char a : kBytes) {
      for (unsigned char b : kBytes) {
        for (unsigned char c : kBytes) {
          std::string seq{static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
          for (std::size_t n = 1; n <= 3; ++n) expect_same(place[0] + seq.substr(0, n) + place[1]);
          expect_same(place[0] + seq + "\x80" + place[1]);
          expect_same(place[0] + seq + "\xbf\xbf" + place[1]);
        }
      }
    }
  }
}

TEST(CodecText, Utf8ValidAgreesWithTheModelOnRandomTexts) {
  const std::string kPieces[] = {"a",           "hello world ",     "\xc3\xa9",
                                 "\xe4\xb8\xad",  "\xf0\x9f\x98\x80", "\xed\x9f\xbf",
                                 "\xef\xbf\xbd",  "\xf4\x8f\xbf\xbf", "0123456789abcdef"};
  std::mt19937 rng(20);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    int n = static_cast<int>(rng() % 40);
    for (int k = 0; k < n; ++k) text += kPieces[rng() % std::size(kPieces)];
    expect_same(text);
    if (text.empty()) continue;
    // One damaged byte anywhere.
    text[rng() % text.size()] = static_cast<char>(rng() % 256);
    expect_same(text);
  }
}

}  // namespace
}  // namespace vostrel::codec
