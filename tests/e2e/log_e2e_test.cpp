// The service's log against what other programs do with its name in the shared temporary
// folder: a log viewer that keeps it open, and objects planted under the name.
//
// Wine runs every program as the prefix's one user, so a file that "another user" planted
// cannot be told from the service's own here, and a Unix symbolic link is invisible to
// Wine as a link; both are proven in the simulation instead.

#include <windows.h>

#include "e2e_fixture.h"

namespace halcyra::e2e {
namespace {

std::string id(std::uint32_t pid) { return std::to_string(pid); }

// Whatever has the name goes, a read-only file included.
void clearName(const std::wstring& path) {
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!DeleteFileW(path.c_str())) removeTree(path);
}

// A restart while a viewer reads the log (sharing reading and writing, not deletion)
// runs the server, and the log it writes to is the emptied log the viewer still has open.
TEST_F(ServiceE2E, LogViewerDoesNotBlockARestart) {
  if (!installService("on-ctrl-c=exit") || !startService() || !awaitStarted()) return;
  std::uint32_t const first = serverPid();
  ASSERT_TRUE(awaitUntil(5s, [&] { return logHas("sample server: started (" + id(first) + ")"); }));
  HANDLE const viewer = CreateFileW(logPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(viewer, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  stopService();
  EXPECT_TRUE(awaitState(kStopped, 15s));

  bool const started = startService() && awaitNewServer(first, 15s);
  EXPECT_TRUE(started) << "the service did not start again (exit code " << serviceExitCode() << ")";
  std::uint32_t const second = serverPid();
  EXPECT_TRUE(awaitUntil(5s, [&] { return logHas("sample server: started (" + id(second) + ")"); }))
      << "the new server writes to the log";
  EXPECT_FALSE(logHas("sample server: started (" + id(first) + ")")) << "the log was emptied";
  EXPECT_FALSE(traced("0x0002 0x8000000d.*")) << "no fallback was needed";
  CloseHandle(viewer);
}

// Whatever is planted under the name, the service runs the server. A name it can free gets
// a log of its own; a folder with content or a read-only file (which Wine's deletion, from
// before Windows 10 1809, refuses) stays as it is, and the output goes to NUL with a warning.
TEST_F(ServiceE2E, PlantedLogNamesNeverBlockTheStart) {
  struct Attack {
    const char* name;
    const char* fallbackError;  // nullptr: the service gets a log of its own
  };
  Attack const attacks[] = {{"hard link", nullptr}, {"read-only file", "5"}, {"folder with content", "145"}};
  std::wstring const other = base + L"\\other.txt";
  for (Attack const& attack : attacks) {
    SCOPED_TRACE(attack.name);
    if (!installService("on-ctrl-c=exit")) return;
    std::wstring const log = logPath();
    clearName(log);
    ASSERT_TRUE(writeBytes(other, "someone else's file\n"));
    std::string const name = attack.name;
    std::wstring const planted = name == "folder with content" ? log + L"\\inside.txt" : log;
    if (name == "hard link") {
      ASSERT_TRUE(CreateHardLinkW(log.c_str(), other.c_str(), nullptr)) << "error " << GetLastError();
    } else {
      ASSERT_TRUE(name != "folder with content" || makeFolders(log));
      ASSERT_TRUE(writeBytes(planted, "someone else's file\n"));
      if (name == "read-only file") SetFileAttributesW(log.c_str(), FILE_ATTRIBUTE_READONLY);
    }

    EXPECT_TRUE(startService() && awaitStarted()) << "exit code " << serviceExitCode();
    EXPECT_EQ(serviceState(), kRunning);
    EXPECT_EQ(readText(other), "someone else's file\n");
    if (attack.fallbackError == nullptr) {
      std::uint32_t const server = serverPid();
      EXPECT_TRUE(awaitUntil(5s, [&] { return logHas("sample server: started (" + id(server) + ")"); }));
    } else {
      EXPECT_EQ(readText(planted), "someone else's file\n") << "what keeps the name stays as it was";
      EXPECT_TRUE(traced("0x0002 0x8000000d: .*HalcyraService\\.log \\| " + std::string(attack.fallbackError) +
                         " \\| NUL, which discards it"))
          << "the warning names the reason and where the output went";
    }
    stopService();
    EXPECT_TRUE(awaitState(kStopped, 15s));
    removeService();
    clearName(log);
  }
}

}  // namespace
}  // namespace halcyra::e2e
