// Runs the Windows Installer for the end-to-end tests and reads back what it registered, as a
// Windows program: the wine launcher cuts a program's exit status to 8 bits (1603 would read
// as 67), so the status is read here, in full.
//
//   msiprobe.exe COMMAND [ARGUMENT] ...  the commands in order, in one start of the program:
//
//   run COMMAND_LINE         start COMMAND_LINE, wait for it; prints "status N"
//   product {PRODUCT_CODE}   prints "state N version V" (MsiQueryProductState, and the version
//                            registered, "-" for none)
//   related {UPGRADE_CODE}   prints "related {PRODUCT_CODE}" for each product installed with
//                            that upgrade code
//   hold                     keep the desktop open until stopped (see hold)
//
// Exits 1 with a message at the first command it cannot do, 2 at one it does not know.
//
// msi.dll and user32.dll are loaded by the commands that use them: with their dependencies
// they are most of a start under Wine, and `run`, the most frequent command, needs neither.
#include <windows.h>
// Needs the declarations of <windows.h> first.
#include <msi.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int fail(const char* what, unsigned long code) {
  std::fprintf(stderr, "msiprobe: %s: error %lu\n", what, code);
  return 1;
}

// A system library loaded for as long as the object lives.
class Library {
 public:
  explicit Library(const wchar_t* name) : module_(LoadLibraryW(name)) {}
  ~Library() {
    if (module_ != nullptr)
      FreeLibrary(module_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // The library's function `name`, as a pointer of the declared type of `Function`, or null.
  template <typename Function>
  Function* entry(const char* name) const {
    if (module_ == nullptr)
      return nullptr;
    // Through void (*)(), the one function pointer type GCC lets any other be cast from.
    return reinterpret_cast<Function*>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
  }

 private:
  HMODULE module_;
};

int run(const char* command_line) {
  std::string line = command_line;  // CreateProcess may write into it
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return fail("start", GetLastError());
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  const BOOL read = GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (!read)
    return fail("exit status", GetLastError());
  std::printf("status %lu\n", static_cast<unsigned long>(status));
  return 0;
}

// msi.dll, loaded at its first use and kept until the program ends.
const Library& msi() {
  static const Library library(L"msi.dll");
  return library;
}

int product(const char* code) {
  const auto query_state = msi().entry<decltype(MsiQueryProductStateA)>("MsiQueryProductStateA");
  const auto product_info = msi().entry<decltype(MsiGetProductInfoA)>("MsiGetProductInfoA");
  if (query_state == nullptr || product_info == nullptr)
    return fail("msi.dll", GetLastError());
  const INSTALLSTATE state = query_state(code);
  char version[64] = "-";
  DWORD size = sizeof version;
  if (product_info(code, INSTALLPROPERTY_VERSIONSTRING, version, &size) != ERROR_SUCCESS) {
    std::strcpy(version, "-");
  }
  std::printf("state %d version %s\n", static_cast<int>(state), version);
  return 0;
}

int related(const char* upgrade_code) {
  const auto enum_related =
      msi().entry<decltype(MsiEnumRelatedProductsA)>("MsiEnumRelatedProductsA");
  if (enum_related == nullptr)
    return fail("msi.dll", GetLastError());
  for (DWORD index = 0;; ++index) {
    char code[39];
    const UINT found = enum_related(upgrade_code, 0, index, code);
    if (found == ERROR_NO_MORE_ITEMS)
      return 0;
    if (found != ERROR_SUCCESS)
      return fail("related products", found);
    std::printf("related %s\n", code);
  }
}

// Wine closes a desktop soon after its last program goes, and the next program that needs one
// (any that loads user32: msiexec, cmd, reg) waits about a second for explorer.exe to open it
// again. A program that keeps it open for the whole run saves that second on every start.
int hold() {
  const Library user32(L"user32.dll");
  const auto desktop_window = user32.entry<decltype(GetDesktopWindow)>("GetDesktopWindow");
  if (desktop_window == nullptr || desktop_window() == nullptr)
    return fail("desktop", GetLastError());
  Sleep(INFINITE);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  for (int at = 1; at < argc && status == 0; ++at) {
    const char* const argument = at + 1 < argc ? argv[at + 1] : nullptr;
    if (std::strcmp(argv[at], "hold") == 0) {
      status = hold();
    } else if (argument != nullptr && std::strcmp(argv[at], "product") == 0) {
      status = product(argv[++at]);
    } else if (argument != nullptr && std::strcmp(argv[at], "related") == 0) {
      status = related(argv[++at]);
    } else if (argument != nullptr && std::strcmp(argv[at], "run") == 0) {
      status = run(argv[++at]);
    } else {
      std::fprintf(stderr,
                   "usage: msiprobe.exe [run COMMAND_LINE | product CODE | related CODE |"
                   " hold] ...\n");
      status = 2;
    }
  }
  std::fflush(stdout);
  return status;
}
