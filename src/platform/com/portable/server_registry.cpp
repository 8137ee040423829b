#include "platform/com/portable/server_registry.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/com/com_error.h"

namespace mx::com::portable {
namespace {

namespace fs = std::filesystem;

struct ServerEntry {
  fs::path library;
  std::vector<std::string> progids;
  struct Lib {
    std::string guid;
    int major = 0, minor = 0;
  };
  std::vector<Lib> typelibs;
};

fs::path RegistryFolder() {
  if (const char* env = std::getenv("MX_COM_REGISTRY"); env != nullptr && *env != '\0') {
    return fs::path(env);
  }
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&RegistryFolder), &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  return fs::path(info.dli_fname).parent_path() / "com_registry";
}

// Every server the registry lists (read at each look-up: a look-up happens once per
// ProgID that the process has not registered itself).
std::vector<ServerEntry> ReadRegistry() {
  std::vector<ServerEntry> servers;
  const fs::path folder = RegistryFolder();
  std::error_code ec;
  if (folder.empty() || !fs::is_directory(folder, ec)) return servers;
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    if (e.path().extension() == ".server") files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::ifstream in(file);
    ServerEntry server;
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream words(line);
      std::string key, value;
      if (!(words >> key >> value)) continue;
      if (key == "library") {
        server.library = fs::path(value).is_absolute() ? fs::path(value) : folder / value;
      } else if (key == "progid") {
        server.progids.push_back(value);
      } else if (key == "typelib") {
        ServerEntry::Lib lib{value};
        std::string version;
        words >> version;
        if (std::sscanf(version.c_str(), "%d.%d", &lib.major, &lib.minor) != 2) continue;
        server.typelibs.push_back(std::move(lib));
      }
    }
    if (!server.library.empty()) servers.push_back(std::move(server));
  }
  return servers;
}

std::mutex load_mu;
std::set<std::pair<fs::path, std::string>>& Called() {
  static std::set<std::pair<fs::path, std::string>> called;
  return called;
}

// Opens `library` (once; dlopen counts) and calls its entry point `entry` (once).
void Load(const fs::path& library, const std::string& entry_name) {
  std::lock_guard lk(load_mu);
  if (Called().count({library, entry_name}) != 0) return;
  // Kept for the life of the process, as COM keeps an in-process server that is in use.
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    throw ComError(hresult::kFail, "Cannot load the COM server " + library.string() + ": " +
                                       (why ? why : "unknown error"));
  }
  using Entry = void (*)();
  auto entry = reinterpret_cast<Entry>(dlsym(handle, entry_name.c_str()));
  if (entry == nullptr) {
    throw ComError(hresult::kFail, "The COM server " + library.string() + " has no " + entry_name);
  }
  entry();
  Called().insert({library, entry_name});
}

}  // namespace

bool LoadServerForProgId(std::string_view progid) {
  for (const auto& server : ReadRegistry()) {
    for (const auto& id : server.progids) {
      if (id == progid) {
        Load(server.library, "mx_com_register_server");
        return true;
      }
    }
  }
  return false;
}

bool LoadServerForTypeLibrary(std::string_view guid, int major, int minor) {
  for (const auto& server : ReadRegistry()) {
    for (const auto& lib : server.typelibs) {
      if (lib.guid == guid && lib.major == major && lib.minor >= minor) {
        Load(server.library, "mx_com_register_type_libraries");
        return true;
      }
    }
  }
  return false;
}

}  // namespace mx::com::portable
