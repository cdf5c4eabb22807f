#include "platform/memory_registry.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>
#include <utility>

namespace mkvtype::platform {
namespace {

constexpr Status status_invalid_parameter = 87;   // ERROR_INVALID_PARAMETER
constexpr std::uint32_t created_new_key = 1;      // REG_CREATED_NEW_KEY
constexpr std::uint32_t opened_existing_key = 2;  // REG_OPENED_EXISTING_KEY

// Registry names compare without regard to letter case; a key keeps the spelling it was made
// with.
struct NoCase {
  bool operator()(const std::string& a, const std::string& b) const {
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
      const int x = std::toupper(static_cast<unsigned char>(a[i]));
      const int y = std::toupper(static_cast<unsigned char>(b[i]));
      if (x != y) {
        return x < y;
      }
    }
    return a.size() < b.size();
  }
};

std::vector<std::string> split_path(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start < path.size()) {
    const std::size_t end = std::min(path.find('\\', start), path.size());
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string root_name(Root root) {
  return root == Root::classes_root ? "HKEY_CLASSES_ROOT" : "HKEY_LOCAL_MACHINE";
}

std::string join(Root root, const std::string& path) {
  return path.empty() ? root_name(root) : root_name(root) + "\\" + path;
}

std::string hex(std::uint32_t number) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", number);
  return text;
}

std::string handle_name(KeyHandle key) {
  return key == KeyHandle::null ? "null"
                                : "key#" + std::to_string(static_cast<std::uintptr_t>(key));
}

std::string quoted(const char* text) {
  return text == nullptr ? "null" : '"' + std::string(text) + '"';
}

// Bytes as a C string literal, every zero byte shown, so that a byte count is visible.
std::string quoted_bytes(const std::uint8_t* data, std::size_t size) {
  std::string text = "\"";
  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = data[i];
    if (byte == 0) {
      text += "\\0";
    } else if (byte < 0x20 || byte >= 0x7F || byte == '"' || byte == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      text += escaped;
    } else {
      text += static_cast<char>(byte);
    }
  }
  return text + '"';
}

std::string type_name(ValueType type) {
  switch (type) {
    case 1:
      return "REG_SZ";
    case 3:
      return "REG_BINARY";
    case 4:
      return "REG_DWORD";
    default:
      return "type " + std::to_string(type);
  }
}

}  // namespace

struct MemoryRegistry::Key {
  std::map<std::string, RegistryValue, NoCase> values;
  std::map<std::string, std::unique_ptr<Key>, NoCase> sub_keys;
  AccessMask denied = 0;
};

RegistryValue string_value(const std::string& text) {
  RegistryValue value{reg_sz, {text.begin(), text.end()}};
  value.data.push_back(0);
  return value;
}

MemoryRegistry::MemoryRegistry()
    : classes_root_(std::make_unique<Key>()), local_machine_(std::make_unique<Key>()) {}

MemoryRegistry::~MemoryRegistry() = default;

MemoryRegistry::Key& MemoryRegistry::root_key(Root root) const {
  return root == Root::classes_root ? *classes_root_ : *local_machine_;
}

MemoryRegistry::Key* MemoryRegistry::find(Root root, const std::string& path) const {
  Key* key = &root_key(root);
  for (const std::string& part : split_path(path)) {
    const auto found = key->sub_keys.find(part);
    if (found == key->sub_keys.end()) {
      return nullptr;
    }
    key = found->second.get();
  }
  return key;
}

MemoryRegistry::Key& MemoryRegistry::make(Root root, const std::string& path) {
  Key* key = &root_key(root);
  for (const std::string& part : split_path(path)) {
    auto& sub_key = key->sub_keys[part];
    if (!sub_key) {
      sub_key = std::make_unique<Key>();
    }
    key = sub_key.get();
  }
  return *key;
}

void MemoryRegistry::add_key(Root root, const std::string& path) {
  make(root, path);
}

void MemoryRegistry::put_value(Root root, const std::string& path, const std::string& name,
                               RegistryValue value) {
  make(root, path).values[name] = std::move(value);
}

void MemoryRegistry::deny_access(Root root, const std::string& path, AccessMask bits) {
  make(root, path).denied |= bits;
}

bool MemoryRegistry::key_exists(Root root, const std::string& path) const {
  return find(root, path) != nullptr;
}

std::optional<RegistryValue> MemoryRegistry::value(Root root, const std::string& path,
                                                   const std::string& name) const {
  const Key* key = find(root, path);
  if (key == nullptr) {
    return std::nullopt;
  }
  const auto found = key->values.find(name);
  if (found == key->values.end()) {
    return std::nullopt;
  }
  return found->second;
}

void MemoryRegistry::visit(
    const std::function<void(const std::string&, const Key&)>& visitor) const {
  const std::function<void(const std::string&, const Key&)> walk = [&](const std::string& path,
                                                                       const Key& key) {
    visitor(path, key);
    for (const auto& [name, sub_key] : key.sub_keys) {
      walk(path + "\\" + name, *sub_key);
    }
  };
  walk(root_name(Root::classes_root), *classes_root_);
  walk(root_name(Root::local_machine), *local_machine_);
}

std::vector<std::string> MemoryRegistry::key_paths() const {
  std::vector<std::string> paths;
  visit([&](const std::string& path, const Key&) { paths.push_back(path); });
  return paths;
}

MemoryRegistry::ValueMap MemoryRegistry::values() const {
  ValueMap values;
  visit([&](const std::string& path, const Key& key) {
    for (const auto& [name, value] : key.values) {
      values.emplace(std::make_pair(path, name), value);
    }
  });
  return values;
}

std::string MemoryRegistry::dump() const {
  std::ostringstream out;
  visit([&](const std::string& path, const Key& key) {
    out << path << '\n';
    for (const auto& [name, value] : key.values) {
      out << "  \"" << name << "\" = " << type_name(value.type) << ' '
          << quoted_bytes(value.data.data(), value.data.size()) << '\n';
    }
  });
  return out.str();
}

void MemoryRegistry::fail_calls(std::function<bool(std::size_t)> pick) {
  fail_pick_ = std::move(pick);
}

std::vector<std::string> MemoryRegistry::call_texts() const {
  std::vector<std::string> texts;
  for (const RegistryCall& call : calls_) {
    texts.push_back(call.text);
  }
  return texts;
}

bool MemoryRegistry::next_call_fails() {
  const std::size_t index = failable_calls_++;
  return fail_pick_ && fail_pick_(index);
}

KeyHandle MemoryRegistry::hand_out(const std::string& path, Key& key, AccessMask granted) {
  // Handle values are never reused, so a stale one is always caught.
  const auto handle = static_cast<KeyHandle>(++last_handle_);
  open_handles_.emplace(handle, OpenHandle{path, &key, granted});
  return handle;
}

Status MemoryRegistry::fail(Status status, KeyHandle* result) const {
  if (failed_output_ == FailedOutput::last_handle) {
    *result = static_cast<KeyHandle>(last_handle_);
  }
  return status;
}

const MemoryRegistry::OpenHandle* MemoryRegistry::handle(KeyHandle key) {
  const auto found = open_handles_.find(key);
  if (found == open_handles_.end()) {
    ++misuse_count_;
    return nullptr;
  }
  return &found->second;
}

void MemoryRegistry::log(Operation operation, std::string text, Status status, KeyHandle key,
                         std::string key_path) {
  text += " -> " + std::to_string(status);
  if ((operation == Operation::open_key || operation == Operation::create_key) &&
      status == status_success) {
    text += ", " + handle_name(key);
  }
  calls_.push_back({operation, std::move(text), status, key, std::move(key_path)});
}

Status MemoryRegistry::open_key(Root root, const char* sub_key, std::uint32_t options,
                                AccessMask access, KeyHandle* result) {
  const std::string path = join(root, sub_key);
  const std::string text = "RegOpenKeyExA(" + root_name(root) + ", " + quoted(sub_key) + ", " +
                           std::to_string(options) + ", " + hex(access) + ")";
  const auto finish = [&](Status status, KeyHandle key) {
    log(Operation::open_key, text, status, key, path);
    return status;
  };

  if (next_call_fails()) {
    return finish(fail(status_access_denied, result), KeyHandle::null);
  }
  if (options != 0) {
    return finish(fail(status_invalid_parameter, result), KeyHandle::null);
  }
  Key* key = find(root, sub_key);
  if (key == nullptr) {
    return finish(fail(status_file_not_found, result), KeyHandle::null);
  }
  if ((access & key->denied) != 0) {
    return finish(fail(status_access_denied, result), KeyHandle::null);
  }
  *result = hand_out(path, *key, access);
  return finish(status_success, *result);
}

Status MemoryRegistry::create_key(Root root, const char* sub_key, std::uint32_t reserved,
                                  char* key_class, std::uint32_t options, AccessMask access,
                                  void* security_attributes, KeyHandle* result,
                                  std::uint32_t* disposition) {
  const std::string path = join(root, sub_key);
  const std::string text = "RegCreateKeyExA(" + root_name(root) + ", " + quoted(sub_key) + ", " +
                           std::to_string(reserved) + ", " + quoted(key_class) + ", " +
                           std::to_string(options) + ", " + hex(access) + ", " +
                           (security_attributes == nullptr ? "null" : "attributes") + ", " +
                           (disposition == nullptr ? "null" : "&disposition") + ")";
  const auto finish = [&](Status status, KeyHandle key) {
    log(Operation::create_key, text, status, key, path);
    return status;
  };

  if (next_call_fails()) {
    return finish(fail(status_access_denied, result), KeyHandle::null);
  }
  if (reserved != 0 || options != reg_option_non_volatile) {
    return finish(fail(status_invalid_parameter, result), KeyHandle::null);
  }
  Key* key = &root_key(root);
  bool made = false;
  for (const std::string& part : split_path(sub_key)) {
    auto& sub = key->sub_keys[part];
    if (!sub) {
      if ((key->denied & key_create_sub_key) != 0) {
        key->sub_keys.erase(part);
        return finish(fail(status_access_denied, result), KeyHandle::null);
      }
      sub = std::make_unique<Key>();
      made = true;
    }
    key = sub.get();
  }
  if ((access & key->denied) != 0) {
    return finish(fail(status_access_denied, result), KeyHandle::null);
  }
  *result = hand_out(path, *key, access);
  if (disposition != nullptr) {
    *disposition = made ? created_new_key : opened_existing_key;
  }
  return finish(status_success, *result);
}

Status MemoryRegistry::set_value(KeyHandle key, const char* value_name, std::uint32_t reserved,
                                 ValueType type, const std::uint8_t* data, std::uint32_t size) {
  const std::string text = "RegSetValueExA(" + handle_name(key) + ", " + quoted(value_name) + ", " +
                           std::to_string(reserved) + ", " + type_name(type) + ", " +
                           quoted_bytes(data, size) + ", " + std::to_string(size) + ")";
  const OpenHandle* open = handle(key);
  const std::string path = open != nullptr ? open->path : "";
  const auto finish = [&](Status status) {
    log(Operation::set_value, text, status, key, path);
    return status;
  };

  if (next_call_fails()) {
    return finish(status_access_denied);
  }
  if (open == nullptr) {
    return finish(status_invalid_handle);
  }
  if (reserved != 0) {
    return finish(status_invalid_parameter);
  }
  if ((open->granted & key_set_value) == 0) {
    return finish(status_access_denied);
  }
  open->key->values[value_name == nullptr ? "" : value_name] = {type, {data, data + size}};
  return finish(status_success);
}

Status MemoryRegistry::close_key(KeyHandle key) {
  const OpenHandle* open = handle(key);
  const std::string path = open != nullptr ? open->path : "";
  const Status status = open != nullptr ? status_success : status_invalid_handle;
  open_handles_.erase(key);
  log(Operation::close_key, "RegCloseKey(" + handle_name(key) + ")", status, key, path);
  return status;
}

}  // namespace mkvtype::platform
