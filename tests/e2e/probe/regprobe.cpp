// Sets up and reads back the real registry for the end-to-end tests, through the registry API,
// so that every check sees value types and stored sizes exactly as Windows keeps them.
//
//   regprobe.exe "COMMAND ARG..." ...     one command per argument, run in order
//
//   key VIEW KEY                    make KEY (and the keys above it)
//   value VIEW KEY NAME TYPE HEX    set value NAME ("-" for the default value) of KEY
//   deny VIEW KEY MASK              give KEY a DACL that denies MASK to everyone and allows the
//                                   rest, owned by SYSTEM so that no implicit owner rights apply
//   refused VIEW KEY MASK           check that opening KEY with MASK is refused
//   uncreatable VIEW KEY            make KEY read as missing and refuse to be made: a volatile
//                                   link into a volatile key, under which a non-volatile key
//                                   cannot be made (Wine does not check a parent's security)
//   delete VIEW KEY [NAME]          delete value NAME of KEY ("-" for the default value), or
//                                   without NAME, KEY with all it holds
//   clear VIEW KEY                  remove KEY, whatever it has become: a key whose DACL refuses
//                                   anything, sub-keys and all, or a link (the link itself,
//                                   never what it leads to); nothing if it is missing
//   dump VIEW KEY                   print KEY, its values and its sub-keys, one line each:
//                                     key VIEW KEY | missing VIEW KEY
//                                     value VIEW KEY "NAME" TYPE SIZE HEX
//                                   (strings as stored: UTF-16, terminating zero included)
//
// VIEW is 32 or 64, the registry view to work in. KEY starts with HKLM\ or HKCR\. HEX is the
// data, two digits a byte ("" for none). Exits 1 with a message on the first failure.
#include <windows.h>
// Needs the declarations of <windows.h> first.
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string& what, LSTATUS status) {
  std::fprintf(stderr, "regprobe: %s: error %ld\n", what.c_str(), static_cast<long>(status));
  std::exit(1);
}

std::vector<std::string> words(const std::string& command) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= command.size()) {
    const std::size_t end = std::min(command.find(' ', start), command.size());
    parts.push_back(command.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

REGSAM view_flag(const std::string& view) {
  if (view == "32")
    return KEY_WOW64_32KEY;
  if (view == "64")
    return KEY_WOW64_64KEY;
  fail("view must be 32 or 64, not " + view, ERROR_INVALID_PARAMETER);
}

struct KeyName {
  HKEY root;
  std::string path;
};

KeyName split_key(const std::string& key) {
  if (key.rfind("HKLM\\", 0) == 0)
    return {HKEY_LOCAL_MACHINE, key.substr(5)};
  if (key.rfind("HKCR\\", 0) == 0)
    return {HKEY_CLASSES_ROOT, key.substr(5)};
  fail("key must start with HKLM\\ or HKCR\\: " + key, ERROR_INVALID_PARAMETER);
}

class Key {
 public:
  Key() = default;
  ~Key() {
    if (handle_ != nullptr)
      RegCloseKey(handle_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* put() { return &handle_; }
  HKEY get() const { return handle_; }

 private:
  HKEY handle_ = nullptr;
};

std::vector<BYTE> from_hex(const std::string& hex) {
  std::vector<BYTE> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<BYTE>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  }
  return bytes;
}

std::string to_hex(const BYTE* data, DWORD size) {
  std::string hex;
  char byte[3];
  for (DWORD i = 0; i < size; ++i) {
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    hex += byte;
  }
  return hex;
}

std::string to_utf8(const wchar_t* text) {
  char converted[65536];
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text, -1, converted, sizeof converted, nullptr, nullptr);
  return size > 0 ? converted : "";
}

void make_key(REGSAM view, const std::string& key, DWORD access, Key& out) {
  const KeyName name = split_key(key);
  const LSTATUS status = RegCreateKeyExA(name.root, name.path.c_str(), 0, nullptr, 0, access | view,
                                         nullptr, out.put(), nullptr);
  if (status != ERROR_SUCCESS)
    fail("create " + key, status);
}

void set_value(REGSAM view, const std::vector<std::string>& args) {
  Key key;
  make_key(view, args[2], KEY_SET_VALUE, key);
  const std::string name = args[3] == "-" ? "" : args[3];
  const std::vector<BYTE> data = from_hex(args.size() > 5 ? args[5] : "");
  const LSTATUS status =
      RegSetValueExA(key.get(), name.c_str(), 0, std::strtoul(args[4].c_str(), nullptr, 0),
                     data.data(), static_cast<DWORD>(data.size()));
  if (status != ERROR_SUCCESS)
    fail("set " + args[2] + " " + args[3], status);
}

void deny(REGSAM view, const std::string& key_name, const std::string& mask) {
  Key key;
  make_key(view, key_name, WRITE_DAC | WRITE_OWNER, key);
  const std::string sddl = "O:SYD:P(D;;" + mask + ";;;WD)(A;;KA;;;WD)";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    fail("security descriptor " + sddl, static_cast<LSTATUS>(GetLastError()));
  }
  const LSTATUS status = RegSetKeySecurity(
      key.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  if (status != ERROR_SUCCESS)
    fail("deny " + key_name, status);
}

void expect_refused(REGSAM view, const std::string& key_name, const std::string& mask) {
  const KeyName name = split_key(key_name);
  Key key;
  const auto access = static_cast<REGSAM>(std::strtoul(mask.c_str(), nullptr, 0));
  const LSTATUS status = RegOpenKeyExA(name.root, name.path.c_str(), 0, access | view, key.put());
  if (status != ERROR_ACCESS_DENIED)
    fail("opening " + key_name + " was not refused", status);
}

void make_uncreatable(REGSAM view, const std::string& key_name) {
  const KeyName name = split_key(key_name);
  // In the 64-bit view, where the link's native target path points in either view.
  Key parent;
  LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\mkvtype-tests-volatile", 0,
                                   nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                   nullptr, parent.put(), nullptr);
  if (status != ERROR_SUCCESS)
    fail("create the volatile parent", status);
  Key link;
  status = RegCreateKeyExA(name.root, name.path.c_str(), 0, nullptr,
                           REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE, KEY_ALL_ACCESS | view,
                           nullptr, link.put(), nullptr);
  if (status != ERROR_SUCCESS)
    fail("create the link " + key_name, status);
  // A link's target is a native path, without its terminating zero.
  static const wchar_t target[] = L"\\Registry\\Machine\\Software\\mkvtype-tests-volatile\\Target";
  status = RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK,
                          reinterpret_cast<const BYTE*>(target), sizeof target - sizeof(wchar_t));
  if (status != ERROR_SUCCESS)
    fail("link " + key_name, status);
}

void remove(REGSAM view, const std::vector<std::string>& args) {
  const KeyName name = split_key(args[2]);
  Key key;
  LSTATUS status = RegOpenKeyExA(name.root, name.path.c_str(), 0, KEY_ALL_ACCESS | view, key.put());
  if (status != ERROR_SUCCESS)
    fail("open " + args[2], status);
  if (args.size() == 4) {
    status = RegDeleteValueA(key.get(), args[3] == "-" ? "" : args[3].c_str());
  } else {
    status = RegDeleteTreeA(key.get(), nullptr);
    if (status == ERROR_SUCCESS)
      status = RegDeleteKeyExA(name.root, name.path.c_str(), view, 0);
  }
  if (status != ERROR_SUCCESS)
    fail("delete " + args[2] + (args.size() == 4 ? " " + args[3] : ""), status);
}

using NtDeleteKeyFunction = LONG(WINAPI*)(HANDLE);

void delete_open_key(HKEY key, const std::string& shown) {
  // A link can be deleted only through a handle to it; advapi32 deletes by name, which would
  // follow the link.
  static const auto nt_delete_key = reinterpret_cast<NtDeleteKeyFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey")));
  const LONG status = nt_delete_key(key);
  if (status != 0)
    fail("delete " + shown, status);
}

void clear(HKEY parent, const std::string& path, REGSAM view, const std::string& shown) {
  // First a DACL that allows everyone everything, so that what a case denied stops nothing
  // that follows. The cases deny reading and writing, never changing the DACL.
  Key key;
  LSTATUS status =
      RegOpenKeyExA(parent, path.c_str(), REG_OPTION_OPEN_LINK, WRITE_DAC | view, key.put());
  if (status == ERROR_FILE_NOT_FOUND)
    return;
  if (status != ERROR_SUCCESS)
    fail("open " + shown, status);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;KA;;;WD)", SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    fail("security descriptor", static_cast<LSTATUS>(GetLastError()));
  }
  status = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  if (status != ERROR_SUCCESS)
    fail("allow everything on " + shown, status);

  Key opened;
  status = RegOpenKeyExA(parent, path.c_str(), REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS | view,
                         opened.put());
  if (status != ERROR_SUCCESS)
    fail("open " + shown, status);
  DWORD type = REG_NONE;
  const bool link = RegQueryValueExW(opened.get(), L"SymbolicLinkValue", nullptr, &type, nullptr,
                                     nullptr) == ERROR_SUCCESS &&
                    type == REG_LINK;
  if (!link) {
    std::vector<std::string> sub_keys;
    for (DWORD index = 0;; ++index) {
      char name[256];
      DWORD size = sizeof name;
      status = RegEnumKeyExA(opened.get(), index, name, &size, nullptr, nullptr, nullptr, nullptr);
      if (status == ERROR_NO_MORE_ITEMS)
        break;
      if (status != ERROR_SUCCESS)
        fail("sub-keys of " + shown, status);
      sub_keys.emplace_back(name);
    }
    for (const std::string& sub_key : sub_keys)
      clear(opened.get(), sub_key, view, shown + "\\" + sub_key);
  }
  delete_open_key(opened.get(), shown);
}

// Opens with no more than listing needs, so that a key denying READ_CONTROL still reads.
void dump(const std::string& view_name, const std::string& key_name) {
  const REGSAM view = view_flag(view_name);
  const KeyName name = split_key(key_name);
  Key key;
  const LSTATUS status = RegOpenKeyExA(name.root, name.path.c_str(), 0,
                                       KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | view, key.put());
  if (status == ERROR_FILE_NOT_FOUND) {
    std::printf("missing %s %s\n", view_name.c_str(), key_name.c_str());
    return;
  }
  if (status != ERROR_SUCCESS)
    fail("open " + key_name, status);
  std::printf("key %s %s\n", view_name.c_str(), key_name.c_str());

  // Values are read through the wide API, which hands back the bytes as stored: the ANSI one
  // converts strings and would hide a missing or extra terminating zero.
  for (DWORD index = 0;; ++index) {
    wchar_t value_name[16384];
    DWORD name_length = sizeof value_name / sizeof value_name[0];
    DWORD type = 0;
    BYTE data[65536];
    DWORD data_size = sizeof data;
    const LSTATUS found =
        RegEnumValueW(key.get(), index, value_name, &name_length, nullptr, &type, data, &data_size);
    if (found == ERROR_NO_MORE_ITEMS)
      break;
    if (found != ERROR_SUCCESS)
      fail("values of " + key_name, found);
    std::printf("value %s %s \"%s\" %lu %lu %s\n", view_name.c_str(), key_name.c_str(),
                to_utf8(value_name).c_str(), static_cast<unsigned long>(type),
                static_cast<unsigned long>(data_size), to_hex(data, data_size).c_str());
  }
  for (DWORD index = 0;; ++index) {
    char sub_key[256];
    DWORD size = sizeof sub_key;
    const LSTATUS found =
        RegEnumKeyExA(key.get(), index, sub_key, &size, nullptr, nullptr, nullptr, nullptr);
    if (found == ERROR_NO_MORE_ITEMS)
      break;
    if (found != ERROR_SUCCESS)
      fail("sub-keys of " + key_name, found);
    dump(view_name, key_name + "\\" + sub_key);
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::vector<std::string> args = words(argv[i]);
    if (args.size() < 3)
      fail(std::string("usage: ") + argv[i], ERROR_INVALID_PARAMETER);
    const REGSAM view = view_flag(args[1]);
    if (args[0] == "key") {
      Key key;
      make_key(view, args[2], KEY_READ, key);
    } else if (args[0] == "value" && args.size() >= 5) {
      set_value(view, args);
    } else if (args[0] == "deny" && args.size() == 4) {
      deny(view, args[2], args[3]);
    } else if (args[0] == "refused" && args.size() == 4) {
      expect_refused(view, args[2], args[3]);
    } else if (args[0] == "uncreatable" && args.size() == 3) {
      make_uncreatable(view, args[2]);
    } else if (args[0] == "delete" && (args.size() == 3 || args.size() == 4)) {
      remove(view, args);
    } else if (args[0] == "clear" && args.size() == 3) {
      const KeyName name = split_key(args[2]);
      clear(name.root, name.path, view, args[2]);
    } else if (args[0] == "dump") {
      dump(args[1], args[2]);
    } else {
      fail(std::string("unknown command: ") + argv[i], ERROR_INVALID_PARAMETER);
    }
  }
  std::fflush(stdout);
  return 0;
}
