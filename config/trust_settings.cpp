#include "config/trust_settings.h"

namespace halcyra {

std::string normalizeThumbprint(std::u16string_view text) {
  std::string out;
  for (char16_t const c : text) {
    if (c == u':' || c == u' ' || c == u'\t') {
      continue;
    }
    if ((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')) {
      out.push_back(static_cast<char>(c));
    } else if (c >= u'A' && c <= u'F') {
      out.push_back(static_cast<char>(c - u'A' + u'a'));
    } else {
      return {};
    }
  }
  return out.size() == 64 ? out : std::string();
}

}  // namespace halcyra
