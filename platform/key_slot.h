// The key slot: the one registry handle that the setup run works through. Each open or create
// replaces what the slot held; each write goes through whatever it holds at that moment.
//
// What the slot promises, whatever the platform does:
// - after an open or create the slot holds the key that call returned, or null when it failed,
//   never a value the platform left behind on failure;
// - the key the slot held before is closed before the next open or create, and the last one
//   when the slot goes away;
// - a write through an empty slot writes nothing and does not reach the platform.
#pragma once

#include "platform/registry.h"
#include "platform/unique_key.h"

namespace mkvtype::platform {

class KeySlot {
 public:
  explicit KeySlot(RegistryApi& registry) noexcept : registry_(registry), key_(registry) {}

  KeySlot(const KeySlot&) = delete;
  KeySlot& operator=(const KeySlot&) = delete;

  // Opens an existing key; never makes one.
  void open(Root root, const char* sub_key, AccessMask access) noexcept;

  // Opens the key, making it first when it is missing: non-volatile, with no class and the
  // default security. Whether it was made is not reported.
  void create(Root root, const char* sub_key, AccessMask access) noexcept;

  // Writes `text` as REG_SZ, its terminating zero included, under `value_name` ("" for the key's
  // default value) of the key the slot holds.
  void set_string(const char* value_name, const char* text) noexcept;

  bool holds_key() const noexcept { return static_cast<bool>(key_); }

 private:
  RegistryApi& registry_;
  UniqueKey key_;
};

}  // namespace mkvtype::platform
