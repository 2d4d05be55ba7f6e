#include "config/config_file.h"

#include <climits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/file_existence.h"
#include "platform/files.h"
#include "platform/module_path.h"
#include "platform/text_mode.h"
#include "platform/types.h"

namespace halcyra {

namespace {

bool isSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool isDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// Length of the root name: "C:", the three characters of "\\?\", "\\.\" and "\??\"
// (either separator in the separator positions), or "\\server"; 0 when there is none.
std::size_t rootNameLength(std::u16string_view path) {
  if (path.size() >= 2 && isDriveLetter(path[0]) && path[1] == u':') {
    return 2;
  }
  if (path.size() >= 4 && isSeparator(path[0]) && isSeparator(path[3])) {
    bool const device = isSeparator(path[1]) && (path[2] == u'?' || path[2] == u'.');
    bool const nt = path[1] == u'?' && path[2] == u'?';
    if (device || nt) {
      return 3;
    }
  }
  if (path.size() >= 3 && isSeparator(path[0]) && isSeparator(path[1]) && !isSeparator(path[2])) {
    std::size_t end = 2;
    while (end < path.size() && !isSeparator(path[end])) {
      ++end;
    }
    return end;
  }
  return 0;
}

// The configuration file's path converted with the code page the C runtime uses for file
// names; nothing when the bytes are not valid in that code page (no file can be named so).
std::optional<std::u16string> toWide(const std::string& narrow) {
  std::string_view const text = std::string_view(narrow).substr(0, narrow.find('\0'));
  if (text.empty()) {
    return std::u16string();
  }
  if (text.size() > static_cast<std::size_t>(INT_MAX)) {
    return std::nullopt;
  }
  unsigned const codePage = platform::fileNameCodePage();
  int const length = static_cast<int>(text.size());
  int const needed =
      platform::MultiByteToWideChar(codePage, platform::kMbErrInvalidChars, text.data(), length, nullptr, 0);
  if (needed <= 0) {
    return std::nullopt;
  }
  std::u16string wide(static_cast<std::size_t>(needed), u'\0');
  int const written =
      platform::MultiByteToWideChar(codePage, platform::kMbErrInvalidChars, text.data(), length, wide.data(), needed);
  if (written <= 0) {
    return std::nullopt;
  }
  wide.resize(static_cast<std::size_t>(written));
  return wide;
}

bool fail(UpdaterSettings& settings, char const* message) {
  settings.hasError = true;
  settings.lastError = message;
  return false;
}

}  // namespace

std::u16string parentPath(std::u16string_view path) {
  std::size_t const rootName = rootNameLength(path);
  std::size_t relative = rootName;
  while (relative < path.size() && isSeparator(path[relative])) {
    ++relative;
  }
  if (relative == path.size()) {
    return std::u16string(path);
  }
  // Drop the last component, then the separators in front of it, but never the root.
  std::size_t end = path.size();
  while (end > relative && !isSeparator(path[end - 1])) {
    --end;
  }
  while (end > relative && isSeparator(path[end - 1])) {
    --end;
  }
  return std::u16string(path.substr(0, end));
}

std::u16string fullPathOf(const std::u16string& path) {
  // A first buffer of MAX_PATH units covers ordinary paths; a longer result is fetched
  // again in a buffer of the size the system asked for.
  std::vector<char16_t> buffer(platform::kMaxPath);
  for (int attempt = 0; attempt < 2; ++attempt) {
    platform::Dword const length =
        platform::GetFullPathNameW(path.c_str(), static_cast<platform::Dword>(buffer.size()), buffer.data(), nullptr);
    if (length == 0) {
      return {};
    }
    if (length < buffer.size()) {
      return {buffer.data(), length};
    }
    buffer.resize(length);  // too small: `length` is the size needed, terminator included
  }
  return {};
}

std::u16string installRootOf(std::u16string_view modulePath) { return parentPath(parentPath(modulePath)); }

std::optional<std::u16string> configFilePath(const std::string& configPath) {
  std::optional<std::u16string> const relativePath = toWide(configPath);
  if (!relativePath) {
    return std::nullopt;
  }
  std::optional<std::u16string> const module = platform::modulePath();
  if (!module) {
    return std::nullopt;
  }

  std::u16string fullPath = installRootOf(*module);
  if (fullPath.empty() || !isSeparator(fullPath.back())) {
    fullPath.push_back(u'\\');
  }
  fullPath += *relativePath;
  return fullPath;
}

bool loadUpdaterConfig(UpdaterSettings& settings, const std::string& configPath,
                       std::optional<std::string>* rejectedBytes) {
  // A path that cannot be converted or located names no file we could read, so these
  // failures report the configuration as missing.
  std::optional<std::u16string> const found = configFilePath(configPath);
  if (!found) {
    return fail(settings, kConfigMissing);
  }
  std::u16string const& fullPath = *found;

  // Only a positive answer counts as present: when the system cannot tell (access denied
  // on a folder of the path, say) there is no file we could read either.
  if (platform::testExistence(fullPath.c_str()).existence != platform::Existence::present) {
    return fail(settings, kConfigMissing);
  }

  // A folder or a file that cannot be opened reads as the empty text, which the JSON
  // parser rejects.
  std::string bytes;
  if (platform::ReadTextModeFile(fullPath.c_str(), bytes) == platform::kFalse) {
    bytes.clear();
  }
  // Each byte is one code unit of the same value: the file is not decoded. The text
  // ends at its first zero byte, which fromJson sees to.
  std::u16string const text = platform::widenBytes(bytes);

  if (!settings.readJson(text)) {
    if (rejectedBytes != nullptr) {
      *rejectedBytes = std::move(bytes);
    }
    return fail(settings, kConfigUnreadable);
  }
  return true;
}

}  // namespace halcyra
