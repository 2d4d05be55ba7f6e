// halcyra-curl-floor: one bare libcurl transfer of a URL, the floor of the update check's
// fetch. Built with the same static libcurl as the service, under Wine.
//
//   halcyra-curl-floor <url> <count>
//
// One transfer first, unmeasured, then count transfers on a new easy handle each (as the
// update check does), each printed as "transfer_us N" (QueryPerformanceCounter). A failed
// transfer ends the program with exit code 1.

#include <curl/curl.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::size_t keep(char* data, std::size_t size, std::size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(data, size * count);
  return size * count;
}

bool transferOnce(const char* url, long long& elapsedTicks) {
  LARGE_INTEGER before{}, after{};
  QueryPerformanceCounter(&before);
  std::string body;
  CURL* const curl = curl_easy_init();
  if (curl == nullptr) return false;
  curl_easy_setopt(curl, CURLOPT_URL, url);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &keep);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  CURLcode const result = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  QueryPerformanceCounter(&after);
  elapsedTicks = after.QuadPart - before.QuadPart;
  if (result != CURLE_OK) {
    std::fprintf(stderr, "halcyra-curl-floor: %s\n", curl_easy_strerror(result));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: halcyra-curl-floor <url> <count>\n");
    return 2;
  }
  int const count = std::atoi(argv[2]);
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  curl_global_init(CURL_GLOBAL_ALL);
  long long ticks = 0;
  int status = transferOnce(argv[1], ticks) ? 0 : 1;
  for (int i = 0; i < count && status == 0; ++i) {
    if (!transferOnce(argv[1], ticks)) {
      status = 1;
      break;
    }
    std::printf("transfer_us %lld\n", ticks * 1000000 / frequency.QuadPart);
  }
  curl_global_cleanup();
  return status;
}
