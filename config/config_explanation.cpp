#include "config/config_explanation.h"

#include <string>
#include <string_view>
#include <utility>

// The parser that rejected the text, read the same way (config/updater_settings.cpp).
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "config/json_text.h"
#include "platform/text_mode.h"

namespace halcyra {

namespace {

ConfigTextProblem problemAt(std::string_view text, std::size_t offset, std::string reason) {
  ConfigTextProblem problem;
  problem.offset = offset;
  std::string_view const before = text.substr(0, offset);
  problem.line = 1;
  for (char const c : before) {
    problem.line += c == '\n' ? 1 : 0;
  }
  std::size_t const lineStart = before.rfind('\n');
  problem.column = offset - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
  problem.reason = std::move(reason);
  return problem;
}

// The number of the text's units before `offset` in its jsonBytesOf form, which the parser
// reports only at the first byte of a unit: the bytes there that begin a unit.
std::size_t unitsBefore(std::string_view jsonBytes, std::size_t offset) {
  std::size_t units = 0;
  for (char const byte : jsonBytes.substr(0, offset)) {
    units += (static_cast<unsigned char>(byte) & 0xC0) != 0x80 ? 1 : 0;
  }
  return units;
}

// The first member fromJson requires that is missing or has the wrong type, in the order
// fromJson reads them; empty when all are there.
std::string missingRequiredMember(const rapidjson::Value& root) {
  struct Required {
    const char* name;
    bool integer;
  };
  static constexpr Required kRequired[] = {{"server", false},   {"relativeAppPath", false}, {"login", false},
                                           {"password", false}, {"versionFile", false},     {"useGUI", true}};
  for (Required const& required : kRequired) {
    auto const member = root.FindMember(required.name);
    std::string const quotedName = std::string("\"") + required.name + "\"";
    if (member == root.MemberEnd()) {
      return "the required member " + quotedName + " is missing";
    }
    if (required.integer ? !member->value.IsInt() : !member->value.IsString()) {
      return "the member " + quotedName + (required.integer ? " is not an integer" : " is not a string");
    }
  }
  return {};
}

}  // namespace

ConfigTextProblem explainConfigText(std::string_view bytes) {
  auto const startsWith = [bytes](std::string_view prefix) { return bytes.substr(0, prefix.size()) == prefix; };
  if (startsWith("\xEF\xBB\xBF")) {
    return problemAt(bytes, 0,
                     "the file starts with a UTF-8 byte-order mark (bytes EF BB BF); save it as UTF-8 without one");
  }
  if (startsWith("\xFF\xFE") || startsWith("\xFE\xFF")) {
    return problemAt(bytes, 0, "the file is UTF-16 text (it starts with a UTF-16 byte-order mark); save it as UTF-8");
  }
  // JSON starts with ASCII, so UTF-16 text without a mark has a zero byte among its first two.
  if (bytes.size() >= 2 && (bytes[0] == '\0' || bytes[1] == '\0')) {
    return problemAt(bytes, 0, "the file is UTF-16 text (zero bytes between the characters); save it as UTF-8");
  }

  // The same reading as loadUpdaterConfig: one unit per byte, up to the first zero byte.
  std::string_view const text = bytes.substr(0, bytes.find('\0'));
  std::string const jsonBytes = jsonBytesOf(platform::widenBytes(text));
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(jsonBytes.c_str());
  if (document.HasParseError()) {
    std::string reason = rapidjson::GetParseError_En(document.GetParseError());
    if (!reason.empty() && reason.back() == '.') {
      reason.pop_back();
    }
    std::size_t const offset = unitsBefore(jsonBytes, document.GetErrorOffset());
    if (offset == text.size() && text.size() < bytes.size()) {
      reason += " (a zero byte ends the text there)";
    }
    return problemAt(text, offset, reason);
  }
  ConfigTextProblem problem;
  problem.reason = document.IsObject() ? missingRequiredMember(document) : "the text is not a JSON object";
  return problem;
}

}  // namespace halcyra
