// Registry text is 8-bit ANSI ending in one zero byte, and the byte count that goes with it
// counts that zero byte.
#pragma once

#include <cstdint>
#include <cstring>

namespace mkvtype::platform {

inline std::uint32_t registry_text_size(const char* text) noexcept {
  return static_cast<std::uint32_t>(std::strlen(text) + 1);
}

}  // namespace mkvtype::platform
