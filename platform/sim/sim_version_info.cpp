// Version resources per file and the version.dll queries over them. The block handed to
// the caller has the shape of a VS_VERSIONINFO root: a header, the key "VS_VERSION_INFO"
// and the fixed file information at offset 40.

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "platform/version_info.h"

namespace halcyra::sim {

using namespace detail;

namespace {

inline constexpr Dword kFixedSignature = 0xFEEF04BD;
inline constexpr std::size_t kFixedOffset = 40;
inline constexpr std::size_t kBlockMinimum = kFixedOffset + sizeof(platform::FixedFileInfo);
inline constexpr char16_t kRootKey[] = u"VS_VERSION_INFO";

void putWord(std::vector<std::uint8_t>& block, std::size_t at, std::uint16_t value) {
  block[at] = static_cast<std::uint8_t>(value & 0xFF);
  block[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint16_t getWord(const std::uint8_t* block, std::size_t at) {
  return static_cast<std::uint16_t>(block[at] | (block[at + 1] << 8));
}

// The first `length` bytes of the file's version block; its length word says how many
// bytes the caller received, so that a query on a cut-off block fails.
std::vector<std::uint8_t> versionBlock(VersionInfo const& info, Dword length) {
  std::size_t const size = std::min<std::size_t>(info.totalSize, length);
  std::vector<std::uint8_t> block(std::max(size, kBlockMinimum), 0);
  putWord(block, 0, static_cast<std::uint16_t>(std::min<std::size_t>(size, 0xFFFF)));
  putWord(block, 2, sizeof(platform::FixedFileInfo));
  for (std::size_t i = 0; i < std::size(kRootKey); ++i) {
    putWord(block, 6 + 2 * i, kRootKey[i]);
  }
  platform::FixedFileInfo fixed{};
  fixed.dwSignature = kFixedSignature;
  fixed.dwStrucVersion = 0x10000;
  fixed.dwFileVersionMS = info.fileMS;
  fixed.dwFileVersionLS = info.fileLS;
  fixed.dwProductVersionMS = info.productMS;
  fixed.dwProductVersionLS = info.productLS;
  fixed.dwFileFlagsMask = 0x3F;
  fixed.dwFileOS = 0x40004;  // VOS_NT_WINDOWS32
  fixed.dwFileType = 1;      // VFT_APP
  std::memcpy(block.data() + kFixedOffset, &fixed, sizeof fixed);
  block.resize(size);
  return block;
}

VersionInfo const* versionOf(const char16_t* path, Dword& error) {
  if (path == nullptr || *path == u'\0' || hasInvalidNameCharacters(path)) {
    error = platform::kErrorInvalidParameter;
    return nullptr;
  }
  std::u16string const key = pathKey(path);
  FsNode const* const node = findNode(key);
  if (node == nullptr || node->directory || pathErrorFor(key)) {
    error = node != nullptr && node->directory ? platform::kErrorAccessDenied : missingPathError(key);
    return nullptr;
  }
  if (!node->version) {
    error = kErrorResourceTypeNotFound;
    return nullptr;
  }
  return &*node->version;
}

}  // namespace

void setVersionInfo(const std::u16string& path, Dword productMS, Dword productLS, Dword fileMS, Dword fileLS,
                    Dword totalSize) {
  FsNode* const node = findNode(pathKey(path));
  if (node == nullptr || node->directory) {
    throw std::logic_error("sim: version information needs an existing file: " + utf8(path));
  }
  node->version = VersionInfo{productMS, productLS, fileMS, fileLS, totalSize};
}

}  // namespace halcyra::sim

namespace halcyra::platform {

using namespace sim::detail;

Dword GetFileVersionInfoSizeW(const char16_t* path, Dword* handle) {
  if (enterFails("GetFileVersionInfoSizeW", text(path))) {
    return 0;
  }
  if (handle != nullptr) {
    *handle = 0;
  }
  Dword error = 0;
  sim::detail::VersionInfo const* const info = sim::versionOf(path, error);
  if (info == nullptr) {
    setLastError(error);
    return 0;
  }
  if (info->totalSize == 0) {
    setLastError(kErrorResourceTypeNotFound);
  }
  return info->totalSize;
}

Bool GetFileVersionInfoW(const char16_t* path, Dword handle, Dword length, void* data) {
  if (enterFails("GetFileVersionInfoW",
                 text(path) + " handle=" + std::to_string(handle) + " length=" + std::to_string(length))) {
    return kFalse;
  }
  Dword error = 0;
  sim::detail::VersionInfo const* const info = sim::versionOf(path, error);
  if (info == nullptr) {
    setLastError(error);
    return kFalse;
  }
  if (data == nullptr || length == 0) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  std::vector<std::uint8_t> const block = sim::versionBlock(*info, length);
  if (!block.empty()) {
    std::memcpy(data, block.data(), block.size());
  }
  return kTrue;
}

Bool VerQueryValueA(const void* block, const char* subBlock, void** buffer, unsigned* length) {
  if (enterFails("VerQueryValueA", text(subBlock))) {
    return kFalse;
  }
  if (block == nullptr || subBlock == nullptr || buffer == nullptr || length == nullptr) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  auto const* const bytes = static_cast<const std::uint8_t*>(block);
  bool const root = std::strcmp(subBlock, "\\") == 0 || std::strcmp(subBlock, "") == 0;
  Dword signature = 0;
  bool const whole = sim::getWord(bytes, 0) >= sim::kBlockMinimum;
  if (whole) {
    std::memcpy(&signature, bytes + sim::kFixedOffset, sizeof signature);
  }
  if (!root || !whole || signature != sim::kFixedSignature) {
    setLastError(kErrorResourceTypeNotFound);
    return kFalse;
  }
  *buffer = const_cast<std::uint8_t*>(bytes + sim::kFixedOffset);
  *length = sizeof(FixedFileInfo);
  return kTrue;
}

}  // namespace halcyra::platform
