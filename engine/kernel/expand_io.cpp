#include "engine/kernel/expand_io.h"

namespace vostrel::kernel::expand {

Result<std::vector<MacroDef>> macros_from_json(std::string_view text) {
  return codec::from_json<std::vector<MacroDef>>(text);
}

}  // namespace vostrel::kernel::expand
