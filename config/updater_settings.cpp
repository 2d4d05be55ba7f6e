#include "config/updater_settings.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The same build of RapidJSON as the release manifest's (UTF-8, default namespace and
// assertions), so the service carries one parser. Every value is type-checked before it
// is read, which is what the library's assertions guard.
#include <rapidjson/document.h>

#include "config/json_text.h"
#include "platform/decimal_text.h"
#include "platform/text_mode.h"

namespace halcyra {

namespace {

using Document = rapidjson::Document;
using Value = rapidjson::Value;

// The recursive parser uses one stack frame per nesting level, so a text of a few
// hundred thousand brackets would overflow the stack. The iterative parser keeps its
// state on the heap and accepts and rejects exactly the same texts as the default flags.
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag;

// Every text the configuration handles ends at its first U+0000.
std::u16string_view upToFirstNul(std::u16string_view text) { return text.substr(0, text.find(u'\0')); }

// The first member named exactly `key`, or null.
const Value* findMember(const Value& object, const char* key) {
  auto const member = object.FindMember(key);
  return member == object.MemberEnd() ? nullptr : &member->value;
}

// A string value's units, up to its first U+0000.
std::u16string stringOf(const Value& value) {
  std::string_view const bytes(value.GetString(), value.GetStringLength());
  return unitsOfJsonBytes(bytes.substr(0, bytes.find('\0')));
}

bool readRequiredString(const Value& object, const char* key, std::u16string& field) {
  const Value* const value = findMember(object, key);
  if (value == nullptr || !value->IsString()) {
    return false;
  }
  field = stringOf(*value);
  return true;
}

void readOptionalString(const Value& object, const char* key, std::u16string& field) {
  const Value* const value = findMember(object, key);
  if (value != nullptr && value->IsString()) {
    field = stringOf(*value);
  }
}

void readOptionalBool(const Value& object, const char* key, bool& field) {
  const Value* const value = findMember(object, key);
  if (value != nullptr && value->IsBool()) {
    field = value->GetBool();
  }
}

// `text` up to its first U+0000 as a JSON string, escaped as RapidJSON's writer escapes
// it: '"' and '\\', the control characters with a short escape as one, the other control
// characters as "\u00XX" with upper-case hex, and every other unit (including '/', U+007F
// and lone surrogates) unchanged.
void appendString(std::u16string& out, std::u16string_view text) {
  // The escape of each control character, U+0000 to U+001F; 'u' for "\u00XX".
  static constexpr char kControlEscapes[] = "uuuuuuuubtnufruuuuuuuuuuuuuuuuuu";
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  out += u'"';
  for (char16_t const unit : upToFirstNul(text)) {
    if (unit == u'"' || unit == u'\\') {
      out += u'\\';
      out += unit;
    } else if (unit < 0x20) {
      out += u'\\';
      out += static_cast<char16_t>(kControlEscapes[unit]);
      if (kControlEscapes[unit] == 'u') {
        out += u"00";
        out += static_cast<char16_t>(kHexDigits[unit >> 4]);
        out += static_cast<char16_t>(kHexDigits[unit & 0xF]);
      }
    } else {
      out += unit;
    }
  }
  out += u'"';
}

// Reads the configuration members of `root` into `config`; false at the first required
// member that is missing or of another type, with the members before it assigned.
bool readMembers(const Value& root, UpdaterConfig& config) {
  if (const Value* const value = findMember(root, "pid"); value != nullptr && value->IsUint()) {
    config.pid = value->GetUint();
  }
  if (const Value* const value = findMember(root, "files"); value != nullptr && value->IsArray()) {
    for (const Value& element : value->GetArray()) {
      if (element.IsString()) {
        config.files.push_back(stringOf(element));
      }
    }
  }
  if (!readRequiredString(root, "server", config.server)) {
    return false;
  }
  readOptionalString(root, "appFolder", config.appFolder);
  if (!readRequiredString(root, "relativeAppPath", config.relativeAppPath) ||
      !readRequiredString(root, "login", config.login) || !readRequiredString(root, "password", config.password)) {
    return false;
  }
  readOptionalString(root, "version", config.version);
  if (!readRequiredString(root, "versionFile", config.versionFile)) {
    return false;
  }
  readOptionalString(root, "tempFolder", config.tempFolder);
  const Value* const gui = findMember(root, "useGUI");
  if (gui == nullptr || !gui->IsInt()) {
    return false;
  }
  config.useGUI = gui->GetInt();
  readOptionalBool(root, "autoUpdate", config.autoUpdate);
  readOptionalBool(root, "serverOneVersion", config.serverOneVersion);
  readOptionalBool(root, "useLatest", config.useLatest);
  readOptionalBool(root, "enableUpdate", config.enableUpdate);
  readOptionalString(root, "updaterPath", config.updaterPath);
  return true;
}

// A list of signer thumbprints; none when the member is absent. Entries that can never
// match, and a member that is no list, are also named in `malformed`.
std::optional<std::vector<std::u16string>> readSigners(const Value& root, const char* key,
                                                       std::vector<std::u16string>& malformed) {
  const Value* const value = findMember(root, key);
  if (value == nullptr) {
    return std::nullopt;
  }
  std::u16string const name = platform::widenBytes(key) + u": ";
  std::vector<std::u16string> signers;
  if (!value->IsArray()) {
    malformed.push_back(name + u"not a list of thumbprints");
    return signers;
  }
  for (const Value& element : value->GetArray()) {
    if (!element.IsString()) {
      malformed.push_back(name + u"an entry that is not a text");
      continue;
    }
    signers.push_back(stringOf(element));
    if (normalizeThumbprint(signers.back()).empty()) {
      malformed.push_back(name + u"\"" + signers.back() + u"\"");
    }
  }
  return signers;
}

// The text parsed; false when it is no JSON object.
bool parseObject(std::u16string_view text, Document& document) {
  document.Parse<kParseFlags>(jsonBytesOf(text).c_str());
  return !document.HasParseError() && document.IsObject();
}

}  // namespace

bool UpdaterConfig::fromJson(std::u16string_view text) {
  Document document;
  return parseObject(text, document) && readMembers(document, *this);
}

bool UpdaterSettings::readJson(std::u16string_view text) {
  Document document;
  if (!parseObject(text, document) || !readMembers(document, *this)) {
    return false;
  }
  // Optional; a value of another type leaves the default.
  if (const Value* const value = findMember(document, "minCheckInterval"); value != nullptr && value->IsUint()) {
    minCheckInterval = value->GetUint();
  }
  if (const Value* const value = findMember(document, "logRotationSize"); value != nullptr && value->IsUint64()) {
    logRotationSize = value->GetUint64();
  }
  if (const Value* const value = findMember(document, "logGenerations");
      value != nullptr && value->IsUint() && value->GetUint() >= 1 && value->GetUint() <= 9) {
    logGenerations = value->GetUint();
  }
  trust = TrustSettings{};
  if (const Value* const value = findMember(document, "manifestPublicKey")) {
    trust.manifestPublicKey = value->IsString() ? stringOf(*value) : std::u16string();
  }
  trust.updaterSigners = readSigners(document, "updaterSigners", trust.malformedSigners);
  trust.serverSigners = readSigners(document, "serverSigners", trust.malformedSigners);
  return true;
}

std::u16string UpdaterConfig::toJson() const {
  // The text the updater expects: no white space, the members in this order.
  struct StringMember {
    const char16_t* prefix;
    std::u16string UpdaterConfig::*field;
  };
  struct BoolMember {
    const char16_t* prefix;
    bool UpdaterConfig::*field;
  };
  static constexpr StringMember kStrings[] = {{u"],\"server\":", &UpdaterConfig::server},
                                              {u",\"appFolder\":", &UpdaterConfig::appFolder},
                                              {u",\"relativeAppPath\":", &UpdaterConfig::relativeAppPath},
                                              {u",\"login\":", &UpdaterConfig::login},
                                              {u",\"password\":", &UpdaterConfig::password},
                                              {u",\"version\":", &UpdaterConfig::version},
                                              {u",\"versionFile\":", &UpdaterConfig::versionFile},
                                              {u",\"tempFolder\":", &UpdaterConfig::tempFolder}};
  static constexpr BoolMember kBools[] = {{u",\"autoUpdate\":", &UpdaterConfig::autoUpdate},
                                          {u",\"serverOneVersion\":", &UpdaterConfig::serverOneVersion},
                                          {u",\"useLatest\":", &UpdaterConfig::useLatest},
                                          {u",\"enableUpdate\":", &UpdaterConfig::enableUpdate}};

  std::u16string out = u"{\"pid\":";
  out += decimalText(pid);
  out += u",\"files\":[";
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (i > 0) {
      out += u',';
    }
    appendString(out, files[i]);
  }
  for (StringMember const& member : kStrings) {
    out += member.prefix;
    appendString(out, this->*member.field);
  }
  out += u",\"useGUI\":";
  if (useGUI < 0) {
    out += u'-';
  }
  // The magnitude in unsigned arithmetic, so that the smallest int32 has one too.
  auto const bits = static_cast<std::uint32_t>(useGUI);
  out += decimalText(useGUI < 0 ? 0U - bits : bits);
  for (BoolMember const& member : kBools) {
    out += member.prefix;
    out += this->*member.field ? u"true" : u"false";
  }
  out += u",\"updaterPath\":";
  appendString(out, updaterPath);
  out += u'}';
  return out;
}

}  // namespace halcyra
