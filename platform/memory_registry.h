// An in-memory registry for tests, modelled on what Windows does where the tool relies on it:
// key and value names compare without regard to letter case; a key may deny any access bits;
// opening never creates; writing needs a handle opened with key_set_value; handles are checked.
//
// It logs every call with all its arguments and its outcome, counts the handles still open,
// and records misuse (a handle used after it was closed, or never given out). Calls can be made
// to fail on demand, and what a failed call leaves in its out-handle can be chosen, since
// Windows does not promise to clear it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry.h"

namespace mkvtype::platform {

struct RegistryValue {
  ValueType type = 0;
  std::vector<std::uint8_t> data;

  friend bool operator==(const RegistryValue& a, const RegistryValue& b) {
    return a.type == b.type && a.data == b.data;
  }
  friend bool operator!=(const RegistryValue& a, const RegistryValue& b) { return !(a == b); }
};

RegistryValue string_value(const std::string& text);  // REG_SZ with its terminating zero

enum class Operation { open_key, create_key, set_value, close_key };

struct RegistryCall {
  Operation operation;
  std::string text;  // the call with its arguments and outcome, e.g. RegCloseKey(key#1) -> 0
  Status status;
  KeyHandle key;         // the handle given out (open, create) or passed in (set, close)
  std::string key_path;  // the key concerned, such as "HKEY_CLASSES_ROOT\.MKV"; "" if none
};

// What a failed open or create leaves in its out-handle.
enum class FailedOutput {
  untouched,    // whatever the caller had there
  last_handle,  // the handle most recently given out, as a stale out-parameter would hold
};

class MemoryRegistry final : public RegistryApi {
 public:
  MemoryRegistry();
  ~MemoryRegistry() override;
  MemoryRegistry(const MemoryRegistry&) = delete;
  MemoryRegistry& operator=(const MemoryRegistry&) = delete;

  // Setting up a state; paths are relative to the root and made as needed.
  void add_key(Root root, const std::string& path);
  void put_value(Root root, const std::string& path, const std::string& name, RegistryValue value);
  // Opens and creates of the key that ask for any of `bits` are refused; a create below it
  // is refused when `bits` include key_create_sub_key.
  void deny_access(Root root, const std::string& path, AccessMask bits);

  bool key_exists(Root root, const std::string& path) const;
  std::optional<RegistryValue> value(Root root, const std::string& path,
                                     const std::string& name) const;

  // The whole state: every key by its full path ("HKEY_CLASSES_ROOT\.MKV"), every value by
  // its key's full path and its name.
  using ValueMap = std::map<std::pair<std::string, std::string>, RegistryValue>;
  std::vector<std::string> key_paths() const;
  ValueMap values() const;

  // The same, one line per key or value in name order, for comparing and for reading.
  std::string dump() const;

  // Calls whose zero-based index among opens, creates and writes the predicate picks fail
  // with status_access_denied and change nothing. Closes are never failed: the tool has
  // nothing to do about a failed close.
  void fail_calls(std::function<bool(std::size_t)> pick);
  void set_failed_output(FailedOutput output) { failed_output_ = output; }

  const std::vector<RegistryCall>& calls() const { return calls_; }
  std::vector<std::string> call_texts() const;
  std::size_t open_handle_count() const { return open_handles_.size(); }
  std::size_t misuse_count() const { return misuse_count_; }

  Status open_key(Root root, const char* sub_key, std::uint32_t options, AccessMask access,
                  KeyHandle* result) override;
  Status create_key(Root root, const char* sub_key, std::uint32_t reserved, char* key_class,
                    std::uint32_t options, AccessMask access, void* security_attributes,
                    KeyHandle* result, std::uint32_t* disposition) override;
  Status set_value(KeyHandle key, const char* value_name, std::uint32_t reserved, ValueType type,
                   const std::uint8_t* data, std::uint32_t size) override;
  Status close_key(KeyHandle key) override;

 private:
  struct Key;
  struct OpenHandle {
    std::string path;
    Key* key;
    AccessMask granted;
  };

  void visit(const std::function<void(const std::string&, const Key&)>& visitor) const;
  Key& root_key(Root root) const;
  Key* find(Root root, const std::string& path) const;
  Key& make(Root root, const std::string& path);
  bool next_call_fails();
  KeyHandle hand_out(const std::string& path, Key& key, AccessMask granted);
  Status fail(Status status, KeyHandle* result) const;
  const OpenHandle* handle(KeyHandle key);
  void log(Operation operation, std::string text, Status status, KeyHandle key,
           std::string key_path);

  std::unique_ptr<Key> classes_root_;
  std::unique_ptr<Key> local_machine_;
  std::map<KeyHandle, OpenHandle> open_handles_;
  std::uintptr_t last_handle_ = 0;
  std::vector<RegistryCall> calls_;
  std::size_t failable_calls_ = 0;
  std::function<bool(std::size_t)> fail_pick_;
  FailedOutput failed_output_ = FailedOutput::untouched;
  std::size_t misuse_count_ = 0;
};

}  // namespace mkvtype::platform
