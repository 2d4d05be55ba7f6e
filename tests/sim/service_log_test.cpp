// The service's log against whatever other users plant under its name, before the start
// or at any step of it: random plants and readers, replayable by seed, checked against
// what must always hold. HALCYRA_SEEDS=n runs seeds 1..n (2,000 by default);
// HALCYRA_SEED=n runs seed n alone.

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

#include "platform/files.h"
#include "platform/sim/sim.h"
#include "service/log_file.h"

namespace halcyra::test {
namespace {

using platform::Dword;

// Only the engine's raw output is used, so a seed replays on every standard library.
struct Dice {
  explicit Dice(unsigned seed) : engine(seed) {}
  unsigned below(unsigned bound) { return static_cast<unsigned>(engine() % bound); }
  bool chance(unsigned inEight) { return below(8) < inEight; }
  std::mt19937 engine;
};

const std::u16string kLog = u"C:\\Temp\\HalcyraService.log";
const std::u16string kSystemTemp = u"C:\\Windows\\SystemTemp\\";
// A user's file, a file of SYSTEM's (as the service's own log is), and a name nobody used.
const std::u16string kUserFile = u"C:\\Secret\\data.txt", kSystemFile = u"C:\\Secret\\system.txt",
                     kUnborn = u"C:\\Secret\\new.txt", kInside = u"\\inside.txt";

enum class Plant {
  file,
  readOnlyFile,
  hardLinkToUser,
  hardLinkToSystem,
  symlinkToUser,
  symlinkToSystem,
  danglingSymlink,
  junction,
  emptyFolder,
  folderWithContent,
  ownEarlierLog,
  count
};

struct Planted {
  Plant kind;
  Dword holderShare;  // 0: nobody holds it
  bool holdsLink;     // the holder has the symbolic link itself open
};

// Plants `kind` under the log's name and maybe a reader of what it names.
Planted plant(Dice& dice, Plant kind) {
  switch (kind) {
    case Plant::file:
      sim::addFile(kLog, "planted");
      break;
    case Plant::readOnlyFile:
      sim::addFile(kLog, "planted");
      sim::setReadOnly(kLog);
      break;
    case Plant::hardLinkToUser:
      sim::addLink(kLog, kUserFile, sim::LinkKind::hard);
      break;
    case Plant::hardLinkToSystem:
      sim::addLink(kLog, kSystemFile, sim::LinkKind::hard);
      break;
    case Plant::symlinkToUser:
      sim::addLink(kLog, kUserFile, sim::LinkKind::symbolic);
      break;
    case Plant::symlinkToSystem:
      sim::addLink(kLog, kSystemFile, sim::LinkKind::symbolic);
      break;
    case Plant::danglingSymlink:
      sim::addLink(kLog, kUnborn, sim::LinkKind::symbolic);
      break;
    case Plant::junction:
      sim::addLink(kLog, u"C:\\Secret", sim::LinkKind::junction);
      break;
    case Plant::emptyFolder:
      sim::addDirectory(kLog);
      break;
    case Plant::folderWithContent:
      sim::addFile(kLog + kInside, "inside");
      break;
    case Plant::ownEarlierLog:
      sim::addFile(kLog, "last run");
      sim::setOwner(kLog, u"SY");
      break;
    case Plant::count:
      break;
  }
  // A reader of a file or of a symbolic link itself: refusing deletion, a log viewer
  // (reading and writing shared), or sharing everything.
  static constexpr Dword kShares[] = {0x1, 0x3, 0x7};
  const bool link = kind == Plant::symlinkToUser || kind == Plant::symlinkToSystem || kind == Plant::danglingSymlink;
  const bool holdsLink = link && dice.chance(4);
  const bool holdable = kind != Plant::junction && kind != Plant::emptyFolder && kind != Plant::folderWithContent &&
                        (kind != Plant::danglingSymlink || holdsLink);
  const Dword share = holdable && dice.chance(5) ? kShares[dice.below(3)] : 0;
  if (share != 0) sim::holdOpen(kLog, share, !holdsLink);
  return {kind, share, holdsLink};
}

// Whether a planted object keeps the name from the service for good, when nothing else
// is planted during the start.
bool blocksTheName(const Planted& planted, bool modernDeletion) {
  const bool file = planted.kind == Plant::file || planted.kind == Plant::readOnlyFile ||
                    planted.kind == Plant::hardLinkToUser || planted.kind == Plant::hardLinkToSystem ||
                    planted.kind == Plant::ownEarlierLog || planted.holdsLink;
  if (planted.kind == Plant::folderWithContent) return true;
  if (!modernDeletion && planted.kind == Plant::readOnlyFile) return true;
  if (!file || planted.holderShare == 0) return false;
  if ((planted.holderShare & 0x4) != 0) return !modernDeletion;  // the name lingers until the reader goes
  // Only the service's own log, held by a reader that lets it write, can be taken over.
  return !(planted.kind == Plant::ownEarlierLog && (planted.holderShare & 0x2) != 0);
}

bool sameText(std::u16string_view a, std::u16string_view b) {
  const auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char16_t x, char16_t y) { return upper(x) == upper(y); });
}

unsigned environmentNumber(const char* name, unsigned fallback) {
  const char* const value = std::getenv(name);
  return value == nullptr ? fallback : static_cast<unsigned>(std::strtoul(value, nullptr, 10));
}

TEST(ServiceLogGenerator, PlantedObjectsNeitherBlockTheStartNorGetFollowed) {
  const unsigned single = environmentNumber("HALCYRA_SEED", 0);
  const unsigned first = single != 0 ? single : 1;
  const unsigned last = single != 0 ? single : environmentNumber("HALCYRA_SEEDS", 2000);
  unsigned fallbacks = 0, reused = 0, plantedDuring = 0;
  for (unsigned seed = first; seed <= last; ++seed) {
    Dice dice(seed);
    sim::reset();
    const bool modernDeletion = dice.chance(6);
    sim::setDispositionExSupported(modernDeletion);
    // GetTempPath2W: missing, SYSTEM's own folder, or (for another account) the shared one.
    const unsigned tempPath2 = dice.below(3);
    const bool systemTemp = tempPath2 == 1;
    sim::addDirectory(kSystemTemp);
    if (tempPath2 != 0) sim::setTempPath2(systemTemp ? kSystemTemp : u"C:\\Temp\\");
    sim::addFile(kUserFile, "user data");
    sim::addFile(kSystemFile, "system data");
    sim::setOwner(kSystemFile, u"SY");
    const bool plantedBefore = dice.chance(6);
    const Planted before = plantedBefore
                               ? plant(dice, static_cast<Plant>(dice.below(static_cast<unsigned>(Plant::count))))
                               : Planted{Plant::count, 0, false};
    // At any step of the start, most of all between the removal and the creation, another
    // user may plant something wherever the name is free.
    bool during = false;
    const unsigned everyNth = 1 + dice.below(6);
    unsigned callCount = 0;
    sim::setCallObserver([&](const sim::Call& call) {
      const bool creation = call.name == "CreateFileW" && call.args.find(" disposition=1 ") != std::string::npos;
      if ((++callCount % everyNth != 0 && !creation) || sim::nameExists(kLog) || !dice.chance(creation ? 4 : 1)) return;
      plant(dice, static_cast<Plant>(dice.below(static_cast<unsigned>(Plant::count))));
      during = true;
    });
    const std::size_t handlesBefore = sim::liveHandles();
    const ServiceLog log = openServiceLog(kLog.c_str());
    sim::setCallObserver(nullptr);

    // Nothing of anyone else's is written, emptied, removed or created through a link.
    EXPECT_EQ(sim::fileContent(kUserFile), "user data");
    EXPECT_EQ(sim::fileContent(kSystemFile), "system data");
    EXPECT_FALSE(sim::nameExists(kUnborn));
    if (sim::nameExists(kLog + kInside)) {
      EXPECT_EQ(sim::fileContent(kLog + kInside), "inside");
    }
    // The start goes on, with output going to the log itself or to a fallback nobody steers.
    ASSERT_NE(log.handle, platform::kInvalidHandle);
    const auto open = sim::openFile(log.handle);
    ASSERT_TRUE(open.has_value());
    if (log.fallback[0] == u'\0') {
      EXPECT_TRUE(sameText(open->path, kLog))
          << "written through a link to " << std::string(open->path.begin(), open->path.end());
      platform::FileInformation information{};
      ASSERT_TRUE(platform::GetFileInformationByHandle(log.handle, &information));
      EXPECT_EQ(information.numberOfLinks, 1u);
      EXPECT_EQ(information.attributes & 0x410u, 0u);  // no folder, no reparse point
      EXPECT_EQ(sim::ownerOf(kLog), u"SY");
      EXPECT_EQ(sim::fileContent(kLog), "");
      reused += open->securityDescriptor.empty() ? 1u : 0u;
    } else {
      ++fallbacks;
      EXPECT_NE(log.failure, 0u);
      const std::u16string expected = systemTemp ? kSystemTemp + u"HalcyraService.log" : u"NUL";
      EXPECT_EQ(std::u16string(log.fallback), expected);
      EXPECT_TRUE(sameText(open->path, expected));
      // What keeps the name blocked stays as it was.
      if (plantedBefore && !during && before.kind == Plant::file) {
        EXPECT_EQ(sim::fileContent(kLog), "planted");
      }
    }
    if (!during) {
      EXPECT_EQ(log.fallback[0] != u'\0', plantedBefore && blocksTheName(before, modernDeletion))
          << "planted " << static_cast<int>(before.kind) << " held with share " << before.holderShare;
    }
    plantedDuring += during ? 1u : 0u;
    platform::CloseHandle(log.handle);
    EXPECT_EQ(sim::liveHandles(), handlesBefore);
    if (HasFailure()) {
      std::cout << "seed " << seed << " breaks an invariant; replay it with\n  HALCYRA_SEED=" << seed
                << " build/linux/tests/sim/service_scenario_tests --gtest_filter=ServiceLogGenerator.*\n";
      return;
    }
  }
  std::cout << "seeds " << first << ".." << last << ": " << fallbacks << " fallbacks, " << reused
            << " earlier logs taken over, " << plantedDuring << " starts with a plant during them\n";
}

}  // namespace
}  // namespace halcyra::test
