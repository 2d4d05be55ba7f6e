#pragma once
// The Windows event log (advapi32): an event source registered under the service's name,
// and events reported to it by message id with their insertion strings.

#include <cstdint>

#include "platform/types.h"

namespace halcyra::platform {

using Word = std::uint16_t;  // Windows WORD

// The event types; an event source registered with TypesSupported = 7 accepts all three.
inline constexpr Word kEventlogErrorType = 0x1;
inline constexpr Word kEventlogWarningType = 0x2;
inline constexpr Word kEventlogInformationType = 0x4;

// A handle to the source, null on failure. serverName null: the local machine. It is no
// kernel handle: DeregisterEventSource closes it, CloseHandle does not.
Handle RegisterEventSourceW(const char16_t* serverName, const char16_t* sourceName);
Bool DeregisterEventSource(Handle eventLog);

// Writes one event: eventId with its severity bits (as the message compiler defines it),
// `numStrings` insertion strings for %1, %2, ... of its message, no user SID, no raw data.
Bool ReportEventW(Handle eventLog, Word type, Word category, Dword eventId, void* userSid, Word numStrings,
                  Dword dataSize, const char16_t** strings, void* rawData);

}  // namespace halcyra::platform
