#include "platform/key_slot.h"

#include "platform/registry_text.h"

namespace mkvtype::platform {
namespace {

constexpr std::uint32_t no_options{0};
constexpr std::uint32_t zero_reserved{0};
constexpr char* null_class{nullptr};
constexpr void* default_security{nullptr};

// Windows does not say what a failed call leaves in its out-handle, so the slot keeps only
// what a successful call returned. Otherwise the next write could go to whatever the platform
// left there, such as the key opened before.
void keep_only_on_success(Status status, KeyHandle* slot) noexcept {
  if (status != status_success) {
    *slot = KeyHandle::null;
  }
}

}  // namespace

void KeySlot::open(Root root, const char* sub_key, AccessMask access) noexcept {
  KeyHandle* slot = key_.put();
  keep_only_on_success(registry_.open_key(root, sub_key, no_options, access, slot), slot);
}

void KeySlot::create(Root root, const char* sub_key, AccessMask access) noexcept {
  std::uint32_t ignored_disposition{0};
  KeyHandle* slot = key_.put();
  keep_only_on_success(
      registry_.create_key(root, sub_key, zero_reserved, null_class, reg_option_non_volatile,
                           access, default_security, slot, &ignored_disposition),
      slot);
}

void KeySlot::set_string(const char* value_name, const char* text) noexcept {
  if (!key_) {
    return;
  }
  registry_.set_value(key_.get(), value_name, zero_reserved, reg_sz,
                      reinterpret_cast<const std::uint8_t*>(text), registry_text_size(text));
}

}  // namespace mkvtype::platform
