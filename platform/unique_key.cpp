#include "platform/unique_key.h"

#include <utility>

namespace mkvtype::platform {

UniqueKey::UniqueKey(UniqueKey&& other) noexcept
    : registry_(other.registry_), key_(std::exchange(other.key_, KeyHandle::null)) {}

UniqueKey& UniqueKey::operator=(UniqueKey&& other) noexcept {
  if (this != &other) {
    reset();
    registry_ = other.registry_;
    key_ = std::exchange(other.key_, KeyHandle::null);
  }
  return *this;
}

void UniqueKey::reset() noexcept {
  // A failed close leaves nothing to retry: the handle is gone for us either way.
  if (const KeyHandle key = std::exchange(key_, KeyHandle::null); key != KeyHandle::null) {
    registry_->close_key(key);
  }
}

KeyHandle* UniqueKey::put() noexcept {
  reset();
  return &key_;
}

}  // namespace mkvtype::platform
