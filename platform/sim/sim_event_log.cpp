// The event log: sources registered by name, every reported event kept with its strings,
// and a compiled message table that turns an event back into the text an administrator
// reads.

#include <stdexcept>

#include "platform/event_log.h"
#include "platform/sim/sim_machine.h"
#include "platform/text_mode.h"

namespace halcyra::sim {

using namespace detail;

namespace {

// MESSAGE_RESOURCE_ENTRY.Flags of a UTF-16 text.
inline constexpr std::uint16_t kUnicodeEntry = 1;

std::uint32_t readLittleEndian(std::string_view bytes, std::size_t at, std::size_t size) {
  if (at + size > bytes.size()) {
    throw std::invalid_argument("sim: message table cut off");
  }
  std::uint32_t value = 0;
  for (std::size_t i = size; i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

std::u16string entryText(std::string_view bytes, std::size_t at, std::size_t length, bool unicode) {
  std::u16string text;
  if (unicode) {
    for (std::size_t i = 0; i + 1 < length; i += 2) {
      text.push_back(static_cast<char16_t>(readLittleEndian(bytes, at + i, 2)));
    }
  } else {
    text = platform::widenBytes(bytes.substr(at, length));
  }
  // Entries are padded with zeros to a multiple of four bytes.
  return text.substr(0, text.find(u'\0'));
}

}  // namespace

const std::vector<ReportedEvent>& reportedEvents() { return machine().reportedEvents; }

std::size_t openEventSources() { return machine().eventSources.size(); }

void loadMessageTable(std::string_view resource) {
  std::map<Dword, std::u16string> table;
  const std::uint32_t blocks = readLittleEndian(resource, 0, 4);
  for (std::uint32_t block = 0; block < blocks; ++block) {
    const std::size_t at = 4 + std::size_t{block} * 12;
    const std::uint32_t lowId = readLittleEndian(resource, at, 4);
    const std::uint32_t highId = readLittleEndian(resource, at + 4, 4);
    std::size_t entry = readLittleEndian(resource, at + 8, 4);
    for (std::uint64_t id = lowId; id <= highId; ++id) {
      const std::uint32_t length = readLittleEndian(resource, entry, 2);
      const bool unicode = readLittleEndian(resource, entry + 2, 2) == kUnicodeEntry;
      if (length < 4) {
        throw std::invalid_argument("sim: message table entry too short");
      }
      table[static_cast<Dword>(id)] = entryText(resource, entry + 4, length - 4, unicode);
      entry += length;
    }
  }
  machine().messageTable = std::move(table);
}

std::u16string eventText(const ReportedEvent& event) {
  const auto found = machine().messageTable.find(event.eventId);
  if (found == machine().messageTable.end()) {
    throw std::invalid_argument("sim: no message for event id " + hex(event.eventId));
  }
  const std::u16string& message = found->second;
  std::u16string text;
  for (std::size_t i = 0; i < message.size(); ++i) {
    if (message[i] != u'%' || i + 1 == message.size()) {
      text.push_back(message[i]);
      continue;
    }
    if (message[i + 1] == u'%') {
      text.push_back(u'%');
      ++i;
      continue;
    }
    std::size_t digits = i + 1;
    std::size_t number = 0;
    while (digits < message.size() && message[digits] >= u'0' && message[digits] <= u'9') {
      number = number * 10 + static_cast<std::size_t>(message[digits] - u'0');
      ++digits;
    }
    if (number >= 1 && number <= event.strings.size()) {
      text += event.strings[number - 1];
    } else {
      text.append(message, i, digits - i);
    }
    i = digits - 1;
  }
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) {
    text.pop_back();
  }
  return text;
}

}  // namespace halcyra::sim

namespace halcyra::platform {

using namespace sim::detail;

Handle RegisterEventSourceW(const char16_t* serverName, const char16_t* sourceName) {
  if (enterFails("RegisterEventSourceW", text(serverName) + " " + text(sourceName))) {
    return nullptr;
  }
  if (sourceName == nullptr || *sourceName == u'\0') {
    setLastError(kErrorInvalidParameter);
    return nullptr;
  }
  Machine& m = machine();
  const std::uintptr_t key = m.nextHandle;
  m.nextHandle += 4;
  m.eventSources[key] = sourceName;
  return reinterpret_cast<Handle>(key);
}

Bool DeregisterEventSource(Handle eventLog) {
  if (enterFails("DeregisterEventSource", handleText(eventLog))) {
    return kFalse;
  }
  if (machine().eventSources.erase(reinterpret_cast<std::uintptr_t>(eventLog)) == 0) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  return kTrue;
}

Bool ReportEventW(Handle eventLog, Word type, Word category, Dword eventId, void* userSid, Word numStrings,
                  Dword dataSize, const char16_t** strings, void* rawData) {
  std::string args = handleText(eventLog) + " type=" + std::to_string(type) + " id=" + hex(eventId);
  for (Word i = 0; strings != nullptr && i < numStrings; ++i) {
    args += " \"" + text(strings[i]) + "\"";
  }
  if (enterFails("ReportEventW", std::move(args))) {
    return kFalse;
  }
  Machine& m = machine();
  const auto source = m.eventSources.find(reinterpret_cast<std::uintptr_t>(eventLog));
  if (source == m.eventSources.end()) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  // The category, user SID and raw data are stored by Windows but read by nothing here.
  static_cast<void>(category);
  static_cast<void>(userSid);
  if ((numStrings != 0 && strings == nullptr) || (dataSize != 0 && rawData == nullptr)) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  sim::ReportedEvent event{source->second, type, eventId, {}, m.clock, m.current};
  for (Word i = 0; i < numStrings; ++i) {
    if (strings[i] == nullptr) {
      setLastError(kErrorInvalidParameter);
      return kFalse;
    }
    event.strings.emplace_back(strings[i]);
  }
  m.reportedEvents.push_back(std::move(event));
  return kTrue;
}

}  // namespace halcyra::platform
