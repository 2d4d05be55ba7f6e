// The deployment guide's table of configuration keys (section 8) held to the reader: every
// key it lists is read with the type it states (a required key of another type rejects the
// file; an optional one changes what is read only with that type), and every member of the
// updater's configuration text is listed.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/updater_settings.h"

namespace halcyra {
namespace {

struct Row {
  std::string key, type;
  bool required = false;
};

std::vector<Row> guideKeys() {
  std::ifstream file(HALCYRA_SOURCE_DIR "/docs/deployment.md");
  std::vector<Row> rows;
  bool inSection = false;
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("## ", 0) == 0) inSection = line.rfind("## 8. ", 0) == 0;
    if (!inSection || line.rfind("| `", 0) != 0) continue;
    std::vector<std::string> cells;
    std::istringstream cellText(line.substr(1));
    for (std::string cell; std::getline(cellText, cell, '|');) {
      cells.push_back(
          cell.substr(cell.find_first_not_of(' '), cell.find_last_not_of(' ') - cell.find_first_not_of(' ') + 1));
    }
    rows.push_back({cells.at(0).substr(1, cells.at(0).size() - 2), cells.at(1), cells.at(2).rfind("yes", 0) == 0});
  }
  return rows;
}

std::u16string wide(const std::string& text) { return {text.begin(), text.end()}; }

// What a text reads as, or nothing when it is rejected.
std::optional<std::u16string> reading(const std::string& members) {
  UpdaterSettings settings;
  if (!settings.readJson(wide("{" + members + "}"))) return std::nullopt;
  return settings.toJson() +
         wide("|" + std::to_string(settings.minCheckInterval) + "|" + std::to_string(settings.logRotationSize) + "|" +
              std::to_string(settings.logGenerations) + (settings.trust == TrustSettings{} ? "" : "|trust"));
}

TEST(GuideKeys, EachKeyIsReadWithTheTypeTheGuideStates) {
  // A value of the stated type that differs from every default, and one of another type.
  const std::map<std::string, std::pair<std::string, std::string>> samples = {
      {"string", {"\"x\"", "7"}},
      {"integer", {"7", "\"7\""}},
      {"boolean", {"true", "\"true\""}},
      {"array of strings", {"[\"x\"]", "\"x\""}}};
  const std::vector<Row> rows = guideKeys();
  ASSERT_GE(rows.size(), 16U) << "the guide's key table was not found";
  for (const Row& row : rows) {
    auto const sample = samples.find(row.type);
    ASSERT_NE(sample, samples.end()) << row.key << ": no sample for the type \"" << row.type << "\"";
    std::string others;  // every required key but this one, with a value of its stated type
    for (const Row& required : rows) {
      if (required.required && required.key != row.key) {
        others += "\"" + required.key + "\":" + samples.at(required.type).first + ",";
      }
    }
    auto const with = [&](const std::string& value) { return reading(others + "\"" + row.key + "\":" + value); };
    auto const stated = with(sample->second.first);
    auto const other = with(sample->second.second);
    ASSERT_TRUE(stated) << row.key << " as " << row.type << " rejects the file";
    if (row.required) {
      EXPECT_FALSE(other) << row.key << " is required and of another type, yet the file is read";
      EXPECT_FALSE(reading(others.substr(0, others.size() - 1)))
          << row.key << " is required, yet the file is read without it";
    } else {
      EXPECT_NE(stated, reading(others.substr(0, others.size() - 1)))
          << row.key << " as " << row.type << " is not read";
      EXPECT_TRUE(other) << row.key << " is optional, yet another type rejects the file";
    }
  }
  // The updater's configuration text names each of its members; the guide lists them all.
  std::set<std::string> listed;
  for (const Row& row : rows) listed.insert(row.key);
  const std::u16string text = UpdaterConfig{}.toJson();
  for (std::size_t end = text.find(u"\":"); end != std::u16string::npos; end = text.find(u"\":", end + 1)) {
    const std::size_t begin = text.rfind(u'"', end - 1) + 1;
    EXPECT_TRUE(listed.count(std::string(text.begin() + static_cast<std::ptrdiff_t>(begin),
                                         text.begin() + static_cast<std::ptrdiff_t>(end))))
        << "a member of the updater's configuration is missing from the guide";
  }
}

}  // namespace
}  // namespace halcyra
