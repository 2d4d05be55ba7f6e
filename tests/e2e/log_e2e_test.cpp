// The service's log against other programs in the shared temporary folder. Wine runs every
// program as the prefix's one user, so a file "another user" planted cannot be told from
// the service's own, and Unix symbolic links are no links to Wine: the simulation proves
// those.

#include <cstdio>
#include <cstdlib>
#include <vector>

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

constexpr std::size_t kMiB = 1 << 20;

// The live log's generation `number`; 0 is the live log itself.
std::wstring generation(const std::wstring& live, int number) {
  return number == 0 ? live : live.substr(0, live.size() - 4) + L"." + std::to_wstring(number) + L".log";
}

// The generations an earlier scenario left: the service empties only the live log at its
// start and leaves them to be rotated out.
void removeGenerations(const std::wstring& live) {
  for (int number = 1; number <= 9; ++number) removeFile(generation(live, number));
}

// The sample server's numbered lines in `texts`, the oldest generation first and the live
// log last: every line at most once and in order, and what was lost at the start of each
// (what the children wrote between a rotation's last read and its cut) printed. Returns
// the lines lost, -1 when the order is broken; `newest` receives the live log's last line.
std::int64_t checkNumberedLines(const std::vector<std::string>& texts, std::uint64_t* newest) {
  std::int64_t lost = 0;
  std::uint64_t previous = 0;
  bool any = false;
  for (std::size_t file = 0; file < texts.size(); ++file) {
    std::int64_t lostHere = 0, lines = 0;
    for (std::size_t at = texts[file].find("line "); at != std::string::npos; at = texts[file].find("line ", at + 1)) {
      std::uint64_t const line = std::strtoull(texts[file].c_str() + at + 5, nullptr, 10);
      if (any && line <= previous) return -1;
      if (any && line > previous + 1) lostHere += static_cast<std::int64_t>(line - previous - 1);
      if (file + 1 == texts.size()) *newest = line;
      previous = line;
      any = true;
      ++lines;
    }
    std::printf("file %zu of %zu: %lld bytes, %lld lines, %lld lost before or in it\n", file + 1, texts.size(),
                static_cast<long long>(texts[file].size()), static_cast<long long>(lines),
                static_cast<long long>(lostHere));
    lost += lostHere;
  }
  return lost;
}

// A server that writes 40 MiB in its first seconds and then about 1 MiB a second: a minute
// later the live log is under 16 MiB, the generations beside it bring the whole under
// 64 MiB, the newest line ends the live log, and the server that was started still runs.
TEST_F(ServiceE2E, ChattyServerLogIsRotatedWhileItRuns) {
  removeGenerations(logPath());
  if (!installService("print-lines=655360 trickle-ms=10 trickle-lines=160") || !startService() || !awaitStarted())
    return;
  std::uint32_t const server = serverPid();
  Sleep(60000);
  std::vector<std::string> texts;
  std::size_t total = 0;
  for (int number = 3; number >= 0; --number) {
    texts.push_back(readBytes(generation(logPath(), number)));
    total += texts.back().size();
    EXPECT_EQ(texts.back().find('\0'), std::string::npos) << "a cut under a writer that does not append";
  }
  EXPECT_LT(texts[3].size(), 16u * kMiB);
  EXPECT_GT(texts[2].size(), 0u) << "rotated";
  EXPECT_LT(total, 64u * kMiB);
  EXPECT_FALSE(exists(generation(logPath(), 4)));
  std::uint64_t newest = 0;
  std::int64_t const lost = checkNumberedLines(texts, &newest);
  std::printf("lines lost to copy and cut: %lld\n", static_cast<long long>(lost));
  EXPECT_GE(lost, 0);
  EXPECT_GT(newest, 655360u + 160u * 100u) << "the output after the burst goes on";
  EXPECT_EQ(serverPid(), server) << "not restarted";
  EXPECT_TRUE(alive(server));
  EXPECT_EQ(tracedCount("0x0002 0x80000012.*"), 0) << "no rotation was skipped";
  EXPECT_TRUE(stopService());
}

// A server that prints 1 MiB and ends at once, restarted every 3 seconds. With the log
// rotated at 2 MiB (three generations), 25 starts turn the generations over as often as
// 100 starts would at the default 16 MiB, and the whole stays within four sizes and one
// start's output.
TEST_F(ServiceE2E, CrashLoopKeepsTheLogBounded) {
  removeGenerations(logPath());
  if (!installService("print-lines=16384 exit-after-ms=0 exit-code=1 stamps=yes") ||
      !makeFolders(root + L"\\resources\\updater") ||
      !writeBytes(root + L"\\resources\\updater\\config.json",
                  R"({"server":"http://127.0.0.1:1/","versionFile":"v.json","relativeAppPath":"HalcyraServer.exe",)"
                  R"("login":"","password":"","useGUI":0,"logRotationSize":2097152,"logGenerations":3})") ||
      !startService())
    return;
  std::wstring const stamps = root + L"\\HalcyraServer.stamps";
  std::size_t largest = 0;
  int starts = 0;
  while (starts < 25 && awaitUntil(15s, [&] { return countLines(readText(stamps), "start") > starts; })) {
    starts = countLines(readText(stamps), "start");
    std::size_t total = 0;
    for (int number = 0; number <= 4; ++number) {
      std::string const bytes = readBytes(generation(logPath(), number));
      total += bytes.size();
      EXPECT_EQ(bytes.find('\0'), std::string::npos) << "a cut under a writer that does not append";
    }
    largest = std::max(largest, total);
  }
  std::printf("%d starts, largest total %zu bytes\n", starts, largest);
  EXPECT_GE(starts, 25);
  EXPECT_LE(largest, 4 * 2 * kMiB + kMiB);
  EXPECT_TRUE(exists(generation(logPath(), 3))) << "the generations turned over";
  EXPECT_FALSE(exists(generation(logPath(), 4)));
  EXPECT_TRUE(stopService());
}

}  // namespace
}  // namespace halcyra::e2e
