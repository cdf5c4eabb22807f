#include "platform/win32_registry.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace mkvtype::platform {
namespace {

static_assert(key_query_value == KEY_QUERY_VALUE);
static_assert(key_set_value == KEY_SET_VALUE);
static_assert(key_create_sub_key == KEY_CREATE_SUB_KEY);
static_assert(key_enumerate_sub_keys == KEY_ENUMERATE_SUB_KEYS);
static_assert(read_control == READ_CONTROL);
static_assert(key_all_access == KEY_ALL_ACCESS);
static_assert(reg_sz == REG_SZ);
static_assert(reg_option_non_volatile == REG_OPTION_NON_VOLATILE);
static_assert(status_success == ERROR_SUCCESS);
static_assert(status_file_not_found == ERROR_FILE_NOT_FOUND);
static_assert(status_access_denied == ERROR_ACCESS_DENIED);
static_assert(status_invalid_handle == ERROR_INVALID_HANDLE);
static_assert(sizeof(KeyHandle) == sizeof(HKEY));

// The predefined handles are the platform's own constants (sign-extended on 64-bit Windows), so
// they are named here rather than rebuilt from Root's numbers.
HKEY predefined(Root root) noexcept {
  switch (root) {
    case Root::classes_root:
      return HKEY_CLASSES_ROOT;
    case Root::local_machine:
      return HKEY_LOCAL_MACHINE;
  }
  return nullptr;
}

HKEY to_hkey(KeyHandle key) noexcept {
  return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(key));
}

KeyHandle from_hkey(HKEY key) noexcept {
  return static_cast<KeyHandle>(reinterpret_cast<std::uintptr_t>(key));
}

}  // namespace

Status Win32Registry::open_key(Root root, const char* sub_key, std::uint32_t options,
                               AccessMask access, KeyHandle* result) noexcept {
  // The out-handle goes back exactly as the platform left it: the key slot decides what to trust.
  HKEY opened = to_hkey(*result);
  const LSTATUS status = RegOpenKeyExA(predefined(root), sub_key, options, access, &opened);
  *result = from_hkey(opened);
  return status;
}

Status Win32Registry::create_key(Root root, const char* sub_key, std::uint32_t reserved,
                                 char* key_class, std::uint32_t options, AccessMask access,
                                 void* security_attributes, KeyHandle* result,
                                 std::uint32_t* disposition) noexcept {
  static_assert(sizeof(DWORD) == sizeof(std::uint32_t));
  HKEY created = to_hkey(*result);
  DWORD made_or_opened{0};
  const LSTATUS status =
      RegCreateKeyExA(predefined(root), sub_key, reserved, key_class, options, access,
                      static_cast<LPSECURITY_ATTRIBUTES>(security_attributes), &created,
                      disposition != nullptr ? &made_or_opened : nullptr);
  *result = from_hkey(created);
  if (disposition != nullptr) {
    *disposition = made_or_opened;
  }
  return status;
}

Status Win32Registry::set_value(KeyHandle key, const char* value_name, std::uint32_t reserved,
                                ValueType type, const std::uint8_t* data,
                                std::uint32_t size) noexcept {
  return RegSetValueExA(to_hkey(key), value_name, reserved, type, data, size);
}

Status Win32Registry::close_key(KeyHandle key) noexcept {
  return RegCloseKey(to_hkey(key));
}

}  // namespace mkvtype::platform
