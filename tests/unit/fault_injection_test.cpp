// Every registry call of a run can fail: the run is repeated from each starting state with
// every subset of its calls made to fail, and with either of the out-handles Windows may leave
// behind. Whatever fails, the run finishes, closes every key, and writes nothing anywhere but
// its own entries, each through the key opened just before it.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <utility>

#include "case_name.h"
#include "registry_states.h"
#include "setup/setup_run.h"

namespace mkvtype::testing {
namespace {

using platform::FailedOutput;
using platform::Operation;
using platform::RegistryValue;
using platform::string_value;

// Opens, creates and writes of the longest run: two player opens and writes, the probe, the
// create, the second open and the class write.
constexpr std::size_t most_failable_calls = 8;

const std::string classes_root_name = "HKEY_CLASSES_ROOT";
const std::string local_machine_name = "HKEY_LOCAL_MACHINE";
const std::string full_class_key = classes_root_name + "\\" + class_key;

// Where each of the tool's values may land, and nowhere else.
const MemoryRegistry::ValueMap allowed_writes{
    {{local_machine_name + "\\" + descriptions_key, "76"}, string_value("Matroska")},
    {{local_machine_name + "\\" + types_key, "76"}, string_value("*.mkv")},
    {{full_class_key, ""}, string_value("AVIfile")},
};

struct StartingState {
  std::string name;
  std::function<void(MemoryRegistry&)> build;
};

void PrintTo(const StartingState& row, std::ostream* out) {
  *out << row.name;
}

class FaultInjection : public ::testing::TestWithParam<StartingState> {};

void expect_writes_only_through_the_key_just_opened(const MemoryRegistry& registry) {
  const auto& calls = registry.calls();
  const platform::RegistryCall* last_open_or_create = nullptr;
  for (const auto& call : calls) {
    if (call.operation == Operation::set_value) {
      ASSERT_NE(last_open_or_create, nullptr) << call.text;
      EXPECT_EQ(last_open_or_create->operation, Operation::open_key) << call.text;
      EXPECT_EQ(last_open_or_create->status, platform::status_success) << call.text;
      EXPECT_EQ(last_open_or_create->key, call.key) << call.text;
    } else if (call.operation != Operation::close_key) {
      last_open_or_create = &call;
    }
  }
}

void expect_only_own_entries_changed(const MemoryRegistry::ValueMap& before,
                                     const MemoryRegistry::ValueMap& after) {
  for (const auto& [where, value] : before) {
    EXPECT_TRUE(after.count(where)) << "lost " << where.first << " " << where.second;
  }
  for (const auto& [where, value] : after) {
    const auto old = before.find(where);
    if (old != before.end() && old->second == value) {
      continue;
    }
    const auto allowed = allowed_writes.find(where);
    ASSERT_NE(allowed, allowed_writes.end()) << "wrote " << where.first << " " << where.second;
    EXPECT_EQ(allowed->second, value) << where.first << " " << where.second;
  }
}

void expect_only_class_key_made(std::vector<std::string> before, std::vector<std::string> after) {
  before.push_back(full_class_key);
  for (const auto& path : after) {
    EXPECT_NE(std::find(before.begin(), before.end(), path), before.end()) << "made " << path;
  }
}

// An existing class key that the probe could open is never touched.
void expect_class_untouched_when_probe_found_it(const MemoryRegistry& registry,
                                                const MemoryRegistry::ValueMap& before,
                                                const MemoryRegistry::ValueMap& after) {
  bool probe_found_key = false;
  for (const auto& call : registry.calls()) {
    probe_found_key |= call.operation == Operation::open_key && call.key_path == full_class_key &&
                       call.status == platform::status_success &&
                       call.text.find("0x00020009") != std::string::npos;
  }
  if (probe_found_key) {
    EXPECT_EQ(before.count({full_class_key, ""}), after.count({full_class_key, ""}));
    if (before.count({full_class_key, ""})) {
      EXPECT_EQ(before.at({full_class_key, ""}), after.at({full_class_key, ""}));
    }
  }
}

TEST_P(FaultInjection, EverySubsetOfFailedCallsLeavesAConsistentRegistry) {
  for (const FailedOutput output : {FailedOutput::untouched, FailedOutput::last_handle}) {
    for (unsigned failing = 0; failing < (1u << most_failable_calls); ++failing) {
      SCOPED_TRACE("failing calls mask " + std::to_string(failing) + ", stale out-handle " +
                   std::to_string(output == FailedOutput::last_handle));
      MemoryRegistry registry;
      GetParam().build(registry);
      const auto values_before = registry.values();
      const auto keys_before = registry.key_paths();
      registry.set_failed_output(output);
      registry.fail_calls([failing](std::size_t index) {
        return index < most_failable_calls && (failing >> index) & 1u;
      });

      setup::run_setup(registry);

      const auto values_after = registry.values();
      EXPECT_EQ(registry.open_handle_count(), 0u);
      EXPECT_EQ(registry.misuse_count(), 0u);
      expect_writes_only_through_the_key_just_opened(registry);
      expect_only_own_entries_changed(values_before, values_after);
      expect_only_class_key_made(keys_before, registry.key_paths());
      expect_class_untouched_when_probe_found_it(registry, values_before, values_after);
      if (HasFailure()) {
        return;  // one broken combination says enough
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    StartingStates, FaultInjection,
    ::testing::Values(StartingState{"PlayerInstalledClassMissing", install_player},
                      StartingState{"PlayerInstalledClassPresent",
                                    [](MemoryRegistry& registry) {
                                      install_player(registry);
                                      registry.put_value(Root::classes_root, class_key, "",
                                                         string_value("mkvfile"));
                                      registry.add_key(Root::classes_root,
                                                       class_key + "\\ShellNew");
                                    }},
                      StartingState{"NothingInstalled", [](MemoryRegistry&) {}},
                      StartingState{"OnlyTypesKeyWithOldEntry",
                                    [](MemoryRegistry& registry) {
                                      registry.put_value(Root::local_machine, types_key, "76",
                                                         RegistryValue{4, {1, 0, 0, 0}});
                                    }}),
    CaseName{});

}  // namespace
}  // namespace mkvtype::testing
