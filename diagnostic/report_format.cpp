#include "diagnostic/report_format.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "diagnostic/utf8_text.h"
#include "update/text_conversion.h"
#include "update/update_server_client.h"
#include "version/version_number.h"

namespace halcyra {

namespace {

// Shown instead of a password that is set, whatever its length.
constexpr char kMaskedPassword[] = "********";

std::string_view decisionName(UpdateDecision decision) {
  switch (decision) {
    case UpdateDecision::updateDue:
      return "update due";
    case UpdateDecision::noUpdateDue:
      return "no update due";
    case UpdateDecision::updatesDisabled:
      return "updates disabled";
    case UpdateDecision::checkFailed:
      break;
  }
  return "check failed";
}

std::string_view consequence(UpdateDecision decision) {
  return decision == UpdateDecision::updateDue ? "a pass starts the updater instead of the server"
                                               : "a pass starts the server";
}

std::string maskedPassword(const UpdaterConfig& configuration) {
  return configuration.password.empty() ? std::string() : std::string(kMaskedPassword);
}

// The address exactly as libcurl receives it: one byte per unit of server and path.
std::string manifestUrl(const UpdaterConfig& configuration) {
  return utf8FromLatin1(
      narrowByTruncation(transferUrl(configuration.server, releaseManifestPath(configuration.versionFile))));
}

std::string versionText(const VersionNumber& version) { return utf8FromUtf16(formatVersionNumber(version)); }

// ---- text --------------------------------------------------------------------------

// A configured value cannot start a line of its own or hide the rest of its line:
// control characters are shown as \xNN.
std::string printable(std::string_view utf8) {
  std::string out;
  for (char const c : utf8) {
    auto const byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string quoted(std::u16string_view text) {
  std::string out(1, '"');
  out += printable(utf8FromUtf16(text));
  out += '"';
  return out;
}

// "label:" and the value in a column of their own.
void line(std::string& out, std::string_view label, std::string_view value) {
  constexpr std::size_t kValueColumn = 22;
  out += label;
  out += ':';
  out.append(label.size() + 1 < kValueColumn ? kValueColumn - label.size() - 1 : 1, ' ');
  out += value;
  out += '\n';
}

void configurationLines(std::string& out, const UpdaterSettings& settings) {
  auto const flag = [](bool value) { return value ? "true" : "false"; };
  std::string files = "[";
  for (std::u16string const& file : settings.files) {
    if (files.size() > 1) {
      files += ", ";
    }
    files += quoted(file);
  }
  files += "]";
  std::string password = maskedPassword(settings);
  password += password.empty() ? "(empty)" : " (masked)";

  out += "Configuration values:\n";
  line(out, "  server", quoted(settings.server));
  line(out, "  versionFile", quoted(settings.versionFile));
  line(out, "  login", quoted(settings.login));
  line(out, "  password", password);
  line(out, "  relativeAppPath", quoted(settings.relativeAppPath));
  line(out, "  appFolder", settings.appFolder.empty() ? "(not derived)" : quoted(settings.appFolder));
  line(out, "  updaterPath", quoted(settings.updaterPath));
  line(out, "  tempFolder", quoted(settings.tempFolder));
  line(out, "  version", quoted(settings.version));
  line(out, "  files", files);
  line(out, "  useGUI", std::to_string(settings.useGUI));
  line(out, "  autoUpdate", flag(settings.autoUpdate));
  line(out, "  serverOneVersion", flag(settings.serverOneVersion));
  line(out, "  useLatest", flag(settings.useLatest));
  line(out, "  enableUpdate", flag(settings.enableUpdate));
}

std::string secondsText(std::uint64_t seconds) {
  return seconds < 120 ? std::to_string(seconds) + " s" : std::to_string((seconds + 59) / 60) + " min";
}

void scheduleLines(std::string& out, const UpdateCheckReport& report) {
  if (!report.serviceSchedule) {
    line(out, "Service schedule", "(none: the service holds nothing back since its start)");
    return;
  }
  const ScheduleSnapshot& snapshot = *report.serviceSchedule;
  line(out, "Service schedule",
       "as process " + std::to_string(snapshot.processId) + " wrote it " +
           secondsText((report.now - snapshot.written) / 1000) + " ago");
  const HeldBack held = heldBack(report);
  if (held.setAsideSeconds) {
    const StuckUpdate& stuck = *snapshot.schedule.stuck;
    line(out, "  set aside",
         versionText(stuck.announced) + " over " + versionText(stuck.installed) + ", after " +
             std::to_string(kUnchangedRunsBeforeSetAside + stuck.setAsides - 1) +
             " updater runs that changed nothing; tried again in " + secondsText(*held.setAsideSeconds));
  }
  if (held.fetchSeconds) {
    line(out, "  next fetch", "in " + secondsText(*held.fetchSeconds) + ", " + held.fetchReason);
  }
  if (!held.setAsideSeconds && !held.fetchSeconds) {
    line(out, "  held back", "nothing");
  }
}

// ---- JSON --------------------------------------------------------------------------

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void writeText(JsonWriter& writer, std::string_view utf8) {
  writer.String(utf8.data(), static_cast<rapidjson::SizeType>(utf8.size()));
}

void writeTextOrNull(JsonWriter& writer, bool present, std::string_view utf8) {
  if (present) {
    writeText(writer, utf8);
  } else {
    writer.Null();
  }
}

void writeConfiguration(JsonWriter& writer, const UpdaterSettings& settings) {
  auto const text = [&writer](const char* key, std::u16string_view value) {
    writer.Key(key);
    writeText(writer, utf8FromUtf16(value));
  };
  auto const flag = [&writer](const char* key, bool value) {
    writer.Key(key);
    writer.Bool(value);
  };
  writer.StartObject();
  text("server", settings.server);
  text("versionFile", settings.versionFile);
  text("login", settings.login);
  writer.Key("password");
  writeText(writer, maskedPassword(settings));
  text("relativeAppPath", settings.relativeAppPath);
  text("appFolder", settings.appFolder);
  text("updaterPath", settings.updaterPath);
  text("tempFolder", settings.tempFolder);
  text("version", settings.version);
  writer.Key("files");
  writer.StartArray();
  for (std::u16string const& file : settings.files) {
    writeText(writer, utf8FromUtf16(file));
  }
  writer.EndArray();
  writer.Key("useGUI");
  writer.Int(settings.useGUI);
  flag("autoUpdate", settings.autoUpdate);
  flag("serverOneVersion", settings.serverOneVersion);
  flag("useLatest", settings.useLatest);
  flag("enableUpdate", settings.enableUpdate);
  writer.EndObject();
}

}  // namespace

std::string formatReportText(const UpdateCheckReport& report) {
  const UpdaterSettings& settings = report.settings;
  std::string out;
  line(out, "Configuration file",
       report.configFile ? printable(utf8FromUtf16(*report.configFile)) : "(can't be located)");
  if (report.configurationRead) {
    configurationLines(out, settings);
    std::string url = printable(manifestUrl(settings));
    if (!settings.enableUpdate) {
      url += " (not requested: updates disabled)";
    } else if (!report.manifestRequested) {
      url += " (not requested: the check stopped before)";
    }
    line(out, "Manifest URL", url);
  } else {
    line(out, "Configuration values", "(not read)");
  }
  line(out, "Local version", report.localVersionKnown ? versionText(settings.localVersion) : "(not read)");
  line(out, "Remote version", report.remoteVersionKnown ? versionText(settings.remoteVersion) : "(not read)");
  std::string decision(decisionName(report.decision));
  decision += ": ";
  const HeldBack held = heldBack(report);
  const bool setAside = report.decision == UpdateDecision::updateDue && held.setAsideSeconds;
  decision += setAside ? "set aside by the service, a pass starts the server" : consequence(report.decision);
  line(out, "Decision", decision);
  scheduleLines(out, report);
  if (!report.failure.empty()) {
    line(out, "Failure", printable(report.failure));
  }
  return out;
}

std::string formatReportJson(const UpdateCheckReport& report) {
  const UpdaterSettings& settings = report.settings;
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  writer.Key("configFile");
  writeTextOrNull(writer, report.configFile.has_value(), report.configFile ? utf8FromUtf16(*report.configFile) : "");
  writer.Key("configuration");
  if (report.configurationRead) {
    writeConfiguration(writer, settings);
  } else {
    writer.Null();
  }
  writer.Key("manifestUrl");
  writeTextOrNull(writer, report.configurationRead, manifestUrl(settings));
  writer.Key("manifestRequested");
  writer.Bool(report.manifestRequested);
  writer.Key("localVersion");
  writeTextOrNull(writer, report.localVersionKnown, versionText(settings.localVersion));
  writer.Key("remoteVersion");
  writeTextOrNull(writer, report.remoteVersionKnown, versionText(settings.remoteVersion));
  writer.Key("decision");
  writeText(writer, decisionName(report.decision));
  writer.Key("failure");
  writeTextOrNull(writer, !report.failure.empty(), report.failure);
  writer.Key("serviceSchedule");
  if (report.serviceSchedule) {
    const HeldBack held = heldBack(report);
    writer.StartObject();
    writer.Key("process");
    writer.Uint(report.serviceSchedule->processId);
    writer.Key("setAsideVersion");
    writeTextOrNull(writer, held.setAsideSeconds.has_value(),
                    held.setAsideSeconds ? versionText(report.serviceSchedule->schedule.stuck->announced) : "");
    writer.Key("setAsideSeconds");
    held.setAsideSeconds ? static_cast<void>(writer.Uint64(*held.setAsideSeconds)) : static_cast<void>(writer.Null());
    writer.Key("nextFetchSeconds");
    held.fetchSeconds ? static_cast<void>(writer.Uint64(*held.fetchSeconds)) : static_cast<void>(writer.Null());
    writer.Key("nextFetchReason");
    writeTextOrNull(writer, held.fetchSeconds.has_value(), held.fetchReason);
    writer.EndObject();
  } else {
    writer.Null();
  }
  writer.Key("exitCode");
  writer.Int(exitCodeOf(report.decision));
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

}  // namespace halcyra
