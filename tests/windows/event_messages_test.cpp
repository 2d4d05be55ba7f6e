// The message table inside HalcyraService.exe, read by Windows as the event viewer reads
// it: every id the service reports has its text, with the insertion strings in place.

#include "service/event_messages.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "tests/windows/test_files.h"

namespace halcyra {
namespace {

std::u16string formatMessage(HMODULE module, DWORD id, const std::vector<std::u16string>& strings) {
  std::vector<DWORD_PTR> arguments;
  for (const std::u16string& text : strings) {
    arguments.push_back(reinterpret_cast<DWORD_PTR>(text.c_str()));
  }
  wchar_t buffer[1024] = {};
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id,
                                      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), buffer, 1024,
                                      reinterpret_cast<va_list*>(arguments.data()));
  std::u16string text(reinterpret_cast<const char16_t*>(buffer), length);
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) {
    text.pop_back();
  }
  return text;
}

TEST(EventMessages, TheServiceExecutableCarriesEveryMessage) {
  const std::u16string path = test::moduleFolder() + u"\\..\\..\\service\\HalcyraService.exe";
  HMODULE const module = LoadLibraryExW(reinterpret_cast<const wchar_t*>(path.c_str()), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << GetLastError();
  const std::vector<std::u16string> strings(6, u"x");
  for (const DWORD id :
       std::initializer_list<DWORD>{EVENT_SERVICE_STARTED, EVENT_SERVICE_STOPPED, EVENT_START_FAILED,
                                    EVENT_SERVER_STARTED, EVENT_UPDATER_STARTED, EVENT_CHILD_EXITED,
                                    EVENT_CHILD_STOPPED, EVENT_CHILD_TERMINATED, EVENT_CHILD_TERMINATED_UNASKED,
                                    EVENT_CHILD_QUICK_ENDS, EVENT_UPDATE_CHECK_FAILED, EVENT_CHILD_LAUNCH_FAILED}) {
    EXPECT_FALSE(formatMessage(module, id, strings).empty()) << std::hex << id << " error " << GetLastError();
  }
  EXPECT_EQ(
      test::printable(formatMessage(module, EVENT_CHILD_TERMINATED, {u"HalcyraServer.exe", u"7", u"20", u"1067"})),
      "HalcyraServer.exe (process 7) was still running 20 seconds after the service's Ctrl-C. The service "
      "terminated it with exit code 1067.");
  FreeLibrary(module);
}

}  // namespace
}  // namespace halcyra
