// Windows path rules of the simulated file system: full paths against the current
// directory, case-insensitive keys, and the errors for paths with nothing at them.

#include <stdexcept>

#include "platform/sim/sim_machine.h"

namespace halcyra::sim::detail {

namespace {

bool isDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

char16_t upper(char16_t c) {
  if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
    return static_cast<char16_t>(c - 0x20);
  }
  return c;
}

bool startsWithVerbatimPrefix(std::u16string_view path) {
  return path.size() >= 4 && path[0] == u'\\' && (path.substr(0, 4) == u"\\\\?\\" || path.substr(0, 4) == u"\\??\\");
}

// Length of the root of a full path: "C:\", "\\server\share" or "\\.\".
std::size_t rootLength(std::u16string_view path) {
  if (path.size() >= 3 && isDriveLetter(path[0]) && path[1] == u':' && path[2] == u'\\') {
    return 3;
  }
  if (path.substr(0, 4) == u"\\\\.\\") {
    return 4;
  }
  if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') {
    std::size_t const server = path.find(u'\\', 2);
    if (server == std::u16string_view::npos) {
      return path.size();
    }
    std::size_t const share = path.find(u'\\', server + 1);
    return share == std::u16string_view::npos ? path.size() : share;
  }
  return 0;
}

// The root followed by the components of `rest` with ".", ".." and empty components
// resolved and trailing dots and blanks of each component removed.
std::u16string joinNormalized(std::u16string root, std::u16string_view rest) {
  std::vector<std::u16string> components;
  bool const trailingSeparator = !rest.empty() && rest.back() == u'\\';
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find(u'\\', start);
    if (end == std::u16string_view::npos) {
      end = rest.size();
    }
    std::u16string component(rest.substr(start, end - start));
    start = end + 1;
    if (component.empty() || component == u".") {
      continue;
    }
    if (component == u"..") {
      if (!components.empty()) {
        components.pop_back();
      }
      continue;
    }
    while (!component.empty() && (component.back() == u'.' || component.back() == u' ')) {
      component.pop_back();
    }
    if (!component.empty()) {
      components.push_back(std::move(component));
    }
  }
  std::u16string full = std::move(root);
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (!full.empty() && full.back() != u'\\') {
      full.push_back(u'\\');
    }
    full += components[i];
  }
  if (trailingSeparator && !components.empty()) {
    full.push_back(u'\\');
  }
  return full;
}

}  // namespace

std::u16string fullPath(std::u16string_view raw) {
  if (raw.empty() || startsWithVerbatimPrefix(raw)) {
    return std::u16string(raw);  // verbatim paths are taken as they are
  }
  std::u16string path(raw);
  for (char16_t& c : path) {
    if (c == u'/') {
      c = u'\\';
    }
  }
  std::u16string const& cwd = currentProcess().cwd;
  std::size_t const root = rootLength(path);
  if (root > 0) {
    std::u16string rootText = path.substr(0, root);
    if (rootText.size() == 3) {
      rootText[0] = upper(rootText[0]);
    }
    return joinNormalized(rootText, std::u16string_view(path).substr(root));
  }
  if (path.size() >= 2 && isDriveLetter(path[0]) && path[1] == u':') {
    // Drive-relative: against the current directory when it is on that drive.
    std::u16string const rest = path.substr(2);
    if (!cwd.empty() && upper(cwd[0]) == upper(path[0])) {
      return fullPath(rest.empty() ? cwd : cwd + u"\\" + rest);
    }
    return fullPath(std::u16string{upper(path[0]), u':', u'\\'} + rest);
  }
  if (path[0] == u'\\') {
    return fullPath(cwd.substr(0, rootLength(cwd)) + path);
  }
  return fullPath(cwd + u"\\" + path);
}

std::u16string pathKey(std::u16string_view path) {
  std::u16string key = fullPath(path);
  if (startsWithVerbatimPrefix(key)) {
    key = fullPath(std::u16string_view(key).substr(4));
  }
  if (key.size() > rootLength(key) && key.back() == u'\\') {
    key.pop_back();
  }
  for (char16_t& c : key) {
    c = upper(c);
  }
  return key;
}

std::u16string parentKey(const std::u16string& key) {
  std::size_t const root = rootLength(key);
  if (key.size() <= root) {
    return key;
  }
  std::size_t const last = key.rfind(u'\\');
  if (last == std::u16string::npos || last < root) {
    return key.substr(0, root);
  }
  return last + 1 <= root ? key.substr(0, root) : key.substr(0, last);
}

bool hasInvalidNameCharacters(std::u16string_view path) {
  if (startsWithVerbatimPrefix(path)) {
    path.remove_prefix(4);
  }
  for (std::size_t i = 0; i < path.size(); ++i) {
    char16_t const c = path[i];
    bool const driveColon = i == 1 && c == u':' && isDriveLetter(path[0]);
    if (c < 0x20 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' || c == u'*' ||
        (c == u':' && !driveColon)) {
      return true;
    }
  }
  return false;
}

FsNode* findNode(const std::u16string& key) {
  auto& fs = machine().fs;
  auto const it = fs.find(key);
  return it == fs.end() ? nullptr : &it->second;
}

std::optional<Dword> pathErrorFor(const std::u16string& key) {
  std::u16string at = key;
  for (;;) {
    auto const& errors = machine().pathErrors;
    if (auto const it = errors.find(at); it != errors.end()) {
      return it->second;
    }
    std::u16string const parent = parentKey(at);
    if (parent == at) {
      return std::nullopt;
    }
    at = parent;
  }
}

Dword missingPathError(const std::u16string& key) {
  if (std::optional<Dword> const error = pathErrorFor(key)) {
    return *error;
  }
  std::size_t const root = rootLength(key);
  bool const unc = key.size() >= 2 && key[0] == u'\\' && key[1] == u'\\';
  if (unc && findNode(key.substr(0, root)) == nullptr) {
    return platform::kErrorBadNetpath;
  }
  std::u16string const parent = parentKey(key);
  FsNode const* const parentNode = parent == key ? nullptr : findNode(parent);
  return parentNode != nullptr && parentNode->directory ? platform::kErrorFileNotFound : platform::kErrorPathNotFound;
}

void ensureDirectory(const std::u16string& path) {
  std::u16string key = pathKey(path);
  std::u16string display = fullPath(path);
  if (display.size() > key.size()) {
    display.resize(key.size());  // a trailing separator
  }
  if (display.size() != key.size()) {
    display = key;
  }
  for (;;) {
    auto& fs = machine().fs;
    if (auto const it = fs.find(key); it != fs.end()) {
      if (!it->second.directory) {
        throw std::logic_error("sim: a file stands where a folder is needed: " + utf8(display));
      }
    } else {
      FsNode& folder = fs[key];
      folder.directory = true;
      folder.path = display;
    }
    std::u16string const parent = parentKey(key);
    if (parent == key) {
      return;
    }
    key = parent;
    display = display.substr(0, parent.size());
  }
}

}  // namespace halcyra::sim::detail
