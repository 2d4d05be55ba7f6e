#pragma once
// What a contract case needs from the machine it runs on beyond the seam: programs with a
// chosen behaviour, scratch files, version resources and the service's message texts. The
// simulated machine makes them up (sim_world.cpp); the real backend uses real programs
// and files built beside the test (win32_world.cpp). CMake links one of the two.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace halcyra::contract {

using platform::Dword;

enum class Backend { simulation, windows };
Backend backend();

inline constexpr std::uint64_t kRunsUntilEnded = ~std::uint64_t{0};

// The sample server's behaviour (tests/programs/sample_server.cpp on Windows).
struct ServerBehaviour {
  std::uint64_t exitAfterMs = kRunsUntilEnded;
  Dword exitCode = 0;
  bool obeysCtrlC = true;
  std::uint64_t ctrlCDelayMs = 0;
  Dword ctrlCExitCode = 42;
  // Starts a grandchild on its console and in its job, which runs until it is ended and
  // obeys Ctrl-C at once.
  bool startsGrandchild = false;
};

// Called first by every case: a brand-new machine in the simulation. The test process
// has no console, as the service has none.
void resetWorld();

// The full path of a server that behaves as given each time it is started from now on.
// Started with standard output and error redirected, it writes "sample server: started"
// to the first and "sample server: standard error works" to the second.
std::u16string serverProgram(const ServerBehaviour& behaviour);

// The id of the grandchild the server with this id started, 0 when none shows within 5 s.
Dword grandchildOf(Dword serverId);
// Whether the process with this id has ended within `milliseconds` (none passes in the
// simulation, where the ends that matter here come at once).
bool endsWithin(Dword processId, Dword milliseconds);

// The full path of the console helper (console_helper.cpp), which runs the same code on
// both machines.
std::u16string helperProgram();

// An empty folder for the case (full path, no trailing separator), and a file's bytes.
std::u16string scratchFolder(std::u16string_view name);
std::string fileContent(const std::u16string& path);
// Writes a whole file (another process's doing, not the seam's).
void writeFile(const std::u16string& path, std::string_view bytes);

// A second name for the file at `target`, made by another process (CreateHardLinkW).
void addHardLink(const std::u16string& link, const std::u16string& target);

// Programs for the Authenticode cases: signed by a self-signed publisher, the same with one
// byte changed after signing, and one never signed. The publisher's certificate as DER.
enum class SignedFixture { signedProgram, changedAfterSigning, unsignedProgram };
std::u16string signedFixture(SignedFixture fixture);
std::string publisherCertificate();

// Programs whose version resource is known: product 1.2.3.4 with file 5.6.7.8; product
// 10.0.65535.0; none at all; fixed product 3.3.3.3 inside more than 2048 bytes of version
// information; a path with no file; and (simulation only) 60 bytes of information, too
// short for the fixed part.
enum class VersionFixture { versioned, wideVersion, unversioned, oversized, missing, truncated };
std::u16string versionFixture(VersionFixture fixture);

// The text the event viewer shows for the service's event `eventId` with these insertion
// strings, read from the message table inside HalcyraService.exe, without the final line
// break.
std::u16string serviceMessage(Dword eventId, const std::vector<std::u16string>& strings);

// ASCII text for comparisons and messages; any other character becomes '?'.
inline std::string narrow(std::u16string_view text) {
  std::string result;
  for (char16_t const c : text) result.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return result;
}

// The test process loses SeTcbPrivilege (simulation only, see backend_gaps.h).
void dropTcbPrivilege();

}  // namespace halcyra::contract
