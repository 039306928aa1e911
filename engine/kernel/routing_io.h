// Readers of the routing records, on the generic record reader: each record
// is a map of its fields (any order, unknown keys skipped) or an array of
// them in declaration order.
#pragma once

#include <array>
#include <string_view>

#include "engine/codec/record.h"
#include "engine/kernel/routing.h"

namespace vostrel::codec {

template <>
struct Codec<kernel::DispatchRule> : Record<kernel::DispatchRule> {
  static constexpr std::string_view expecting = "struct DispatchRule";
  static constexpr auto fields = std::array{
      field<&kernel::DispatchRule::request_type>("request_type"),
      field<&kernel::DispatchRule::result_type>("result_type"),
  };
};

template <>
struct Codec<kernel::OutboundCheckRule> : Record<kernel::OutboundCheckRule> {
  static constexpr std::string_view expecting = "struct OutboundCheckRule";
  static constexpr auto fields = std::array{
      field<&kernel::OutboundCheckRule::request_type>("request_type"),
      field<&kernel::OutboundCheckRule::check_source>("check_source"),
  };
};

template <>
struct Codec<kernel::InboundCheckRule> : Record<kernel::InboundCheckRule> {
  static constexpr std::string_view expecting = "struct InboundCheckRule";
  static constexpr auto fields = std::array{
      field<&kernel::InboundCheckRule::result_type>("result_type"),
      field<&kernel::InboundCheckRule::check_source>("check_source"),
  };
};

template <>
struct Codec<kernel::RoutingConfig> : Record<kernel::RoutingConfig> {
  static constexpr std::string_view expecting = "struct RoutingConfig";
  static constexpr auto fields = std::array{
      field<&kernel::RoutingConfig::dispatch_rules>("dispatch_rules"),
      field<&kernel::RoutingConfig::outbound_checks>("outbound_checks"),
      field<&kernel::RoutingConfig::inbound_checks>("inbound_checks"),
  };
};

template <>
struct Codec<kernel::InboundCheckDef> : Record<kernel::InboundCheckDef> {
  static constexpr std::string_view expecting = "struct InboundCheckDef";
  static constexpr auto fields = std::array{
      field<&kernel::InboundCheckDef::intercept>("intercept"),
      field<&kernel::InboundCheckDef::check_source>("check_source"),
  };
};

}  // namespace vostrel::codec
