// Counts the registry calls a run makes on each of its two paths, from the in-memory registry's
// log.
#include <cstdio>
#include <functional>

#include "platform/memory_registry.h"
#include "setup/entries.h"
#include "setup/setup_run.h"

namespace {

using mkvtype::platform::MemoryRegistry;
using mkvtype::platform::Operation;

void count(const char* path, const std::function<void(MemoryRegistry&)>& start) {
  MemoryRegistry registry;
  start(registry);
  mkvtype::setup::run_setup(registry);
  int opens = 0, creates = 0, writes = 0, closes = 0;
  for (const auto& call : registry.calls()) {
    opens += call.operation == Operation::open_key;
    creates += call.operation == Operation::create_key;
    writes += call.operation == Operation::set_value;
    closes += call.operation == Operation::close_key;
  }
  std::printf("%-34s %5d %5d %6d %6d %5zu\n", path, opens, creates, writes, closes,
              registry.calls().size());
}

void install_player(MemoryRegistry& registry) {
  using mkvtype::setup::player_description;
  using mkvtype::setup::player_file_pattern;
  registry.add_key(player_description.root, player_description.key_path);
  registry.add_key(player_file_pattern.root, player_file_pattern.key_path);
}

}  // namespace

int main() {
  std::printf("%-34s %5s %5s %6s %6s %5s\n", "registry calls", "open", "create", "write", "close",
              "all");
  count("player installed, .MKV missing", install_player);
  count("player installed, .MKV present", [](MemoryRegistry& registry) {
    install_player(registry);
    registry.add_key(mkvtype::setup::extension_class.root,
                     mkvtype::setup::extension_class.key_path);
  });
  return 0;
}
