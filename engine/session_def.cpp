#include "engine/session_def.h"

#include <algorithm>

namespace vostrel::session_def {

namespace {

constexpr std::string_view kInbound = "inbound";
constexpr std::string_view kOutbound = "outbound";

// The transducers of the standard library, the only names a definition may use.
constexpr std::array<std::string_view, 6> kKnownTransducers = {
    "messages", "blocks", "usage", "call_llm", "execute_tool", "summary"};

bool is_known_transducer(std::string_view name) {
  return std::ranges::find(kKnownTransducers, name) != kKnownTransducers.end();
}

bool names_a_pair(const ConnectionSpec& connection, std::string_view intercept) {
  return std::ranges::any_of(connection.pairs, [&](const SourcePairDef& pair) {
    return pair.request_type == intercept || pair.result_type == intercept;
  });
}

ValidationError error(ValidationError::Kind kind, std::string first, std::string second = {}) {
  return ValidationError{kind, std::move(first), std::move(second)};
}

}  // namespace

std::string ValidationError::display() const {
  switch (kind) {
    case Kind::CheckSourceNotFound:
      return "check_source '" + first + "' not found (connection '" + second + "')";
    case Kind::DuplicateSourceId:
      return "duplicate source_id: " + first;
    case Kind::DuplicateRequestType:
      return "duplicate request_type: " + first;
    case Kind::UnknownTransducer:
      return "unknown transducer: " + first;
    case Kind::InvalidCheckDirection:
      return "invalid check direction '" + first + "' (connection '" + second + "')";
    case Kind::CheckInterceptNotInPairs:
      return "check intercept '" + first + "' not in connection '" + second + "' pairs";
  }
  return {};
}

Result<SessionDef> from_json(std::string_view text) { return codec::from_json<SessionDef>(text); }

LoadResult load(const SessionDef& def) {
  LoadResult result;
  kernel::RoutingConfig& routing = result.session_config.topology;
  for (const ConnectionSpec& connection : def.connections) {
    result.source_ids.insert(connection.source_id);
    for (const SourcePairDef& pair : connection.pairs) {
      routing.dispatch_rules.push_back(kernel::DispatchRule{pair.request_type, pair.result_type});
      auto check = std::ranges::find_if(connection.checks, [&](const CheckDef& c) {
        return c.intercept == pair.request_type && c.direction == kOutbound;
      });
      if (check != connection.checks.end()) {
        routing.outbound_checks.push_back(
            kernel::OutboundCheckRule{pair.request_type, check->check_source});
      }
    }
    for (const CheckDef& check : connection.checks) {
      if (check.direction != kInbound) continue;
      routing.inbound_checks.push_back(kernel::InboundCheckRule{check.intercept, check.check_source});
      result.session_config.inbound_checks.push_back(
          kernel::InboundCheckDef{check.intercept, check.check_source});
    }
  }
  result.transducer_names = def.transducers;
  result.config = def.config;
  return result;
}

std::vector<ValidationError> validate(const SessionDef& def) {
  using Kind = ValidationError::Kind;
  std::vector<ValidationError> errors;

  std::set<std::string_view> source_ids;
  for (const ConnectionSpec& connection : def.connections) {
    if (!source_ids.insert(connection.source_id).second) {
      errors.push_back(error(Kind::DuplicateSourceId, connection.source_id));
    }
  }

  std::set<std::string_view> request_types;
  for (const ConnectionSpec& connection : def.connections) {
    for (const SourcePairDef& pair : connection.pairs) {
      if (!request_types.insert(pair.request_type).second) {
        errors.push_back(error(Kind::DuplicateRequestType, pair.request_type));
      }
    }
  }

  for (const std::string& name : def.transducers) {
    if (!is_known_transducer(name)) errors.push_back(error(Kind::UnknownTransducer, name));
  }

  for (const ConnectionSpec& connection : def.connections) {
    for (const CheckDef& check : connection.checks) {
      if (check.direction != kInbound && check.direction != kOutbound) {
        errors.push_back(error(Kind::InvalidCheckDirection, check.direction, connection.source_id));
      }
      if (!source_ids.contains(check.check_source)) {
        errors.push_back(error(Kind::CheckSourceNotFound, check.check_source, connection.source_id));
      }
      if (!names_a_pair(connection, check.intercept)) {
        errors.push_back(
            error(Kind::CheckInterceptNotInPairs, check.intercept, connection.source_id));
      }
    }
  }
  return errors;
}

Result<void, ValidationError> validate_strict(const SessionDef& def) {
  std::vector<ValidationError> errors = validate(def);
  if (errors.empty()) return {};
  return fail(std::move(errors.front()));
}

}  // namespace vostrel::session_def
