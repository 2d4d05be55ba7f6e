// A stand-in for the updater program, for the tests that drive the real service under
// Wine.
//
// The service starts it with a command line that is one argument: the base64 text of the
// configuration's JSON in UTF-16LE. It decodes that argument with its own decoder (so that
// a fault in the service's encoding cannot cancel out), writes the decoded bytes unchanged
// to the file named by HALCYRA_UPDATER_OUTPUT or, when that is unset, to
// <its name>.received beside itself, and exits with the code in HALCYRA_UPDATER_EXIT_CODE
// or in <its name>.exitcode beside itself (default 0). It also records the id of the process
// that started it in <its name>.parent beside itself, so that a test can compare it with
// the process id the configuration carries. A command line that is not one
// valid base64 argument ends it with exit code 2 and nothing written.
//
// When <its name>.install exists beside it, it also installs the release: every name in
// the configuration's "files" is copied from "tempFolder" over the same name in
// "appFolder", where the update's files wait and where the application lives.

#include <windows.h>
// After <windows.h>, which they need.
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

namespace {

int valueOf(wchar_t c) {
  if (c >= L'A' && c <= L'Z') return c - L'A';
  if (c >= L'a' && c <= L'z') return c - L'a' + 26;
  if (c >= L'0' && c <= L'9') return c - L'0' + 52;
  if (c == L'+') return 62;
  if (c == L'/') return 63;
  return -1;
}

// Standard base64 with "=" padding; nothing else (no line breaks, no blanks) is accepted.
std::optional<std::string> decodeBase64(const std::wstring& text) {
  if (text.size() % 4 != 0) {
    return std::nullopt;
  }
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool const last = i + 4 == text.size();
    int values[4];
    int padding = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      wchar_t const c = text[i + k];
      if (c == L'=' && last && k >= 2) {
        ++padding;
        values[k] = 0;
        continue;
      }
      if (padding > 0) {
        return std::nullopt;  // a character after "="
      }
      values[k] = valueOf(c);
      if (values[k] < 0) {
        return std::nullopt;
      }
    }
    unsigned const group = static_cast<unsigned>(values[0] << 18 | values[1] << 12 | values[2] << 6 | values[3]);
    bytes.push_back(static_cast<char>(group >> 16 & 0xFF));
    if (padding < 2) bytes.push_back(static_cast<char>(group >> 8 & 0xFF));
    if (padding < 1) bytes.push_back(static_cast<char>(group & 0xFF));
  }
  return bytes;
}

std::wstring besideSelf(const wchar_t* suffix) {
  wchar_t buffer[MAX_PATH];
  std::wstring path(buffer, GetModuleFileNameW(nullptr, buffer, MAX_PATH));
  std::size_t const dot = path.find_last_of(L'.');
  if (dot != std::wstring::npos && path.find_first_of(L"\\/", dot) == std::wstring::npos) {
    path.resize(dot);
  }
  return path + suffix;
}

std::wstring outputPath() {
  wchar_t buffer[MAX_PATH];
  DWORD const length = GetEnvironmentVariableW(L"HALCYRA_UPDATER_OUTPUT", buffer, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    return std::wstring(buffer, length);
  }
  return besideSelf(L".received");
}

DWORD exitCode() {
  if (char const* const fromEnvironment = std::getenv("HALCYRA_UPDATER_EXIT_CODE")) {
    return static_cast<DWORD>(std::strtoul(fromEnvironment, nullptr, 0));
  }
  FILE* const file = _wfopen(besideSelf(L".exitcode").c_str(), L"r");
  if (file == nullptr) {
    return 0;
  }
  unsigned long code = 0;
  if (std::fscanf(file, "%lu", &code) != 1) {
    code = 0;
  }
  std::fclose(file);
  return static_cast<DWORD>(code);
}

DWORD parentProcessId() {
  HANDLE const snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return 0;
  }
  DWORD parent = 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId()) {
      parent = entry.th32ParentProcessID;
      break;
    }
  }
  CloseHandle(snapshot);
  return parent;
}

// The text of the JSON string that starts at `position` (just after its opening quote);
// `position` ends after the closing quote. Folder and file names hold no control
// characters, so their short escapes (\n, \t, ...) are not expected: an escaped
// character stands for itself, "\uXXXX" for its code unit.
std::wstring readJsonString(const std::wstring& json, std::size_t& position) {
  std::wstring text;
  while (position < json.size() && json[position] != L'"') {
    wchar_t c = json[position++];
    if (c == L'\\' && position < json.size()) {
      wchar_t const escape = json[position++];
      if (escape == L'u') {
        c = static_cast<wchar_t>(std::wcstoul(json.substr(position, 4).c_str(), nullptr, 16));
        position += 4;
      } else {
        c = escape;
      }
    }
    text.push_back(c);
  }
  ++position;
  return text;
}

std::wstring jsonStringMember(const std::wstring& json, const wchar_t* key) {
  std::wstring const opening = L"\"" + std::wstring(key) + L"\":\"";
  std::size_t position = json.find(opening);
  if (position == std::wstring::npos) {
    return {};
  }
  position += opening.size();
  return readJsonString(json, position);
}

std::vector<std::wstring> jsonStringArrayMember(const std::wstring& json, const wchar_t* key) {
  std::vector<std::wstring> values;
  std::wstring const opening = L"\"" + std::wstring(key) + L"\":[";
  std::size_t position = json.find(opening);
  if (position == std::wstring::npos) {
    return values;
  }
  position += opening.size();
  while (position < json.size() && json[position] == L'"') {
    ++position;
    values.push_back(readJsonString(json, position));
    if (position < json.size() && json[position] == L',') {
      ++position;
    }
  }
  return values;
}

// Copies each file of the release from tempFolder over appFolder.
void install(const std::string& utf16leJson) {
  std::wstring json(utf16leJson.size() / 2, L'\0');
  std::memcpy(json.data(), utf16leJson.data(), json.size() * sizeof(wchar_t));
  std::wstring const from = jsonStringMember(json, L"tempFolder");
  std::wstring const to = jsonStringMember(json, L"appFolder");
  for (std::wstring const& file : jsonStringArrayMember(json, L"files")) {
    std::wstring const source = from + L"\\" + file;
    std::wstring const target = to + L"\\" + file;
    if (CopyFileW(source.c_str(), target.c_str(), FALSE)) {
      std::printf("sample updater: installed %ls from %ls\n", file.c_str(), from.c_str());
    } else {
      std::printf("sample updater: cannot install %ls from %ls (error %lu)\n", file.c_str(), from.c_str(),
                  GetLastError());
    }
  }
  std::fflush(stdout);
}

void writeWholeFile(const std::wstring& path, const std::string& bytes) {
  HANDLE const file =
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "sample updater: cannot write a file (error %lu)\n", GetLastError());
    return;
  }
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

int main() {
  int count = 0;
  LPWSTR* const arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  // The service names the program separately and passes the argument alone; started by
  // hand the program name comes first.
  if (arguments == nullptr || count < 1 || count > 2) {
    std::fprintf(stderr, "sample updater: expected one base64 argument\n");
    return 2;
  }
  std::optional<std::string> const bytes = decodeBase64(arguments[count - 1]);
  LocalFree(arguments);
  if (!bytes) {
    std::fprintf(stderr, "sample updater: the argument is not base64\n");
    return 2;
  }

  writeWholeFile(outputPath(), *bytes);
  writeWholeFile(besideSelf(L".parent"), std::to_string(parentProcessId()) + "\n");
  if (GetFileAttributesW(besideSelf(L".install").c_str()) != INVALID_FILE_ATTRIBUTES) {
    install(*bytes);
  }

  DWORD const code = exitCode();
  std::printf("sample updater: received %zu bytes, exiting with %lu\n", bytes->size(), code);
  std::fflush(stdout);
  ExitProcess(code);
}
