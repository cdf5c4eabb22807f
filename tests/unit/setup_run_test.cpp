#include "setup/setup_run.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "case_name.h"
#include "registry_states.h"

namespace mkvtype::testing {
namespace {

using platform::AccessMask;
using platform::RegistryValue;
using platform::string_value;
using State = std::function<void(MemoryRegistry&)>;

struct CallSequenceCase {
  std::string name;
  State start;
  std::vector<std::string> calls;
};

void PrintTo(const CallSequenceCase& row, std::ostream* out) {
  *out << row.name;
}

class SetupRunCalls : public ::testing::TestWithParam<CallSequenceCase> {};

TEST_P(SetupRunCalls, MakesExactlyTheseCalls) {
  MemoryRegistry registry;
  GetParam().start(registry);
  setup::run_setup(registry);
  EXPECT_EQ(registry.call_texts(), GetParam().calls);
  EXPECT_EQ(registry.open_handle_count(), 0u);
  EXPECT_EQ(registry.misuse_count(), 0u);
}

const std::string open_descriptions =
    R"(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\Microsoft\MediaPlayer\Player\Extensions\MUIDescriptions", 0, 0x000F003F))";
const std::string open_types =
    R"(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\Microsoft\MediaPlayer\Player\Extensions\Types", 0, 0x000F003F))";
const std::string probe_class = R"(RegOpenKeyExA(HKEY_CLASSES_ROOT, ".MKV", 0, 0x00020009))";

// Where the player is installed, every run starts by writing its two entries.
std::vector<std::string> after_player_entries(const std::vector<std::string>& rest) {
  std::vector<std::string> calls{
      open_descriptions + " -> 0, key#1",
      R"(RegSetValueExA(key#1, "76", 0, REG_SZ, "Matroska\0", 9) -> 0)",
      "RegCloseKey(key#1) -> 0",
      open_types + " -> 0, key#2",
      R"(RegSetValueExA(key#2, "76", 0, REG_SZ, "*.mkv\0", 6) -> 0)",
      "RegCloseKey(key#2) -> 0",
  };
  calls.insert(calls.end(), rest.begin(), rest.end());
  return calls;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SetupRunCalls,
    ::testing::Values(
        CallSequenceCase{
            "ClassKeyMissing", install_player,
            after_player_entries({
                probe_class + " -> 2",
                R"(RegCreateKeyExA(HKEY_CLASSES_ROOT, ".MKV", 0, null, 0, 0x000F003F, null, &disposition) -> 0, key#3)",
                "RegCloseKey(key#3) -> 0",
                R"(RegOpenKeyExA(HKEY_CLASSES_ROOT, ".MKV", 0, 0x000F003F) -> 0, key#4)",
                R"(RegSetValueExA(key#4, "", 0, REG_SZ, "AVIfile\0", 8) -> 0)",
                "RegCloseKey(key#4) -> 0",
            })},
        CallSequenceCase{"ClassKeyPresent",
                         [](MemoryRegistry& registry) {
                           install_player(registry);
                           registry.add_key(Root::classes_root, class_key);
                         },
                         after_player_entries({
                             probe_class + " -> 0, key#3",
                             "RegCloseKey(key#3) -> 0",
                         })},
        // A write through an empty slot would fail anyway; it is not attempted at all.
        CallSequenceCase{
            "PlayerAbsentAndClassKeyPresent",
            [](MemoryRegistry& registry) { registry.add_key(Root::classes_root, class_key); },
            {
                open_descriptions + " -> 2",
                open_types + " -> 2",
                probe_class + " -> 0, key#1",
                "RegCloseKey(key#1) -> 0",
            }}),
    CaseName{});

// Each case names a starting state and the state a run must leave; `fail_call` makes one
// call of the run fail, as a transient fault would.
struct OutcomeCase {
  std::string name;
  State start;
  State expected;
  int fail_call = -1;
};

void PrintTo(const OutcomeCase& row, std::ostream* out) {
  *out << row.name;
}

class SetupRunOutcome : public ::testing::TestWithParam<OutcomeCase> {};

std::string state_after_runs(const OutcomeCase& test, int runs) {
  MemoryRegistry registry;
  test.start(registry);
  if (test.fail_call >= 0) {
    registry.fail_calls([&](std::size_t index) { return index == std::size_t(test.fail_call); });
  }
  for (int run = 0; run < runs; ++run) {
    setup::run_setup(registry);
  }
  EXPECT_EQ(registry.open_handle_count(), 0u);
  EXPECT_EQ(registry.misuse_count(), 0u);
  return registry.dump();
}

TEST_P(SetupRunOutcome, LeavesTheExpectedRegistry) {
  MemoryRegistry expected;
  GetParam().expected(expected);
  EXPECT_EQ(state_after_runs(GetParam(), 1), expected.dump());
}

TEST_P(SetupRunOutcome, TwoRunsLeaveWhatOneRunLeaves) {
  EXPECT_EQ(state_after_runs(GetParam(), 2), state_after_runs(GetParam(), 1));
}

// Applies each step in turn: a state is built from small named pieces.
State all_of(std::vector<State> steps) {
  return [steps = std::move(steps)](MemoryRegistry& registry) {
    for (const State& step : steps) {
      step(registry);
    }
  };
}

State key(Root root, const std::string& path) {
  return [=](MemoryRegistry& registry) { registry.add_key(root, path); };
}

State value(Root root, const std::string& path, const std::string& name, RegistryValue data) {
  return [=](MemoryRegistry& registry) { registry.put_value(root, path, name, data); };
}

State deny(Root root, const std::string& path, AccessMask bits) {
  return [=](MemoryRegistry& registry) { registry.deny_access(root, path, bits); };
}

const State unrelated_class = value(Root::classes_root, ".avi", "", string_value("AVIfile"));
const State player_root = key(Root::local_machine, R"(SOFTWARE\Microsoft\MediaPlayer)");
const State old_class = value(Root::classes_root, class_key, "", string_value("Old"));
const State other_class = value(Root::classes_root, class_key, "", string_value("mkvfile"));
const State class_with_sub_key = key(Root::classes_root, class_key + R"(\ShellNew)");
const State lower_case_class = value(Root::classes_root, ".mkv", "", string_value("Other"));
const State class_refuses_probe = deny(Root::classes_root, class_key, platform::read_control);
const State types_refuse_writing = deny(Root::local_machine, types_key, platform::key_set_value);
const State no_new_classes = deny(Root::classes_root, "", platform::key_create_sub_key);
const State entry_number_taken =
    all_of({value(Root::local_machine, descriptions_key, "76", string_value("Something else")),
            value(Root::local_machine, types_key, "76", RegistryValue{4, {7, 0, 0, 0}})});

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, SetupRunOutcome,
    ::testing::Values(
        OutcomeCase{"PlayerInstalledClassMissing", all_of({install_player, unrelated_class}),
                    all_of({install_player, unrelated_class, add_tool_entries})},
        // The player's keys are opened, never made.
        OutcomeCase{"NeitherPlayerKey", player_root, all_of({player_root, add_class_entry})},
        OutcomeCase{"OnlyDescriptionsKey", key(Root::local_machine, descriptions_key),
                    all_of({add_description_entry, add_class_entry})},
        OutcomeCase{"OnlyTypesKey", key(Root::local_machine, types_key),
                    all_of({add_pattern_entry, add_class_entry})},
        OutcomeCase{"EntryNumberHeldOtherTypeAndData", all_of({install_player, entry_number_taken}),
                    all_of({install_player, add_tool_entries})},
        OutcomeCase{
            "ClassKeyNamesAnotherClass", all_of({install_player, other_class}),
            all_of({install_player, other_class, add_description_entry, add_pattern_entry})},
        OutcomeCase{"ClassKeyEmptyWithSubKey", class_with_sub_key, class_with_sub_key},
        // Key names compare regardless of letter case, as on Windows.
        OutcomeCase{"ClassKeyInLowerCase", lower_case_class, lower_case_class},
        // KEY_ALL_ACCESS takes in the probe's bits, so what refuses the probe refuses every
        // later step too: nothing changes.
        OutcomeCase{"ClassKeyRefusesTheProbe", all_of({old_class, class_refuses_probe}),
                    all_of({old_class, class_refuses_probe})},
        // A probe that fails once on a key which exists: the later steps reach that key, and
        // the write replaces its class. Calls 0 and 1 are the player opens.
        OutcomeCase{"ProbeFailsOnceOnExistingClassKey", old_class, add_class_entry, 2},
        OutcomeCase{
            "PlayerKeyRefusesWriting", all_of({install_player, types_refuse_writing}),
            all_of({install_player, types_refuse_writing, add_description_entry, add_class_entry})},
        OutcomeCase{
            "ClassesRootRefusesNewKeys", all_of({install_player, no_new_classes}),
            all_of({install_player, no_new_classes, add_description_entry, add_pattern_entry})}),
    CaseName{});

}  // namespace
}  // namespace mkvtype::testing
