// The registry as the operating system offers it: the four advapi32 calls the tool makes, with
// their arguments as the platform spells them, behind one interface so that tests can put an
// in-memory registry in its place. Two bindings implement it: win32_registry.cpp (advapi32's
// ANSI functions) and memory_registry.cpp (tests).
#pragma once

#include <cstdint>

namespace mkvtype::platform {

// The platform's opaque key handle. `null` stands for no key.
enum class KeyHandle : std::uintptr_t { null = 0 };

// The predefined roots the tool works under, with the platform's numbers.
enum class Root : std::uint32_t {
  classes_root = 0x80000000,   // HKEY_CLASSES_ROOT
  local_machine = 0x80000002,  // HKEY_LOCAL_MACHINE
};

using Status = std::int32_t;  // LSTATUS: 0 is success, anything else a Win32 error code
using AccessMask = std::uint32_t;
using ValueType = std::uint32_t;

inline constexpr Status status_success = 0;
inline constexpr Status status_file_not_found = 2;  // ERROR_FILE_NOT_FOUND
inline constexpr Status status_access_denied = 5;   // ERROR_ACCESS_DENIED
inline constexpr Status status_invalid_handle = 6;  // ERROR_INVALID_HANDLE

inline constexpr AccessMask key_query_value = 0x0001;
inline constexpr AccessMask key_set_value = 0x0002;
inline constexpr AccessMask key_create_sub_key = 0x0004;
inline constexpr AccessMask key_enumerate_sub_keys = 0x0008;
inline constexpr AccessMask read_control = 0x00020000;
inline constexpr AccessMask key_all_access = 0x000F003F;

inline constexpr ValueType reg_sz = 1;

inline constexpr std::uint32_t reg_option_non_volatile = 0;

class RegistryApi {
 public:
  virtual ~RegistryApi() = default;

  // RegOpenKeyExA. Never creates a key. On success *result holds the opened key, to be closed
  // with close_key. On failure the platform does not say what *result holds: callers must not
  // trust it.
  virtual Status open_key(Root root, const char* sub_key, std::uint32_t options, AccessMask access,
                          KeyHandle* result) = 0;

  // RegCreateKeyExA: opens the key, making it first when it is missing. `key_class` and
  // `security_attributes` may be null. On success *result holds the key and *disposition says
  // whether it was made (1) or already there (2); on failure neither is defined.
  virtual Status create_key(Root root, const char* sub_key, std::uint32_t reserved, char* key_class,
                            std::uint32_t options, AccessMask access, void* security_attributes,
                            KeyHandle* result, std::uint32_t* disposition) = 0;

  // RegSetValueExA: creates or replaces the named value ("" is the key's default value) with
  // `size` bytes of `data`, whatever type and data it had before. Needs a key opened with
  // key_set_value.
  virtual Status set_value(KeyHandle key, const char* value_name, std::uint32_t reserved,
                           ValueType type, const std::uint8_t* data, std::uint32_t size) = 0;

  // RegCloseKey.
  virtual Status close_key(KeyHandle key) = 0;

 protected:
  RegistryApi() = default;
  RegistryApi(const RegistryApi&) = default;
  RegistryApi& operator=(const RegistryApi&) = default;
};

}  // namespace mkvtype::platform
