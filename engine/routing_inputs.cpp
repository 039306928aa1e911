#include "engine/routing_inputs.h"

namespace vostrel::routing_inputs {

Result<std::vector<agent_fold::SourceRegistration>> sources_from_json(std::string_view text) {
  auto inputs = codec::from_json<std::vector<SourceRegistrationInput>>(text);
  if (!inputs) return fail(std::move(inputs.error()));
  std::vector<agent_fold::SourceRegistration> sources;
  sources.reserve(inputs->size());
  for (SourceRegistrationInput& input : *inputs) {
    agent_fold::SourceRegistration source{std::move(input.source_id), {}};
    source.pairs.reserve(input.pairs.size());
    for (SourcePairInput& pair : input.pairs) {
      source.pairs.push_back(
          agent_fold::SourcePair{std::move(pair.request_type), std::move(pair.result_type)});
    }
    sources.push_back(std::move(source));
  }
  return sources;
}

Result<std::vector<agent_fold::OutboundCheckDef>> outbound_checks_from_json(std::string_view text) {
  auto inputs = codec::from_json<std::vector<OutboundCheckInput>>(text);
  if (!inputs) return fail(std::move(inputs.error()));
  std::vector<agent_fold::OutboundCheckDef> checks;
  checks.reserve(inputs->size());
  for (OutboundCheckInput& input : *inputs) {
    checks.push_back(
        agent_fold::OutboundCheckDef{std::move(input.request_type), std::move(input.check_source)});
  }
  return checks;
}

Result<std::vector<agent_fold::ResultCheckDef>> inbound_checks_from_json(std::string_view text) {
  auto inputs = codec::from_json<std::vector<InboundCheckInput>>(text);
  if (!inputs) return fail(std::move(inputs.error()));
  std::vector<agent_fold::ResultCheckDef> checks;
  checks.reserve(inputs->size());
  for (InboundCheckInput& input : *inputs) {
    checks.push_back(
        agent_fold::ResultCheckDef{std::move(input.result_type), std::move(input.check_source)});
  }
  return checks;
}

}  // namespace vostrel::routing_inputs
