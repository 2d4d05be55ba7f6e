#include "e2e_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <thread>

namespace halcyra::e2e {

// ---- text and files ---------------------------------------------------------------------

namespace {

// The names in a folder, without "." and "..".
std::vector<std::wstring> namesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found{};
  HANDLE const search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (std::wstring_view(found.cFileName) != L"." && std::wstring_view(found.cFileName) != L"..") {
      names.emplace_back(found.cFileName);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

}  // namespace

std::string narrow(const std::wstring& text) {
  if (text.empty()) return {};
  int const size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size, nullptr, nullptr);
  return utf8;
}

std::string environment(const char* name) {
  char const* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::wstring windowsPath(const std::string& unixPath) {
  int const size = MultiByteToWideChar(CP_UTF8, 0, unixPath.data(), static_cast<int>(unixPath.size()), nullptr, 0);
  std::wstring path(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, unixPath.data(), static_cast<int>(unixPath.size()), path.data(), size);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return L"Z:" + path;
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string readBytes(const std::wstring& path) {
  // Shared for deletion too: the service may replace or remove its log while it is read.
  HANDLE const file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  // Files under /proc report size 0, so read to the end rather than by size.
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

std::string readText(const std::wstring& path) {
  std::string text = readBytes(path);
  std::erase(text, '\r');
  return text;
}

bool writeBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE const file =
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool const ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
  CloseHandle(file);
  return ok;
}

bool copyFile(const std::wstring& from, const std::wstring& to) {
  return CopyFileW(from.c_str(), to.c_str(), FALSE) != 0;
}

bool moveFile(const std::wstring& from, const std::wstring& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
}

bool removeFile(const std::wstring& path) { return DeleteFileW(path.c_str()) != 0; }

int linkCount(const std::wstring& path) {
  HANDLE const file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION information{};
  bool const ok = GetFileInformationByHandle(file, &information) != 0;
  CloseHandle(file);
  return ok ? static_cast<int>(information.nNumberOfLinks) : 0;
}

bool makeFolders(const std::wstring& path) {
  std::size_t const cut = path.find_last_of(L'\\');
  if (cut != std::wstring::npos && cut > 2) makeFolders(path.substr(0, cut));
  return CreateDirectoryW(path.c_str(), nullptr) != 0 || GetLastError() == ERROR_ALREADY_EXISTS;
}

void removeTree(const std::wstring& path) {
  for (std::wstring const& name : namesIn(path)) {
    std::wstring const child = path + L"\\" + name;
    SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(child.c_str())) removeTree(child);
  }
  RemoveDirectoryW(path.c_str());
}

int countLines(const std::string& in, const std::string& text) {
  std::istringstream lines(in);
  int count = 0;
  for (std::string line; std::getline(lines, line);) count += line.find(text) != std::string::npos ? 1 : 0;
  return count;
}

// ---- programs and processes -------------------------------------------------------------

namespace {

// This process's environment block with `extra` entries set (replacing those of the same
// name), for CreateProcessW with CREATE_UNICODE_ENVIRONMENT.
std::wstring environmentBlock(const std::vector<std::wstring>& extra) {
  std::vector<std::wstring> entries;
  wchar_t* const block = GetEnvironmentStringsW();
  for (wchar_t const* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) entries.emplace_back(entry);
  FreeEnvironmentStringsW(block);
  for (std::wstring const& setting : extra) {
    std::wstring const name = setting.substr(0, setting.find(L'=') + 1);
    std::erase_if(entries, [&](const std::wstring& entry) { return entry.starts_with(name); });
    entries.push_back(setting);
  }
  std::wstring result;
  for (std::wstring const& entry : entries) result += entry + L'\0';
  return result + L'\0';
}

}  // namespace

Outcome run(const std::wstring& line, Milliseconds limit, std::uint32_t flags, const std::vector<std::wstring>& extra) {
  Outcome result;
  wchar_t name[MAX_PATH];
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  GetTempFileNameW(folder, L"e2e", 0, name);
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE const output = CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
  HANDLE const input =
      CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr);
  std::wstring block = extra.empty() ? std::wstring() : environmentBlock(extra);
  support::Process const process = support::start(
      line, {.flags = flags, .input = input, .output = output, .environment = extra.empty() ? nullptr : block.data()});
  CloseHandle(output);
  CloseHandle(input);
  result.started = static_cast<bool>(process);
  if (result.started) {
    result.ended = process.awaitEnd(static_cast<DWORD>(limit.count()));
    if (!result.ended) {
      process.terminate(1);
      process.awaitEnd(5000);
    }
    result.exitCode = process.exitCode();
  } else {
    result.output = "CreateProcessW failed with error " + std::to_string(GetLastError());
  }
  result.output += readText(name);
  DeleteFileW(name);
  return result;
}

// ---- time -------------------------------------------------------------------------------

bool awaitUntil(Milliseconds limit, const std::function<bool()>& condition, Milliseconds poll) {
  auto const deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(poll);
  }
  return condition();
}

// ---- the installed service --------------------------------------------------------------

namespace {

// A program as built, or the wrapper's scratch folder (HALCYRA_E2E_WORK), as a Windows path.
std::wstring built(const char* variable) {
  std::string const path = environment(variable);
  return path.empty() ? std::wstring() : windowsPath(path);
}
std::wstring work(const wchar_t* file) { return built("HALCYRA_E2E_WORK") + L"\\" + file; }

// Records a failure that says `what` unless `ok`.
bool require(bool ok, const std::string& what) {
  if (!ok) ADD_FAILURE() << what;
  return ok;
}

int portFrom(const char* variable) { return std::atoi(environment(variable).c_str()); }

Outcome sc(const std::wstring& arguments) { return run(L"sc.exe " + arguments + L" HalcyraService"); }

// The number after `field` in "sc query" output ("STATE : 4 RUNNING"), -1 when absent.
long long scField(const std::string& output, const std::string& field) {
  std::smatch match;
  std::regex const pattern("^\\s*" + field + "\\s*:\\s*([0-9]+)", std::regex::multiline);
  return std::regex_search(output, match, pattern) ? std::stoll(match[1]) : -1;
}

}  // namespace

std::wstring ServiceE2E::builtServer() { return built("HALCYRA_E2E_SERVER"); }
std::string ServiceE2E::manifestUrl() {
  return "http://127.0.0.1:" + std::to_string(portFrom("HALCYRA_E2E_HTTP_PORT"));
}
int ServiceE2E::silentPort() { return portFrom("HALCYRA_E2E_SILENT_PORT"); }
int ServiceE2E::unacceptedPort() { return portFrom("HALCYRA_E2E_UNACCEPTED_PORT"); }
int ServiceE2E::busyPort() { return portFrom("HALCYRA_E2E_BUSY_PORT"); }

void ServiceE2E::SetUp() {
  ASSERT_FALSE(built("HALCYRA_E2E_SERVICE").empty()) << "run through tests/e2e/e2e_run.sh, which sets HALCYRA_E2E_*";
  ASSERT_FALSE(built("HALCYRA_E2E_WORK").empty());
  removeService();
  traceStart_ = readText(work(L"event-trace.txt")).size();
  httpLogStart_ = readText(work(L"http.log")).size();
  slowLogStart_ = readText(work(L"slow.out")).size();
  removeTree(manifestFolder());
  makeFolders(manifestFolder());
}

void ServiceE2E::TearDown() {
  removeService();
  if (HasFailure()) {
    std::printf("---- HalcyraService.log\n%s----\n---- traced events\n", readText(logPath()).c_str());
    for (std::string const& event : events()) std::printf("%s\n", event.c_str());
    std::printf("----\n");
  }
}

bool ServiceE2E::installService(const std::string& behaviour) {
  removeService();
  removeTree(base);
  removeFile(logPath());
  bool const ok = makeFolders(root + L"\\bin") && makeFolders(base + L"\\tools") &&
                  copyFile(built("HALCYRA_E2E_SERVICE"), serviceExe) &&
                  copyFile(builtServer(), root + L"\\HalcyraServer.exe") &&
                  copyFile(built("HALCYRA_E2E_PROBE"), probeExe) &&
                  writeBytes(root + L"\\HalcyraServer.behaviour", behaviour + "\n");
  if (!require(ok, "could not lay out the installation (error " + std::to_string(GetLastError()) + ")")) return false;
  Outcome const created = run(L"sc.exe create HalcyraService binPath= \"" + serviceExe + L"\"");
  return require(created.exitCode == 0, "sc create failed: " + created.output);
}

bool ServiceE2E::installUpdater() {
  bool const ok = makeFolders(root + L"\\updater") && makeFolders(root + L"\\resources\\updater") &&
                  copyFile(built("HALCYRA_E2E_UPDATER"), updaterExe);
  return require(ok, "could not install the sample updater");
}

std::string ServiceE2E::updaterPathJson() { return R"(C:\\halcyra-e2e\\Halcyra\\updater\\sample-updater.exe)"; }

bool ServiceE2E::writeUpdateConfig(const std::string& server, const std::string& versionFile) {
  std::string const json =
      "{\r\n  \"server\": \"" + server + "\", \"versionFile\": \"" + versionFile +
      "\",\r\n  \"relativeAppPath\": \"HalcyraServer.exe\", \"login\": \"\", \"password\": \"\", \"useGUI\": 0,\r\n"
      "  \"files\": [\"a.dll\", \"b.dll\"], \"version\": \"1.0.0.0\", \"tempFolder\": \"C:\\\\halcyra-e2e\\\\tmp\","
      "\r\n  \"enableUpdate\": true, \"autoUpdate\": true, \"updaterPath\": \"" +
      updaterPathJson() + "\"\r\n}\r\n";
  return require(
      makeFolders(root + L"\\resources\\updater") && writeBytes(root + L"\\resources\\updater\\config.json", json),
      "could not write the update configuration");
}

std::string ServiceE2E::updaterReceived() {
  std::string const bytes = readBytes(root + L"\\updater\\sample-updater.received");
  std::wstring text(bytes.size() / 2, L'\0');
  std::memcpy(text.data(), bytes.data(), 2 * text.size());
  return narrow(text);
}

bool ServiceE2E::startService() {
  sc(L"start");
  return awaitState(SERVICE_RUNNING, 10s) ||
         require(false, "the service did not reach RUNNING (exit code " + std::to_string(serviceExitCode()) + ")");
}

bool ServiceE2E::stopService(Milliseconds limit) {
  sc(L"stop");
  return awaitState(SERVICE_STOPPED, limit);
}

DWORD ServiceE2E::serviceState() {
  Outcome const query = sc(L"query");
  return query.exitCode != 0 ? 0 : static_cast<DWORD>(scField(query.output, "STATE"));
}

std::uint32_t ServiceE2E::serviceExitCode() {
  return static_cast<std::uint32_t>(scField(sc(L"query").output, "WIN32_EXIT_CODE"));
}

bool ServiceE2E::awaitState(DWORD state, Milliseconds limit) {
  return awaitUntil(limit, [&] { return serviceState() == state; });
}

void ServiceE2E::removeService() {
  DWORD const state = serviceState();
  if (state == 0) return;
  if (state != SERVICE_STOPPED) {
    stopService(30s);
  }
  sc(L"delete");
}

Outcome ServiceE2E::probe(const std::vector<std::wstring>& arguments, const std::vector<std::wstring>& extra) {
  std::vector<std::wstring> line{probeExe};
  line.insert(line.end(), arguments.begin(), arguments.end());
  return run(commandLine(line), 60s, 0, extra);
}

std::uint32_t ServiceE2E::pidIn(const std::wstring& file) {
  std::string const text = readText(root + L"\\" + file);
  std::uint32_t pid = 0;
  for (char const c : text) {
    if (c >= '0' && c <= '9') pid = pid * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return pid;
}

bool ServiceE2E::awaitStarted(const std::wstring& file) {
  return require(awaitUntil(15s, [&] { return pidIn(file) != 0; }), "nothing wrote " + narrow(file) + " within 15 s");
}

bool ServiceE2E::awaitNewServer(std::uint32_t previous, Milliseconds limit) {
  return awaitUntil(limit, [&] {
    std::uint32_t const pid = serverPid();
    return pid != 0 && pid != previous;
  });
}

std::wstring ServiceE2E::logPath() {
  for (std::wstring const& name : namesIn(L"C:\\users")) {
    std::wstring const temp = L"C:\\users\\" + name + L"\\Temp";
    if (name != L"Public" && exists(temp)) return temp + L"\\HalcyraService.log";
  }
  return L"\\HalcyraService.log";
}

// Wine's trace shows every ReportEventW: type and id on the "fixme:advapi" line, then each
// insertion string on an "eventlog" line.
std::vector<std::string> ServiceE2E::events() {
  std::string const trace = readText(work(L"event-trace.txt"));
  std::istringstream lines(trace.substr(std::min(traceStart_, trace.size())));
  std::vector<std::string> result;
  std::regex const header(R"(:fixme:advapi:ReportEventW \([^,]*,([^,]*),[^,]*,([^,]*),)");
  std::regex const insertion(R"(:eventlog:ReportEventW L"(.*)\"$)");
  std::string separator;
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_search(line, match, header)) {
      auto const trim = [](std::string text) {
        text.erase(0, text.find_first_not_of(' '));
        text.erase(text.find_last_not_of(' ') + 1);
        return text;
      };
      result.push_back(trim(match[1]) + " " + trim(match[2]));
      separator = ": ";
    } else if (!result.empty() && std::regex_search(line, match, insertion)) {
      result.back() += separator + match[1].str();
      separator = " | ";
    }
  }
  return result;
}

int ServiceE2E::tracedCount(const std::string& pattern) {
  std::regex const expected(pattern);
  int count = 0;
  for (std::string const& event : events()) count += std::regex_match(event, expected) ? 1 : 0;
  return count;
}

std::wstring ServiceE2E::manifestFolder() { return work(L"www\\latest"); }

bool ServiceE2E::writeManifest(const std::string& name, const std::string& json) {
  return require(writeBytes(manifestFolder() + L"\\" + std::wstring(name.begin(), name.end()), json),
                 "could not write the manifest " + name);
}

int ServiceE2E::linesSince(const wchar_t* file, std::size_t start, const std::string& text) {
  std::string const all = readText(work(file));
  return countLines(all.substr(std::min(start, all.size())), text);
}

// The wrapper ends the server when this file appears and says so with another.
bool ServiceE2E::stopManifestServer() {
  writeBytes(work(L"stop-http"), "");
  return awaitUntil(10s, [] { return exists(work(L"http-stopped")); });
}

// ---- the service's process as Linux sees it ---------------------------------------------

int unixPidOf(const std::string& command) {
  std::string const prefix = "WINEPREFIX=" + environment("HALCYRA_E2E_PREFIX");
  for (std::wstring const& name : namesIn(L"Z:\\proc")) {
    if (name.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
    std::wstring const folder = L"Z:\\proc\\" + name;
    if (readBytes(folder + L"\\cmdline").find(command) == std::string::npos) continue;
    std::istringstream entries(readBytes(folder + L"\\environ"));
    for (std::string entry; std::getline(entries, entry, '\0');) {
      if (entry == prefix) return std::stoi(name);
    }
  }
  return 0;
}

std::int64_t unixCpuUs(int unixPid) {
  std::string const stat = readBytes(L"Z:\\proc\\" + std::to_wstring(unixPid) + L"\\stat");
  // Fields after the name, which ends with the last ')': state is field 3, utime and stime
  // fields 14 and 15, in clock ticks of 10 ms.
  std::size_t const close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  std::int64_t ticks = 0;
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index >= 14) ticks += std::stoll(field);
  }
  return ticks * 10000;
}

int unixDescriptors(int unixPid) {
  std::wstring const folder = L"Z:\\proc\\" + std::to_wstring(unixPid) + L"\\fd";
  return exists(folder) ? static_cast<int>(namesIn(folder).size()) : -1;
}

std::int64_t unixAnonKb(int unixPid) {
  std::string const status = readText(L"Z:\\proc\\" + std::to_wstring(unixPid) + L"\\status");
  std::smatch match;
  return std::regex_search(status, match, std::regex(R"(RssAnon:\s+([0-9]+))")) ? std::stoll(match[1]) : -1;
}

}  // namespace halcyra::e2e
