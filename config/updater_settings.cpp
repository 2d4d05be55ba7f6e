#include "config/updater_settings.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// RapidJSON's UTF-16 encoder asserts when a "\uDC00"-style escape (a low surrogate with
// no high one before it) is decoded, so a debug build would abort on such a file, while
// a release build keeps the code unit. The configuration comes from outside and must
// never stop the service, so this file compiles RapidJSON's assertions out in every build
// type; every value is type-checked before it is read, which is what those assertions
// guard. The library is placed in a namespace of its own here so that this build of it
// cannot be mixed up with the one other files use.
#define RAPIDJSON_NAMESPACE halcyra_config_rapidjson
#define RAPIDJSON_ASSERT(condition) static_cast<void>(0)
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace halcyra {

namespace {

namespace json = halcyra_config_rapidjson;

using Utf16 = json::UTF16<char16_t>;
using Document = json::GenericDocument<Utf16>;
using Value = Document::ValueType;
using StringBuffer = json::GenericStringBuffer<Utf16>;
using Writer = json::Writer<StringBuffer, Utf16, Utf16>;

// The recursive parser uses one stack frame per nesting level, so a text of a few
// hundred thousand brackets would overflow the stack. The iterative parser keeps its
// state on the heap and accepts and rejects exactly the same texts as the default flags.
constexpr unsigned kParseFlags = json::kParseIterativeFlag;

// Every text the configuration handles ends at its first U+0000.
std::u16string_view upToFirstNul(std::u16string_view text) { return text.substr(0, text.find(u'\0')); }

// The first member named exactly `key`, or null.
const Value* findMember(const Value& object, const char16_t* key) {
  auto const member = object.FindMember(key);
  return member == object.MemberEnd() ? nullptr : &member->value;
}

std::u16string stringOf(const Value& value) {
  return std::u16string(upToFirstNul(std::u16string_view(value.GetString(), value.GetStringLength())));
}

bool readRequiredString(const Value& object, const char16_t* key, std::u16string& field) {
  const Value* const value = findMember(object, key);
  if (value == nullptr || !value->IsString()) {
    return false;
  }
  field = stringOf(*value);
  return true;
}

void readOptionalString(const Value& object, const char16_t* key, std::u16string& field) {
  const Value* const value = findMember(object, key);
  if (value != nullptr && value->IsString()) {
    field = stringOf(*value);
  }
}

void readOptionalBool(const Value& object, const char16_t* key, bool& field) {
  const Value* const value = findMember(object, key);
  if (value != nullptr && value->IsBool()) {
    field = value->GetBool();
  }
}

void writeString(Writer& writer, std::u16string_view text) {
  std::u16string_view const value = upToFirstNul(text);
  writer.String(value.data(), static_cast<json::SizeType>(value.size()));
}

// Reads the configuration members of `root` into `config`; false at the first required
// member that is missing or of another type, with the members before it assigned.
bool readMembers(const Value& root, UpdaterConfig& config) {
  if (const Value* const value = findMember(root, u"pid"); value != nullptr && value->IsUint()) {
    config.pid = value->GetUint();
  }
  if (const Value* const value = findMember(root, u"files"); value != nullptr && value->IsArray()) {
    for (const Value& element : value->GetArray()) {
      if (element.IsString()) {
        config.files.push_back(stringOf(element));
      }
    }
  }
  if (!readRequiredString(root, u"server", config.server)) {
    return false;
  }
  readOptionalString(root, u"appFolder", config.appFolder);
  if (!readRequiredString(root, u"relativeAppPath", config.relativeAppPath) ||
      !readRequiredString(root, u"login", config.login) || !readRequiredString(root, u"password", config.password)) {
    return false;
  }
  readOptionalString(root, u"version", config.version);
  if (!readRequiredString(root, u"versionFile", config.versionFile)) {
    return false;
  }
  readOptionalString(root, u"tempFolder", config.tempFolder);
  const Value* const gui = findMember(root, u"useGUI");
  if (gui == nullptr || !gui->IsInt()) {
    return false;
  }
  config.useGUI = gui->GetInt();
  readOptionalBool(root, u"autoUpdate", config.autoUpdate);
  readOptionalBool(root, u"serverOneVersion", config.serverOneVersion);
  readOptionalBool(root, u"useLatest", config.useLatest);
  readOptionalBool(root, u"enableUpdate", config.enableUpdate);
  readOptionalString(root, u"updaterPath", config.updaterPath);
  return true;
}

// A list of signer thumbprints; none when the member is absent. Entries that can never
// match, and a member that is no list, are also named in `malformed`.
std::optional<std::vector<std::u16string>> readSigners(const Value& root, const char16_t* key,
                                                       std::vector<std::u16string>& malformed) {
  const Value* const value = findMember(root, key);
  if (value == nullptr) {
    return std::nullopt;
  }
  std::u16string const name = std::u16string(key) + u": ";
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
  // The parser reads a terminated string, so the text is copied up to its first U+0000.
  std::u16string const terminated(upToFirstNul(text));
  document.Parse<kParseFlags>(terminated.c_str());
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
  if (const Value* const value = findMember(document, u"minCheckInterval"); value != nullptr && value->IsUint()) {
    minCheckInterval = value->GetUint();
  }
  if (const Value* const value = findMember(document, u"logRotationSize"); value != nullptr && value->IsUint64()) {
    logRotationSize = value->GetUint64();
  }
  if (const Value* const value = findMember(document, u"logGenerations");
      value != nullptr && value->IsUint() && value->GetUint() >= 1 && value->GetUint() <= 9) {
    logGenerations = value->GetUint();
  }
  trust = TrustSettings{};
  if (const Value* const value = findMember(document, u"manifestPublicKey")) {
    trust.manifestPublicKey = value->IsString() ? stringOf(*value) : std::u16string();
  }
  trust.updaterSigners = readSigners(document, u"updaterSigners", trust.malformedSigners);
  trust.serverSigners = readSigners(document, u"serverSigners", trust.malformedSigners);
  return true;
}

std::u16string UpdaterConfig::toJson() const {
  // The writer's defaults give the text the updater expects: no white space, "\uXXXX"
  // with upper-case hex for the control characters that have no short escape, and every
  // other code unit (including '/', U+007F and lone surrogates) copied unchanged.
  StringBuffer buffer;
  Writer writer(buffer);
  writer.StartObject();
  writer.Key(u"pid");
  writer.Uint(pid);
  writer.Key(u"files");
  writer.StartArray();
  for (const std::u16string& file : files) {
    writeString(writer, file);
  }
  writer.EndArray();
  writer.Key(u"server");
  writeString(writer, server);
  writer.Key(u"appFolder");
  writeString(writer, appFolder);
  writer.Key(u"relativeAppPath");
  writeString(writer, relativeAppPath);
  writer.Key(u"login");
  writeString(writer, login);
  writer.Key(u"password");
  writeString(writer, password);
  writer.Key(u"version");
  writeString(writer, version);
  writer.Key(u"versionFile");
  writeString(writer, versionFile);
  writer.Key(u"tempFolder");
  writeString(writer, tempFolder);
  writer.Key(u"useGUI");
  writer.Int(useGUI);
  writer.Key(u"autoUpdate");
  writer.Bool(autoUpdate);
  writer.Key(u"serverOneVersion");
  writer.Bool(serverOneVersion);
  writer.Key(u"useLatest");
  writer.Bool(useLatest);
  writer.Key(u"enableUpdate");
  writer.Bool(enableUpdate);
  writer.Key(u"updaterPath");
  writeString(writer, updaterPath);
  writer.EndObject();
  return std::u16string(buffer.GetString(), buffer.GetSize() / sizeof(char16_t));
}

}  // namespace halcyra
