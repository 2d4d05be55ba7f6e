// The contract's world on the simulated machine: programs are scripted behaviours, files
// and version resources live in its memory, and message texts come from the compiled
// message table.

#include <fstream>
#include <iterator>

#include "platform/authenticode.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_trust.h"
#include "tests/contract/console_helper.h"
#include "tests/contract/world.h"

namespace halcyra::contract {
namespace {

constexpr char16_t kServerPath[] = u"C:\\Halcyra\\HalcyraServer.exe";
constexpr char16_t kHelperPath[] = u"C:\\Halcyra\\tests\\console_helper.exe";
constexpr char16_t kFixtureFolder[] = u"C:\\Halcyra\\fixtures\\";

}  // namespace

Backend backend() { return Backend::simulation; }

void resetWorld() { sim::reset(); }

std::u16string serverProgram(const ServerBehaviour& behaviour) {
  sim::ProgramBehaviour program;
  program.output = "sample server: started\nsample server: standard error works\n";
  program.exitAfter = behaviour.exitAfterMs == kRunsUntilEnded ? sim::kNever : behaviour.exitAfterMs;
  program.exitCode = behaviour.exitCode;
  program.ctrlCExitAfter = behaviour.obeysCtrlC ? behaviour.ctrlCDelayMs : sim::kNever;
  program.ctrlCExitCode = behaviour.ctrlCExitCode;
  program.startsGrandchild = behaviour.startsGrandchild;
  sim::installProgram(kServerPath, program);
  return kServerPath;
}

Dword grandchildOf(Dword serverId) {
  for (sim::ProcessRecord const& process : sim::processes()) {
    if (process.parentId == serverId) return process.id;
  }
  return 0;
}

bool endsWithin(Dword processId, Dword /*milliseconds*/) {
  sim::ProcessRecord const* const process = sim::findProcess(processId);
  return process != nullptr && process->endTime.has_value();
}

std::u16string helperProgram() {
  sim::ProgramBehaviour helper;
  helper.run = consoleHelper;
  sim::installProgram(kHelperPath, helper);
  return kHelperPath;
}

std::u16string scratchFolder(std::u16string_view name) {
  std::u16string const folder = u"C:\\Temp\\" + std::u16string(name);
  sim::addDirectory(folder);
  return folder;
}

std::string fileContent(const std::u16string& path) { return sim::fileContent(path).value_or(std::string()); }

void writeFile(const std::u16string& path, std::string_view bytes) { sim::addFile(path, std::string(bytes)); }

void addHardLink(const std::u16string& link, const std::u16string& target) {
  sim::addLink(link, target, sim::LinkKind::hard);
}

std::u16string signedFixture(SignedFixture fixture) {
  static constexpr const char16_t* kNames[] = {u"signed.exe", u"changed.exe", u"unsigned.exe"};
  std::u16string const path = kFixtureFolder + std::u16string(kNames[static_cast<int>(fixture)]);
  sim::addFile(path, "MZ");
  if (fixture != SignedFixture::unsignedProgram) {
    bool const changed = fixture == SignedFixture::changedAfterSigning;
    sim::setFileSignature(path, changed ? platform::kTrustEBadDigest : 0, publisherCertificate());
  }
  return path;
}

std::string publisherCertificate() { return "the publisher's certificate"; }

std::u16string versionFixture(VersionFixture fixture) {
  struct Fixture {
    const char16_t* name;
    bool exists;
    bool versioned;
    Dword productMS, productLS, fileMS, fileLS, totalSize;
  };
  static constexpr Fixture kFixtures[] = {
      {u"versioned.exe", true, true, 0x00010002, 0x00030004, 0x00050006, 0x00070008, 1024},
      {u"wide_version.exe", true, true, 0x000A0000, 0xFFFF0000, 0x00010000, 0, 512},
      {u"unversioned.exe", true, false, 0, 0, 0, 0, 0},
      {u"oversized_version.exe", true, true, 0x00030003, 0x00030003, 0x00030003, 0x00030003, 4096},
      {u"missing.exe", false, false, 0, 0, 0, 0, 0},
      {u"truncated.exe", true, true, 0x00010002, 0x00030004, 0, 0, 60},
  };
  Fixture const& f = kFixtures[static_cast<int>(fixture)];
  std::u16string const path = kFixtureFolder + std::u16string(f.name);
  if (f.exists) sim::addFile(path, "MZ");
  if (f.versioned) sim::setVersionInfo(path, f.productMS, f.productLS, f.fileMS, f.fileLS, f.totalSize);
  return path;
}

std::u16string serviceMessage(Dword eventId, const std::vector<std::u16string>& strings) {
  std::ifstream file(HALCYRA_EVENT_MESSAGES_TABLE, std::ios::binary);
  sim::loadMessageTable(std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()));
  sim::ReportedEvent event{u"HalcyraService", platform::kEventlogInformationType, eventId, strings, 0, 0};
  return sim::eventText(event);
}

void dropTcbPrivilege() { sim::setTcbPrivilege(false); }

}  // namespace halcyra::contract
