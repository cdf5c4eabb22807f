#include "platform/key_slot.h"

#include <gtest/gtest.h>

#include "case_name.h"

#include <ostream>
#include <string>
#include <vector>

#include "platform/memory_registry.h"

namespace mkvtype::testing {
namespace {

using platform::FailedOutput;
using platform::KeySlot;
using platform::MemoryRegistry;
using platform::Root;
using platform::UniqueKey;

constexpr platform::AccessMask all_access = platform::key_all_access;

struct FailedCallCase {
  std::string name;
  FailedOutput output;
  bool fail_create;  // otherwise the open fails
};

void PrintTo(const FailedCallCase& row, std::ostream* out) {
  *out << row.name;
}

class KeySlotAfterFailure : public ::testing::TestWithParam<FailedCallCase> {};

// Windows does not promise to clear the out-handle of a failed call. Whatever it leaves there,
// even the handle of the key opened before, the slot must come out empty, so that the next
// write goes nowhere rather than to that earlier key.
TEST_P(KeySlotAfterFailure, HoldsNoKeyAndWritesNothing) {
  MemoryRegistry registry;
  registry.add_key(Root::local_machine, "Earlier");
  registry.set_failed_output(GetParam().output);
  registry.fail_calls([](std::size_t index) { return index == 1; });
  {
    KeySlot slot{registry};
    slot.open(Root::local_machine, "Earlier", all_access);
    ASSERT_TRUE(slot.holds_key());
    if (GetParam().fail_create) {
      slot.create(Root::local_machine, "Later", all_access);
    } else {
      slot.open(Root::local_machine, "Later", all_access);
    }
    EXPECT_FALSE(slot.holds_key());
    slot.set_string("name", "text");
  }
  for (const auto& call : registry.calls()) {
    EXPECT_NE(call.operation, platform::Operation::set_value) << call.text;
  }
  EXPECT_EQ(registry.value(Root::local_machine, "Earlier", "name"), std::nullopt);
  EXPECT_EQ(registry.open_handle_count(), 0u);
  EXPECT_EQ(registry.misuse_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    FailedCalls, KeySlotAfterFailure,
    ::testing::Values(FailedCallCase{"OpenLeavesOutputUntouched", FailedOutput::untouched, false},
                      FailedCallCase{"OpenLeavesStaleHandle", FailedOutput::last_handle, false},
                      FailedCallCase{"CreateLeavesOutputUntouched", FailedOutput::untouched, true},
                      FailedCallCase{"CreateLeavesStaleHandle", FailedOutput::last_handle, true}),
    CaseName{});

TEST(KeySlot, ClosesEachKeyBeforeTheNextCallAndTheLastOneAtTheEnd) {
  MemoryRegistry registry;
  registry.add_key(Root::classes_root, "A");
  {
    KeySlot slot{registry};
    slot.open(Root::classes_root, "A", all_access);
    slot.create(Root::classes_root, "B", all_access);
    slot.open(Root::classes_root, "B", all_access);
    EXPECT_EQ(registry.open_handle_count(), 1u);
  }
  EXPECT_EQ(
      registry.call_texts(),
      (std::vector<std::string>{
          R"(RegOpenKeyExA(HKEY_CLASSES_ROOT, "A", 0, 0x000F003F) -> 0, key#1)",
          "RegCloseKey(key#1) -> 0",
          R"(RegCreateKeyExA(HKEY_CLASSES_ROOT, "B", 0, null, 0, 0x000F003F, null, &disposition) -> 0, key#2)",
          "RegCloseKey(key#2) -> 0",
          R"(RegOpenKeyExA(HKEY_CLASSES_ROOT, "B", 0, 0x000F003F) -> 0, key#3)",
          "RegCloseKey(key#3) -> 0",
      }));
}

struct TextCase {
  std::string name;
  const char* text;
  std::string logged_call;
};

void PrintTo(const TextCase& row, std::ostream* out) {
  *out << row.name;
}

class KeySlotWrite : public ::testing::TestWithParam<TextCase> {};

// The byte count always takes in the terminating zero, and nothing past it is sent.
TEST_P(KeySlotWrite, SendsTheTextWithItsZeroByte) {
  MemoryRegistry registry;
  registry.add_key(Root::classes_root, "K");
  KeySlot slot{registry};
  slot.open(Root::classes_root, "K", all_access);
  slot.set_string("v", GetParam().text);
  EXPECT_EQ(registry.call_texts().back(), GetParam().logged_call);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, KeySlotWrite,
    ::testing::Values(
        TextCase{"Empty", "", R"(RegSetValueExA(key#1, "v", 0, REG_SZ, "\0", 1) -> 0)"},
        TextCase{"OneLetter", "x", R"(RegSetValueExA(key#1, "v", 0, REG_SZ, "x\0", 2) -> 0)"},
        TextCase{"StopsAtFirstZero", "ab\0cd",
                 R"(RegSetValueExA(key#1, "v", 0, REG_SZ, "ab\0", 3) -> 0)"},
        TextCase{"HighBitAnsi", "caf\xE9",
                 R"(RegSetValueExA(key#1, "v", 0, REG_SZ, "caf\xE9\0", 5) -> 0)"}),
    CaseName{});

TEST(UniqueKey, MovingHandsOverTheKeyAndItIsClosedOnce) {
  MemoryRegistry registry;
  registry.add_key(Root::classes_root, "K");
  {
    UniqueKey first{registry};
    registry.open_key(Root::classes_root, "K", 0, all_access, first.put());
    UniqueKey second{std::move(first)};
    EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): moved-from state is defined
    EXPECT_TRUE(second);
    UniqueKey third{registry};
    third = std::move(second);
    EXPECT_EQ(registry.open_handle_count(), 1u);
  }
  EXPECT_EQ(registry.open_handle_count(), 0u);
  EXPECT_EQ(registry.misuse_count(), 0u);
}

TEST(UniqueKey, PutClosesTheHeldKeyAndOffersAnEmptyPlace) {
  MemoryRegistry registry;
  registry.add_key(Root::classes_root, "K");
  UniqueKey key{registry};
  registry.open_key(Root::classes_root, "K", 0, all_access, key.put());
  platform::KeyHandle* place = key.put();
  EXPECT_EQ(*place, platform::KeyHandle::null);
  EXPECT_EQ(registry.open_handle_count(), 0u);
}

}  // namespace
}  // namespace mkvtype::testing
