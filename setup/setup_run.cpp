#include "setup/setup_run.h"

#include "platform/key_slot.h"
#include "setup/entries.h"

namespace mkvtype::setup {
namespace {

using platform::KeySlot;

// The player's keys are opened, never made: where the player is not installed, nothing is
// written for it.
void write_player_entry(KeySlot& slot, const StringEntry& entry) noexcept {
  slot.open(entry.root, entry.key_path, write_access);
  slot.set_string(entry.value_name, entry.text);
}

void give_extension_a_class(KeySlot& slot) noexcept {
  const StringEntry& entry = extension_class;

  // An extension key that exists already, whatever class it names or lacks, is left alone.
  slot.open(entry.root, entry.key_path, probe_access);
  if (slot.holds_key()) {
    return;
  }

  slot.create(entry.root, entry.key_path, write_access);
  // The class is written through a key opened for the purpose, as the player entries are, and
  // not through the create's handle.
  slot.open(entry.root, entry.key_path, write_access);
  slot.set_string(entry.value_name, entry.text);
}

}  // namespace

void run_setup(platform::RegistryApi& registry) noexcept {
  KeySlot slot{registry};
  write_player_entry(slot, player_description);
  write_player_entry(slot, player_file_pattern);
  give_extension_a_class(slot);
}

}  // namespace mkvtype::setup
