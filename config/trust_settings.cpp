#include "config/trust_settings.h"

#include <string>

// The same build of RapidJSON as the configuration's own reader: assertions compiled out,
// in the namespace that keeps it apart from the other builds (see updater_settings.cpp).
#define RAPIDJSON_NAMESPACE halcyra_config_rapidjson
#define RAPIDJSON_ASSERT(condition) static_cast<void>(0)
#include <rapidjson/document.h>

namespace halcyra {

namespace {

namespace json = halcyra_config_rapidjson;

using Document = json::GenericDocument<json::UTF16<char16_t>>;
using Value = Document::ValueType;

std::u16string stringOf(const Value& value) {
  std::u16string_view const text(value.GetString(), value.GetStringLength());
  return std::u16string(text.substr(0, text.find(u'\0')));
}

}  // namespace

TrustSettings readTrustSettings(std::u16string_view text) {
  std::u16string const terminated(text.substr(0, text.find(u'\0')));
  Document document;
  document.Parse<json::kParseIterativeFlag>(terminated.c_str());
  TrustSettings trust;
  if (document.HasParseError() || !document.IsObject()) {
    return trust;
  }
  const Value& root = document;
  if (auto const key = root.FindMember(u"manifestPublicKey"); key != root.MemberEnd()) {
    trust.manifestPublicKey = key->value.IsString() ? stringOf(key->value) : std::u16string();
  }
  if (auto const signers = root.FindMember(u"updaterSigners"); signers != root.MemberEnd()) {
    trust.updaterSigners.emplace();
    if (signers->value.IsArray()) {
      for (const Value& element : signers->value.GetArray()) {
        if (element.IsString()) {
          trust.updaterSigners->push_back(stringOf(element));
        }
      }
    }
  }
  return trust;
}

}  // namespace halcyra
