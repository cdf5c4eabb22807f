// The three registry entries the tool writes, and the access it asks for. Nothing outside the
// program changes any of them.
#pragma once

#include "platform/registry.h"

namespace mkvtype::setup {

struct StringEntry {
  platform::Root root;
  const char* key_path;
  const char* value_name;
  const char* text;
};

// The player pairs a description with a file pattern by giving both the same value name.
inline constexpr char player_entry_number[] = "76";

inline constexpr StringEntry player_description{
    platform::Root::local_machine,
    "SOFTWARE\\Microsoft\\MediaPlayer\\Player\\Extensions\\MUIDescriptions",
    player_entry_number,
    "Matroska",
};

inline constexpr StringEntry player_file_pattern{
    platform::Root::local_machine,
    "SOFTWARE\\Microsoft\\MediaPlayer\\Player\\Extensions\\Types",
    player_entry_number,
    "*.mkv",
};

// "" names the key's default value: the file class of the extension.
inline constexpr StringEntry extension_class{
    platform::Root::classes_root,
    ".MKV",
    "",
    "AVIfile",
};

inline constexpr platform::AccessMask write_access = platform::key_all_access;

// Enough to tell that the key exists. KEY_READ would add KEY_NOTIFY, which is not needed.
inline constexpr platform::AccessMask probe_access =
    platform::read_control | platform::key_enumerate_sub_keys | platform::key_query_value;

}  // namespace mkvtype::setup
