#include "diagnostic/update_check_command.h"

#include <cstring>
#include <optional>
#include <string>

#include "config/config_file.h"
#include "diagnostic/report_format.h"
#include "diagnostic/update_check_report.h"
#include "platform/clock.h"
#include "platform/file_existence.h"
#include "platform/types.h"
#include "service/pass_update_check.h"
#include "service/working_folder.h"
#include "update/update_check.h"

namespace halcyra {

namespace {

constexpr int kUsageError = 2;

constexpr char kUsage[] =
    "Usage: HalcyraUpdateCheck [--json]\n"
    "\n"
    "Runs the update check that HalcyraService runs before every launch, once, with the\n"
    "same code and the same paths: the install root is the folder above this program's\n"
    "folder, the configuration is resources\\updater\\config.json below it, and the local\n"
    "version is the product version of HalcyraServer.exe there. It never starts the\n"
    "updater or the server.\n"
    "\n"
    "It prints the configuration file it read, the values it used (the password, the\n"
    "credentials of a URL and its query masked), the manifest URL, whether the server\n"
    "file exists, the local and the remote version, the decision and, when the check\n"
    "failed, the failure text with its evidence: where and why the configuration was\n"
    "rejected, libcurl's code and message, the HTTP status, what the manifest body lacked.\n"
    "It shows the verdict on the manifest's signature (manifestPublicKey) and the check of\n"
    "the updater's signer (updaterSigners). \"updates disabled\" (enableUpdate false) is a\n"
    "decision; an update whose updater a pass would refuse is a failed check, and one whose\n"
    "version the running service has set aside is \"update set aside\". The decision is the\n"
    "one the service's next pass makes, with the same code.\n"
    "Last it names each folder and file on the paths of the server, the service,\n"
    "config.json, the updater and tempFolder, from the root of the volume down, that\n"
    "accounts other than SYSTEM, the Administrators and TrustedInstaller can replace,\n"
    "re-point or re-permission, or read for config.json, as the service's start-up\n"
    "warning does. That does not change the exit code.\n"
    "It also shows what the running service holds back: a version it has set aside\n"
    "because the updater left the installed version unchanged, and how long it asks the\n"
    "update server no more (HalcyraService.schedule beside the service).\n"
    "\n"
    "  --json   print the same as one JSON object on the last line of the output; a failed\n"
    "           transfer prints a line \"curl told us N\" before it, as it does in the service\n"
    "  --help   print this text\n"
    "\n"
    "Exit codes: 0 an update is due and a pass starts the updater, 1 no update is due (or\n"
    "updates are disabled), 2 the check failed, or the update is set aside or refused (or the\n"
    "command line is wrong).\n";

UpdateCheckReport runCheck() {
  platform::Dword const rootError = enterInstallRoot();
  if (rootError != 0) {
    return reportInstallRootUnknown(rootError);
  }
  UpdaterSettings settings;
  UpdateCheckDetail detail;
  bool const completed = runPassUpdateCheck(settings, nullptr, &detail);
  // The schedule as the running service last wrote it: what it holds back decides, as in
  // its next pass.
  std::optional<ScheduleSnapshot> const schedule = readScheduleFile();
  UpdateCheckReport report = interpretUpdateCheck(settings, completed, detail, schedule, platform::GetTickCount64());
  report.configFile = configFilePath(kPassConfigPath);
  report.trustBoundary = checkTrustBoundary();
  // Whether the server is there matters whatever the check decided: without it a pass has
  // nothing to start, and its version reads as 0.0.0.0, below every announced one.
  if (std::optional<AppLocation> const server = deriveAppFolder(kServerFileName, u"")) {
    report.serverFile = server->absolutePath;
    report.serverExistence = platform::testExistence(server->absolutePath.c_str()).existence;
  }
  return report;
}

}  // namespace

int runUpdateCheckCommand(int argc, char** argv, std::FILE* out, std::FILE* err) {
  bool json = false;
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, out);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--json") == 0) {
    json = true;
  } else if (argc != 1) {
    std::fputs(kUsage, err);
    return kUsageError;
  }

  UpdateCheckReport const report = runCheck();
  std::string const text = json ? formatReportJson(report) : formatReportText(report);
  std::fputs(text.c_str(), out);
  std::fflush(out);
  return exitCodeOf(report.decision);
}

}  // namespace halcyra
