// The contract's world on Windows: the sample server and the console helper built beside
// the test, fixture programs with compiled version resources, files in a scratch folder,
// and the message table of the built HalcyraService.exe.

#include <windows.h>

#include <string>

#include "tests/contract/world.h"
#include "tests/windows/test_files.h"

namespace halcyra::contract {
namespace {

// A path relative to the folder of the test executable, made full.
std::u16string besideTest(std::u16string_view relative) {
  std::u16string const folder = test::moduleFolder();
  std::wstring const path =
      std::wstring(folder.begin(), folder.end()) + L"\\" + std::wstring(relative.begin(), relative.end());
  wchar_t full[MAX_PATH];
  DWORD const length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  return std::u16string(full, full + length);
}

std::wstring number(std::uint64_t value) { return std::to_wstring(value); }

// Where the sample server's grandchild writes its id.
constexpr char16_t kGrandchildIdFile[] = u"..\\programs\\HalcyraServer.grandchild.pid";

}  // namespace

Backend backend() { return Backend::windows; }

// The test runs from a shell with a console; the service runs without one. A Ctrl-C
// raised on a child's console must not reach the test, nor a helper attach to it.
void resetWorld() { FreeConsole(); }

std::u16string serverProgram(const ServerBehaviour& behaviour) {
  std::wstring text = L"exit-code=" + number(behaviour.exitCode);
  if (behaviour.exitAfterMs != kRunsUntilEnded) text += L" exit-after-ms=" + number(behaviour.exitAfterMs);
  text += behaviour.obeysCtrlC ? L" on-ctrl-c=exit" : L" on-ctrl-c=ignore";
  text +=
      L" ctrl-c-delay-ms=" + number(behaviour.ctrlCDelayMs) + L" ctrl-c-exit-code=" + number(behaviour.ctrlCExitCode);
  if (behaviour.startsGrandchild) text += L" grandchild=yes";
  // The grandchild's id file of an earlier start must not be taken for this one's.
  DeleteFileW(reinterpret_cast<const wchar_t*>(besideTest(kGrandchildIdFile).c_str()));
  // Children inherit the test's environment: the server reads its behaviour there.
  SetEnvironmentVariableW(L"HALCYRA_SERVER_BEHAVIOUR", text.c_str());
  return besideTest(u"..\\programs\\HalcyraServer.exe");
}

Dword grandchildOf(Dword /*serverId*/) {
  for (int tries = 0; tries < 50; ++tries, Sleep(100)) {
    std::string const id = test::readFile(besideTest(kGrandchildIdFile));
    if (!id.empty() && id.back() == '\n') return static_cast<Dword>(std::stoul(id));
  }
  return 0;
}

bool endsWithin(Dword processId, Dword milliseconds) {
  HANDLE const process = OpenProcess(SYNCHRONIZE, FALSE, processId);
  if (process == nullptr) return true;  // gone already
  bool const ended = WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

std::u16string helperProgram() { return besideTest(u"contract_console_helper.exe"); }

std::u16string scratchFolder(std::u16string_view name) { return test::freshFolder(name); }

std::string fileContent(const std::u16string& path) { return test::readFile(path); }

void writeFile(const std::u16string& path, std::string_view bytes) { test::writeFile(path, bytes); }

void addHardLink(const std::u16string& link, const std::u16string& target) {
  CreateHardLinkW(reinterpret_cast<const wchar_t*>(link.c_str()), reinterpret_cast<const wchar_t*>(target.c_str()),
                  nullptr);
}

// Made at build time by fixtures/sign_fixture.sh.
std::u16string signedFixture(SignedFixture fixture) {
  static constexpr const char16_t* kNames[] = {u"signed_fixture.exe", u"changed_fixture.exe",
                                               u"fixture_unversioned.exe"};
  return besideTest(kNames[static_cast<int>(fixture)]);
}

std::string publisherCertificate() { return test::readFile(besideTest(u"publisher.der")); }

std::u16string versionFixture(VersionFixture fixture) {
  static constexpr const char16_t* kNames[] = {u"fixture_versioned.exe",   u"fixture_wide_version.exe",
                                               u"fixture_unversioned.exe", u"fixture_oversized_version.exe",
                                               u"no_such_fixture.exe",     u"no_such_fixture.exe"};
  return besideTest(kNames[static_cast<int>(fixture)]);
}

std::u16string serviceMessage(Dword eventId, const std::vector<std::u16string>& strings) {
  std::u16string const path = besideTest(u"..\\..\\service\\HalcyraService.exe");
  HMODULE const module = LoadLibraryExW(reinterpret_cast<const wchar_t*>(path.c_str()), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) return {};
  std::vector<DWORD_PTR> arguments;
  for (std::u16string const& text : strings) arguments.push_back(reinterpret_cast<DWORD_PTR>(text.c_str()));
  wchar_t buffer[1024] = {};
  DWORD const length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, eventId,
                                      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), buffer, 1024,
                                      reinterpret_cast<va_list*>(arguments.data()));
  FreeLibrary(module);
  std::u16string text(buffer, buffer + length);
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) text.pop_back();
  return text;
}

void dropTcbPrivilege() {}

}  // namespace halcyra::contract
