// The stop-request command line: the bytes, split at every zero byte, are the arguments
// after the program name of an instance of the service's executable started detached by
// the service, as the graceful stop starts it, while the server runs on its own console.
// Exactly "--terminate <id>" selects stop-request mode, which attaches once to the
// process the C library's strtoll reading of <id> (clamped to 32 bits) names; the server
// gets its Ctrl-C exactly when that is its id, and the instance exits with 0 exactly then.
// Anything else runs service mode, which attaches to no console.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "platform/processes.h"
#include "platform/sim/sim.h"
#include "service/entry.h"

namespace {

using namespace halcyra;
using platform::Dword;
using platform::Handle;

constexpr char16_t kServicePath[] = u"C:\\Halcyra\\bin\\HalcyraService.exe";
constexpr char16_t kServerPath[] = u"C:\\Halcyra\\HalcyraServer.exe";

std::vector<std::string> argumentsFromBytes(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.emplace_back();
    } else {
      arguments.back().push_back(static_cast<char>(data[i]));
    }
  }
  return arguments;
}

// Starts `path` with the service's primary token and returns its process id, or 0.
Dword launch(Handle token, const char16_t* path, Dword flags, Handle* process) {
  platform::StartupInfoW startup{platform::kStartupInfoWSize};
  platform::ProcessInformation info{};
  std::u16string commandLine = std::u16string(u"\"") + path + u"\"";
  if (platform::CreateProcessAsUserW(token, path, commandLine.data(), nullptr, nullptr, platform::kFalse, flags,
                                     nullptr, nullptr, &startup, &info) == platform::kFalse) {
    return 0;
  }
  *process = info.hProcess;
  return info.dwProcessId;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> const arguments = argumentsFromBytes(data, size);
  bool const stopRequest = arguments.size() == 2 && arguments[0] == "--terminate";

  sim::reset();
  sim::setScmConnected(false);  // service mode ends at once: no SCM to connect to
  sim::installProgram(kServerPath, {});
  sim::ProgramBehaviour self;
  self.run = [&arguments](const std::vector<std::string>&) {
    std::vector<std::string> argv = {"HalcyraService.exe"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (std::string& argument : argv) {
      pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    return runEntry(static_cast<int>(argv.size()), pointers.data());
  };
  sim::installProgram(kServicePath, std::move(self));

  Handle processToken = nullptr;
  Handle token = nullptr;
  platform::OpenProcessToken(platform::GetCurrentProcess(), platform::kTokenDuplicate, &processToken);
  platform::DuplicateTokenEx(processToken, platform::kTokenAllAccess, nullptr, platform::kSecurityImpersonation,
                             platform::kTokenPrimary, &token);
  Handle server = nullptr;
  Dword const serverId = launch(token, kServerPath, platform::kCreateNoWindow, &server);
  Handle instance = nullptr;
  fuzz::require(serverId != 0 && launch(token, kServicePath, platform::kDetachedProcess, &instance) != 0,
                "the server and the instance start");
  Dword exitCode = 0;
  fuzz::require(platform::GetExitCodeProcess(instance, &exitCode) == platform::kTrue, "the instance has ended");

  std::vector<sim::Call> const attaches = sim::callsNamed("AttachConsole");
  fuzz::require(attaches.size() == (stopRequest ? 1u : 0u), "only stop-request mode attaches, and once");
  fuzz::require(sim::callsNamed("StartServiceCtrlDispatcherA").size() == (stopRequest ? 0u : 1u),
                "every other command line runs service mode");
  bool const serverInterrupted = !sim::findProcess(serverId)->ctrlCTimes.empty();
  if (!stopRequest) {
    fuzz::require(!serverInterrupted, "service mode raises no Ctrl-C");
    return 0;
  }
  auto const id = static_cast<Dword>(fuzz::referenceDecimal(std::string_view(arguments[1])));
  fuzz::require(attaches[0].args == std::to_string(id), "the id is read like the C library's strtoll");
  fuzz::require(serverInterrupted == (id == serverId), "the server gets Ctrl-C exactly when its id is given");
  fuzz::require((exitCode == 0) == serverInterrupted, "the instance succeeds exactly when Ctrl-C was raised");
  return 0;
}
