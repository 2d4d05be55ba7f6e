// The service's log against other programs in the shared temporary folder. Wine runs every
// program as the prefix's one user, so a file "another user" planted cannot be told from
// the service's own, and Unix symbolic links are no links to Wine: the simulation proves
// those.

#include "e2e_fixture.h"

namespace halcyra::e2e {
namespace {

std::string started(std::uint32_t pid) { return "sample server: started (" + std::to_string(pid) + ")"; }

// A restart while a viewer reads the log (sharing reading and writing, not deletion) runs
// the server, which writes to the emptied log the viewer still has open.
TEST_F(ServiceE2E, LogViewerDoesNotBlockARestart) {
  if (!installService("on-ctrl-c=exit") || !startService() || !awaitStarted()) return;
  std::uint32_t const first = serverPid();
  ASSERT_TRUE(awaitUntil(5s, [&] { return logHas(started(first)); }));
  HANDLE const viewer = CreateFileW(logPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(viewer, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  EXPECT_TRUE(stopService());
  EXPECT_TRUE(startService() && awaitNewServer(first, 15s)) << "exit code " << serviceExitCode();
  EXPECT_TRUE(awaitUntil(5s, [&] { return logHas(started(serverPid())); }));
  EXPECT_FALSE(logHas(started(first))) << "the log was emptied";
  EXPECT_FALSE(traced("0x0002 0x8000000f.*")) << "no fallback was needed";
  CloseHandle(viewer);
}

// Whatever is planted under the name, the server runs. A hard link's name gives way to a
// log of the service's own; a folder with content or a read-only file (Wine's deletion,
// as before Windows 10 1809, keeps it) stays as it was, with the output going to NUL and
// a warning that says why.
TEST_F(ServiceE2E, PlantedLogNamesNeverBlockTheStart) {
  struct {
    const char* attack;
    const char* fallbackError;  // null: the service gets a log of its own
  } const attacks[] = {{"hard link", nullptr}, {"read-only file", "5"}, {"folder with content", "145"}};
  for (auto const& [attack, fallbackError] : attacks) {
    SCOPED_TRACE(attack);
    if (!installService("on-ctrl-c=exit")) return;
    std::wstring const log = logPath(), other = base + L"\\other.txt";
    std::wstring const planted = std::string(attack) == "folder with content" ? log + L"\\inside.txt" : log;
    ASSERT_TRUE(writeBytes(other, "someone else's file\n"));
    if (std::string(attack) == "hard link") {
      ASSERT_TRUE(CreateHardLinkW(log.c_str(), other.c_str(), nullptr)) << "error " << GetLastError();
    } else {
      ASSERT_TRUE((planted == log || makeFolders(log)) && writeBytes(planted, "someone else's file\n"));
      if (std::string(attack) == "read-only file") SetFileAttributesW(log.c_str(), FILE_ATTRIBUTE_READONLY);
    }
    EXPECT_TRUE(startService() && awaitStarted()) << "exit code " << serviceExitCode();
    EXPECT_EQ(serviceState(), SERVICE_RUNNING);
    EXPECT_EQ(readText(other), "someone else's file\n");
    if (fallbackError == nullptr) {
      EXPECT_TRUE(awaitUntil(5s, [&] { return logHas(started(serverPid())); }));
      EXPECT_EQ(linkCount(log), 1) << "the log is a file of its own";
    } else {
      EXPECT_EQ(readText(planted), "someone else's file\n");
      std::string const warning =
          "0x0002 0x8000000f: .*HalcyraService\\.log \\| " + std::string(fallbackError) + " \\| NUL, which discards it";
      EXPECT_TRUE(awaitUntil(5s, [&] { return traced(warning); }));
    }
    EXPECT_TRUE(stopService());
    SetFileAttributesW(log.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(log.c_str())) removeTree(log);
  }
}

}  // namespace
}  // namespace halcyra::e2e
