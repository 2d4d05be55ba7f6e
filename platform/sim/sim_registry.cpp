// The registry of the simulated machine: keys below HKEY_LOCAL_MACHINE that hold string
// values. Names compare without regard to ASCII case, as Windows compares them.

#include <algorithm>

#include "platform/registry.h"
#include "platform/sim/sim_machine.h"

namespace halcyra::platform {

using namespace sim::detail;

namespace {

constexpr Dword kErrorMoreDataCode = 234;
constexpr Dword kErrorBadPathname = 161;

std::u16string upper(const char16_t* text) {
  std::u16string out;
  for (; text != nullptr && *text != u'\0'; ++text) {
    out.push_back(*text >= u'a' && *text <= u'z' ? static_cast<char16_t>(*text - u'a' + u'A') : *text);
  }
  return out;
}

// The key below HKEY_LOCAL_MACHINE that `key` and `subKey` name; none for another root.
std::optional<std::u16string> keyPath(Hkey key, const char16_t* subKey) {
  std::u16string base;
  if (key != kHkeyLocalMachine) {
    auto const open = machine().registryHandles.find(reinterpret_cast<std::uintptr_t>(key));
    if (open == machine().registryHandles.end()) {
      return std::nullopt;
    }
    base = open->second;
  }
  std::u16string const below = upper(subKey);
  if (base.empty()) {
    return below;
  }
  return below.empty() ? base : base + u'\\' + below;
}

Dword openKey(Hkey key, const char16_t* subKey, bool create, Hkey* result) {
  *result = nullptr;
  std::optional<std::u16string> const path = keyPath(key, subKey);
  if (!path) {
    return kErrorInvalidHandle;
  }
  if (path->empty() || path->front() == u'\\') {
    return kErrorBadPathname;
  }
  Machine& m = machine();
  if (!m.registry.contains(*path)) {
    if (!create) {
      return kErrorFileNotFound;
    }
    // Every key on the way exists afterwards, as RegCreateKeyExW leaves them.
    for (std::size_t at = path->find(u'\\'); at != std::u16string::npos; at = path->find(u'\\', at + 1)) {
      m.registry[path->substr(0, at)];
    }
    m.registry[*path];
  }
  std::uintptr_t const handle = m.nextHandle++;
  m.registryHandles[handle] = *path;
  *result = reinterpret_cast<Hkey>(handle);
  return kErrorSuccess;
}

}  // namespace

Dword RegCreateKeyExW(Hkey key, const char16_t* subKey, Dword options, Dword samDesired, Hkey* result) {
  if (enterFails("RegCreateKeyExW", text(subKey) + " access=" + std::to_string(samDesired))) {
    *result = nullptr;
    return GetLastError();
  }
  static_cast<void>(options);
  return openKey(key, subKey, true, result);
}

Dword RegOpenKeyExW(Hkey key, const char16_t* subKey, Dword options, Dword samDesired, Hkey* result) {
  if (enterFails("RegOpenKeyExW", text(subKey) + " access=" + std::to_string(samDesired))) {
    *result = nullptr;
    return GetLastError();
  }
  static_cast<void>(options);
  return openKey(key, subKey, false, result);
}

Dword RegQueryValueExW(Hkey key, const char16_t* valueName, Dword* type, std::uint8_t* data, Dword* dataSize) {
  if (enterFails("RegQueryValueExW", text(valueName))) {
    return GetLastError();
  }
  std::optional<std::u16string> const path = keyPath(key, u"");
  if (!path || key == kHkeyLocalMachine) {
    return kErrorInvalidHandle;
  }
  const auto& values = machine().registry[*path];
  auto const value = values.find(upper(valueName));
  if (value == values.end()) {
    return kErrorFileNotFound;
  }
  *type = value->second.first;
  const std::string& bytes = value->second.second;
  Dword const capacity = *dataSize;
  *dataSize = static_cast<Dword>(bytes.size());
  if (data == nullptr) {
    return kErrorSuccess;
  }
  if (capacity < bytes.size()) {
    return kErrorMoreDataCode;
  }
  std::copy(bytes.begin(), bytes.end(), data);
  return kErrorSuccess;
}

Dword RegSetValueExW(Hkey key, const char16_t* valueName, Dword type, const std::uint8_t* data, Dword dataSize) {
  if (enterFails("RegSetValueExW", text(valueName) + " size=" + std::to_string(dataSize))) {
    return GetLastError();
  }
  std::optional<std::u16string> const path = keyPath(key, u"");
  if (!path || key == kHkeyLocalMachine) {
    return kErrorInvalidHandle;
  }
  machine().registry[*path][upper(valueName)] = {type, std::string(reinterpret_cast<const char*>(data), dataSize)};
  return kErrorSuccess;
}

Dword RegCloseKey(Hkey key) {
  if (enterFails("RegCloseKey", "")) {
    return GetLastError();
  }
  return machine().registryHandles.erase(reinterpret_cast<std::uintptr_t>(key)) == 1 ? kErrorSuccess
                                                                                     : kErrorInvalidHandle;
}

}  // namespace halcyra::platform
