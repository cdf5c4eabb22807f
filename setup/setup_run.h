#pragma once

#include "platform/registry.h"

namespace mkvtype::setup {

// Lists Matroska video among the player's file types and gives ".MKV" a file class where the
// extension has no key yet. Looks at no status code and reports nothing: every step runs once,
// in order, whatever the ones before it achieved.
void run_setup(platform::RegistryApi& registry) noexcept;

}  // namespace mkvtype::setup
