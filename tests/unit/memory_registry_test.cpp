// The in-memory registry stands in for Windows in every other unit test; these pin down the
// parts of Windows' behaviour that those tests lean on.
#include "platform/memory_registry.h"

#include <gtest/gtest.h>

namespace mkvtype::testing {
namespace {

using platform::KeyHandle;
using platform::MemoryRegistry;
using platform::Root;
using platform::string_value;

constexpr platform::AccessMask all_access = platform::key_all_access;
constexpr platform::AccessMask query_only = platform::key_query_value;

const auto* bytes(const char* text) {
  return reinterpret_cast<const std::uint8_t*>(text);
}

TEST(MemoryRegistry, OpeningNeverCreates) {
  MemoryRegistry registry;
  KeyHandle key = KeyHandle::null;
  EXPECT_EQ(registry.open_key(Root::local_machine, "Missing", 0, all_access, &key),
            platform::status_file_not_found);
  EXPECT_FALSE(registry.key_exists(Root::local_machine, "Missing"));
}

TEST(MemoryRegistry, NamesCompareRegardlessOfCaseAndKeepTheirFirstSpelling) {
  MemoryRegistry registry;
  registry.put_value(Root::classes_root, ".mkv", "Name", string_value("a"));
  KeyHandle key = KeyHandle::null;
  ASSERT_EQ(registry.open_key(Root::classes_root, ".MKV", 0, all_access, &key), 0);
  ASSERT_EQ(registry.set_value(key, "NAME", 0, platform::reg_sz, bytes("b"), 2), 0);
  registry.close_key(key);
  EXPECT_EQ(registry.dump(),
            "HKEY_CLASSES_ROOT\nHKEY_CLASSES_ROOT\\.mkv\n  \"Name\" = REG_SZ "
            "\"b\\0\"\nHKEY_LOCAL_MACHINE\n");
}

TEST(MemoryRegistry, DeniedBitsRefuseOpenAndCreateButOthersPass) {
  MemoryRegistry registry;
  registry.deny_access(Root::classes_root, "K", platform::key_set_value);
  KeyHandle key = KeyHandle::null;
  std::uint32_t disposition = 0;
  EXPECT_EQ(registry.open_key(Root::classes_root, "K", 0, all_access, &key),
            platform::status_access_denied);
  EXPECT_EQ(registry.create_key(Root::classes_root, "K", 0, nullptr, 0, all_access, nullptr, &key,
                                &disposition),
            platform::status_access_denied);
  EXPECT_EQ(registry.open_key(Root::classes_root, "K", 0, query_only, &key), 0);
  registry.close_key(key);
  EXPECT_EQ(registry.open_handle_count(), 0u);
}

TEST(MemoryRegistry, WritingNeedsAKeyOpenedForSettingValues) {
  MemoryRegistry registry;
  registry.add_key(Root::classes_root, "K");
  KeyHandle key = KeyHandle::null;
  ASSERT_EQ(registry.open_key(Root::classes_root, "K", 0, query_only, &key), 0);
  EXPECT_EQ(registry.set_value(key, "", 0, platform::reg_sz, bytes("x"), 2),
            platform::status_access_denied);
  registry.close_key(key);
  EXPECT_EQ(registry.value(Root::classes_root, "K", ""), std::nullopt);
}

TEST(MemoryRegistry, CreateMakesAMissingKeyAndOpensAnExistingOneAsItIs) {
  MemoryRegistry registry;
  registry.put_value(Root::classes_root, "Old", "v", string_value("kept"));
  registry.deny_access(Root::classes_root, "Locked", platform::key_create_sub_key);
  KeyHandle key = KeyHandle::null;
  std::uint32_t disposition = 0;

  ASSERT_EQ(registry.create_key(Root::classes_root, "New", 0, nullptr, 0, all_access, nullptr, &key,
                                &disposition),
            0);
  EXPECT_EQ(disposition, 1u);
  registry.close_key(key);

  ASSERT_EQ(registry.create_key(Root::classes_root, "Old", 0, nullptr, 0, all_access, nullptr, &key,
                                &disposition),
            0);
  EXPECT_EQ(disposition, 2u);
  registry.close_key(key);
  EXPECT_EQ(registry.value(Root::classes_root, "Old", "v"), string_value("kept"));

  EXPECT_EQ(registry.create_key(Root::classes_root, "Locked\\Child", 0, nullptr, 0, all_access,
                                nullptr, &key, &disposition),
            platform::status_access_denied);
  EXPECT_FALSE(registry.key_exists(Root::classes_root, "Locked\\Child"));
}

TEST(MemoryRegistry, HandlesAreCheckedAndNeverReused) {
  MemoryRegistry registry;
  registry.add_key(Root::classes_root, "K");
  KeyHandle first = KeyHandle::null;
  KeyHandle second = KeyHandle::null;
  registry.open_key(Root::classes_root, "K", 0, all_access, &first);
  registry.close_key(first);
  registry.open_key(Root::classes_root, "K", 0, all_access, &second);
  EXPECT_NE(first, second);

  EXPECT_EQ(registry.set_value(first, "", 0, platform::reg_sz, bytes("x"), 2),
            platform::status_invalid_handle);
  EXPECT_EQ(registry.close_key(first), platform::status_invalid_handle);
  EXPECT_EQ(registry.set_value(KeyHandle::null, "", 0, platform::reg_sz, bytes("x"), 2),
            platform::status_invalid_handle);
  EXPECT_EQ(registry.misuse_count(), 3u);
  registry.close_key(second);
}

TEST(MemoryRegistry, InjectedFailuresChangeNothingAndMayLeaveAStaleHandle) {
  MemoryRegistry registry;
  registry.add_key(Root::classes_root, "K");
  registry.set_failed_output(platform::FailedOutput::last_handle);
  registry.fail_calls([](std::size_t index) { return index >= 1; });
  KeyHandle key = KeyHandle::null;
  ASSERT_EQ(registry.open_key(Root::classes_root, "K", 0, all_access, &key), 0);
  const KeyHandle opened = key;

  EXPECT_EQ(registry.set_value(key, "", 0, platform::reg_sz, bytes("x"), 2),
            platform::status_access_denied);
  KeyHandle other = KeyHandle::null;
  std::uint32_t disposition = 0;
  EXPECT_EQ(registry.create_key(Root::classes_root, "New", 0, nullptr, 0, all_access, nullptr,
                                &other, &disposition),
            platform::status_access_denied);
  EXPECT_EQ(other, opened);
  EXPECT_FALSE(registry.key_exists(Root::classes_root, "New"));
  EXPECT_EQ(registry.value(Root::classes_root, "K", ""), std::nullopt);
  registry.close_key(key);
}

}  // namespace
}  // namespace mkvtype::testing
