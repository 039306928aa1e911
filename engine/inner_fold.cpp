#include "engine/inner_fold.h"

#include <algorithm>

namespace vostrel::inner_fold {

std::string_view request_type_of(std::string_view key) {
  return key.substr(0, key.find(':'));
}

bool contains_key(const std::vector<std::string>& list, std::string_view key) {
  return std::find(list.begin(), list.end(), key) != list.end();
}

std::vector<std::string> clear_key_pending(std::vector<std::string> pending, std::string_view key) {
  std::erase(pending, key);
  return pending;
}

std::vector<std::string> gate_by_key(const std::vector<std::string>& keys,
                                     const std::vector<std::string>& pending) {
  return gate_by_key(keys, [&pending](const std::string& key) { return contains_key(pending, key); });
}

void make_room_for(std::vector<std::string>& pending, const std::vector<std::string>& fresh) {
  const std::size_t needed = pending.size() + fresh.size();
  if (needed > pending.capacity()) pending.reserve(std::max(needed, 2 * pending.capacity()));
}

void apply_pending(std::vector<std::string>& pending, const std::optional<std::string>& released,
                   std::vector<std::string>& fresh) noexcept {
  if (released) std::erase(pending, *released);
  for (std::string& key : fresh) pending.push_back(std::move(key));  // room made ahead
}

std::vector<std::string> pending_after(std::vector<std::string> pending,
                                       const std::optional<std::string>& released,
                                       const std::vector<std::string>& fresh) {
  if (released) std::erase(pending, *released);
  pending.insert(pending.end(), fresh.begin(), fresh.end());
  return pending;
}

std::vector<std::string> add_key_pending(std::vector<std::string> pending,
                                         const std::vector<std::string>& keys) {
  for (const std::string& key : keys) {
    if (!contains_key(pending, key)) pending.push_back(key);
  }
  return pending;
}

}  // namespace vostrel::inner_fold
