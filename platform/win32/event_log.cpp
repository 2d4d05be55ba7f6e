#include "platform/event_log.h"

#include "platform/win32/windows_types.h"

namespace halcyra::platform {

static_assert(sizeof(WORD) == sizeof(Word));
static_assert(kEventlogErrorType == EVENTLOG_ERROR_TYPE && kEventlogWarningType == EVENTLOG_WARNING_TYPE &&
              kEventlogInformationType == EVENTLOG_INFORMATION_TYPE);

Handle RegisterEventSourceW(const char16_t* serverName, const char16_t* sourceName) {
  return ::RegisterEventSourceW(win32::wide(serverName), win32::wide(sourceName));
}

Bool DeregisterEventSource(Handle eventLog) { return ::DeregisterEventSource(eventLog); }

Bool ReportEventW(Handle eventLog, Word type, Word category, Dword eventId, void* userSid, Word numStrings,
                  Dword dataSize, const char16_t** strings, void* rawData) {
  return ::ReportEventW(eventLog, type, category, eventId, userSid, numStrings, dataSize,
                        reinterpret_cast<const wchar_t**>(strings), rawData);
}

}  // namespace halcyra::platform
