// Registry states that the tests start from, with the tool's keys spelled out here on their
// own, so that a wrong literal in the program shows up as a difference.
#pragma once

#include <string>

#include "platform/memory_registry.h"

namespace mkvtype::testing {

using platform::MemoryRegistry;
using platform::Root;

inline const std::string descriptions_key =
    R"(SOFTWARE\Microsoft\MediaPlayer\Player\Extensions\MUIDescriptions)";
inline const std::string types_key = R"(SOFTWARE\Microsoft\MediaPlayer\Player\Extensions\Types)";
inline const std::string class_key = ".MKV";

// A player with entries of its own, which must survive.
inline void install_player(MemoryRegistry& registry) {
  registry.put_value(Root::local_machine, descriptions_key, "75", platform::string_value("Ogg"));
  registry.put_value(Root::local_machine, types_key, "75", platform::string_value("*.ogg"));
}

// What a run writes, entry by entry, where it can.
inline void add_description_entry(MemoryRegistry& registry) {
  registry.put_value(Root::local_machine, descriptions_key, "76",
                     platform::string_value("Matroska"));
}

inline void add_pattern_entry(MemoryRegistry& registry) {
  registry.put_value(Root::local_machine, types_key, "76", platform::string_value("*.mkv"));
}

inline void add_class_entry(MemoryRegistry& registry) {
  registry.put_value(Root::classes_root, class_key, "", platform::string_value("AVIfile"));
}

inline void add_tool_entries(MemoryRegistry& registry) {
  add_description_entry(registry);
  add_pattern_entry(registry);
  add_class_entry(registry);
}

}  // namespace mkvtype::testing
