// Session definitions: a JSON document that names the transducers of one
// agent session, the sources it is connected to (which request types each
// answers with which result types), the checks that requests and events must
// pass, and a free map of string settings.
//
// A definition is read (`from_json`), checked (`validate`, every problem in
// a fixed order, or `validate_strict`, the first), and compiled into a
// session configuration (`load`). Loading does not validate: a host is
// expected to validate first, and `load` accepts whatever it is given.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/codec/record.h"
#include "engine/kernel/routing.h"
#include "engine/result.h"

namespace vostrel::session_def {

struct SourcePairDef {
  std::string request_type;
  std::string result_type;
  friend bool operator==(const SourcePairDef&, const SourcePairDef&) = default;
};

// `direction` is free text; only "inbound" and "outbound" (exact bytes) mean
// anything. An outbound check intercepts a request type, an inbound one an
// event tag.
struct CheckDef {
  std::string intercept;
  std::string direction;
  std::string check_source;
  friend bool operator==(const CheckDef&, const CheckDef&) = default;
};

struct ConnectionSpec {
  std::string source_id;
  std::vector<SourcePairDef> pairs;
  std::vector<CheckDef> checks;
  friend bool operator==(const ConnectionSpec&, const ConnectionSpec&) = default;
};

// `name` is read and used by nothing.
struct SessionDef {
  std::string name;
  std::vector<std::string> transducers;
  std::vector<ConnectionSpec> connections;
  std::map<std::string, std::string> config;  // a repeated JSON key keeps its last value
  friend bool operator==(const SessionDef&, const SessionDef&) = default;
};

struct LoadResult {
  kernel::SessionConfig session_config;
  std::vector<std::string> transducer_names;
  std::set<std::string> source_ids;  // each connection's id once, in byte order
  std::map<std::string, std::string> config;
  friend bool operator==(const LoadResult&, const LoadResult&) = default;
};

struct ValidationError {
  enum class Kind : std::uint8_t {
    CheckSourceNotFound,       // check_source, source_id
    DuplicateSourceId,         // source_id
    DuplicateRequestType,      // request_type
    UnknownTransducer,         // name
    InvalidCheckDirection,     // direction, source_id
    CheckInterceptNotInPairs,  // intercept, source_id
  };

  Kind kind;
  // The offending text; for two-field kinds `second` is the source id of the
  // connection holding the check. Unused fields are empty.
  std::string first;
  std::string second;

  // The user-facing message, e.g. "duplicate source_id: llm".
  std::string display() const;

  friend bool operator==(const ValidationError&, const ValidationError&) = default;
};

// One SessionDef filling the whole text; the error is the JSON reader's text
// with its position.
Result<SessionDef> from_json(std::string_view text);

// Connection by connection: dispatch and outbound rules follow the pairs,
// inbound rules (held both in the topology and as InboundCheckDefs) follow
// the checks. Never fails.
LoadResult load(const SessionDef& def);

// Every problem, in this order: repeated source ids, repeated request types,
// unknown transducer names, then per check its direction, its check source
// and its intercept (each test independent of the others).
std::vector<ValidationError> validate(const SessionDef& def);

// The first error that `validate` would list.
Result<void, ValidationError> validate_strict(const SessionDef& def);

}  // namespace vostrel::session_def

namespace vostrel::codec {

template <>
struct Codec<session_def::SourcePairDef> : Record<session_def::SourcePairDef> {
  static constexpr std::string_view expecting = "struct SourcePairDef";
  static constexpr auto fields = std::array{
      field<&session_def::SourcePairDef::request_type>("request_type"),
      field<&session_def::SourcePairDef::result_type>("result_type"),
  };
};

template <>
struct Codec<session_def::CheckDef> : Record<session_def::CheckDef> {
  static constexpr std::string_view expecting = "struct CheckDef";
  static constexpr auto fields = std::array{
      field<&session_def::CheckDef::intercept>("intercept"),
      field<&session_def::CheckDef::direction>("direction"),
      field<&session_def::CheckDef::check_source>("check_source"),
  };
};

template <>
struct Codec<session_def::ConnectionSpec> : Record<session_def::ConnectionSpec> {
  static constexpr std::string_view expecting = "struct ConnectionSpec";
  static constexpr auto fields = std::array{
      field<&session_def::ConnectionSpec::source_id>("source_id"),
      field<&session_def::ConnectionSpec::pairs>("pairs"),
      field<&session_def::ConnectionSpec::checks>("checks"),
  };
};

template <>
struct Codec<session_def::SessionDef> : Record<session_def::SessionDef> {
  static constexpr std::string_view expecting = "struct SessionDef";
  static constexpr auto fields = std::array{
      field<&session_def::SessionDef::name>("name"),
      field<&session_def::SessionDef::transducers>("transducers"),
      field<&session_def::SessionDef::connections>("connections"),
      field<&session_def::SessionDef::config>("config"),
  };
};

}  // namespace vostrel::codec
