// The JSON inputs of routing derivation: source registrations, outbound
// check definitions and inbound check definitions, each a JSON array of
// records (map or positional form), converted element by element, in order,
// into the agent fold's own records.
//
// These records are only read, never written; their names appear in the
// readers' messages ("struct SourcePairInput with 2 elements", ...).
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "engine/agent_fold.h"
#include "engine/codec/record.h"
#include "engine/result.h"

namespace vostrel::routing_inputs {

struct SourcePairInput {
  std::string request_type;
  std::string result_type;
};

struct SourceRegistrationInput {
  std::string source_id;
  std::vector<SourcePairInput> pairs;
};

struct OutboundCheckInput {
  std::string request_type;
  std::string check_source;
};

struct InboundCheckInput {
  std::string result_type;
  std::string check_source;
};

// Each reads one JSON array filling the whole text; the error is the JSON
// reader's text with its position.
Result<std::vector<agent_fold::SourceRegistration>> sources_from_json(std::string_view text);
Result<std::vector<agent_fold::OutboundCheckDef>> outbound_checks_from_json(std::string_view text);
// Each input's `result_type` is the event tag that the check intercepts.
Result<std::vector<agent_fold::ResultCheckDef>> inbound_checks_from_json(std::string_view text);

}  // namespace vostrel::routing_inputs

namespace vostrel::codec {

template <>
struct Codec<routing_inputs::SourcePairInput> : Record<routing_inputs::SourcePairInput> {
  static constexpr std::string_view expecting = "struct SourcePairInput";
  static constexpr auto fields = std::array{
      field<&routing_inputs::SourcePairInput::request_type>("request_type"),
      field<&routing_inputs::SourcePairInput::result_type>("result_type"),
  };
};

template <>
struct Codec<routing_inputs::SourceRegistrationInput>
    : Record<routing_inputs::SourceRegistrationInput> {
  static constexpr std::string_view expecting = "struct SourceRegistrationInput";
  static constexpr auto fields = std::array{
      field<&routing_inputs::SourceRegistrationInput::source_id>("source_id"),
      field<&routing_inputs::SourceRegistrationInput::pairs>("pairs"),
  };
};

template <>
struct Codec<routing_inputs::OutboundCheckInput> : Record<routing_inputs::OutboundCheckInput> {
  static constexpr std::string_view expecting = "struct OutboundCheckInput";
  static constexpr auto fields = std::array{
      field<&routing_inputs::OutboundCheckInput::request_type>("request_type"),
      field<&routing_inputs::OutboundCheckInput::check_source>("check_source"),
  };
};

template <>
struct Codec<routing_inputs::InboundCheckInput> : Record<routing_inputs::InboundCheckInput> {
  static constexpr std::string_view expecting = "struct InboundCheckInput";
  static constexpr auto fields = std::array{
      field<&routing_inputs::InboundCheckInput::result_type>("result_type"),
      field<&routing_inputs::InboundCheckInput::check_source>("check_source"),
  };
};

}  // namespace vostrel::codec
