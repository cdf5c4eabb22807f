// An owning registry key handle: closing happens here and nowhere else.
#pragma once

#include "platform/registry.h"

namespace mkvtype::platform {

class UniqueKey {
 public:
  explicit UniqueKey(RegistryApi& registry) noexcept : registry_(&registry) {}
  ~UniqueKey() { reset(); }

  UniqueKey(const UniqueKey&) = delete;
  UniqueKey& operator=(const UniqueKey&) = delete;
  UniqueKey(UniqueKey&& other) noexcept;
  UniqueKey& operator=(UniqueKey&& other) noexcept;

  KeyHandle get() const noexcept { return key_; }
  explicit operator bool() const noexcept { return key_ != KeyHandle::null; }

  // Closes the held key, if any, and leaves this empty.
  void reset() noexcept;

  // Closes the held key and returns the empty place for a call's out-parameter to fill.
  KeyHandle* put() noexcept;

 private:
  RegistryApi* registry_;
  KeyHandle key_ = KeyHandle::null;
};

}  // namespace mkvtype::platform
