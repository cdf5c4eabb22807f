// The Windows registry through advapi32's ANSI functions. Only win32_registry.cpp sees
// <windows.h>; callers see the platform-neutral contract.
#pragma once

#include "platform/registry.h"

namespace mkvtype::platform {

class Win32Registry final : public RegistryApi {
 public:
  Status open_key(Root root, const char* sub_key, std::uint32_t options, AccessMask access,
                  KeyHandle* result) noexcept override;
  Status create_key(Root root, const char* sub_key, std::uint32_t reserved, char* key_class,
                    std::uint32_t options, AccessMask access, void* security_attributes,
                    KeyHandle* result, std::uint32_t* disposition) noexcept override;
  Status set_value(KeyHandle key, const char* value_name, std::uint32_t reserved, ValueType type,
                   const std::uint8_t* data, std::uint32_t size) noexcept override;
  Status close_key(KeyHandle key) noexcept override;
};

}  // namespace mkvtype::platform
