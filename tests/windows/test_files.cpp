#include "tests/windows/test_files.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace halcyra::test {

namespace {

std::filesystem::path pathOf(std::u16string_view text) {
  return std::filesystem::path(std::wstring(text.begin(), text.end()));
}

}  // namespace

std::u16string moduleFolder() {
  wchar_t buffer[MAX_PATH];
  std::wstring path(buffer, GetModuleFileNameW(nullptr, buffer, MAX_PATH));
  path.resize(path.find_last_of(L"\\/"));
  return std::u16string(path.begin(), path.end());
}

std::u16string freshFolder(std::u16string_view name) {
  wchar_t buffer[MAX_PATH];
  std::wstring module(buffer, GetModuleFileNameW(nullptr, buffer, MAX_PATH));
  std::filesystem::path const folder = std::filesystem::path(module + L".scratch") / pathOf(name);
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::wstring const text = folder.wstring();
  return std::u16string(text.begin(), text.end());
}

void writeFile(const std::u16string& path, std::string_view bytes) {
  std::ofstream file(pathOf(path), std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readFile(const std::u16string& path) {
  std::ifstream file(pathOf(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string printable(std::u16string_view text) {
  std::string result;
  for (char16_t const c : text) {
    result.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return result;
}

}  // namespace halcyra::test
