#include "platform/sim/sim_update_server.h"

#include <curl/curl.h>

#include <cstdarg>
#include <utility>

#include "platform/sim/sim.h"

namespace halcyra::sim {

namespace {

struct ServerState {
  std::function<UpdateServerAnswer(std::uint64_t)> answer;
  std::vector<std::uint64_t> requests;
  // The transfer in progress: where its body goes, and the answer its queries read.
  curl_write_callback write = nullptr;
  void* writeData = nullptr;
  UpdateServerAnswer last;
};

ServerState& server() {
  static ServerState state;
  return state;
}

}  // namespace

void setUpdateServer(std::function<UpdateServerAnswer(std::uint64_t now)> answer) {
  server().answer = std::move(answer);
  server().requests.clear();
}

const std::vector<std::uint64_t>& updateServerRequests() { return server().requests; }

std::string manifestBody(const std::string& version) { return R"({"Version":")" + version + R"(","Files":[]})"; }

}  // namespace halcyra::sim

using halcyra::sim::server;

extern "C" {

// NOLINTBEGIN(readability-identifier-naming, cppcoreguidelines-pro-type-vararg, bugprone-reserved-identifier)
CURL* __wrap_curl_easy_init() {
  server().write = nullptr;
  server().writeData = nullptr;
  return reinterpret_cast<CURL*>(&server());
}

void __wrap_curl_easy_cleanup(CURL* /*handle*/) {}

CURLcode __wrap_curl_global_init(long /*flags*/) { return CURLE_OK; }

// The option and the information come as int, which is how C passes their enumerations:
// va_start needs a parameter that undergoes no promotion.
CURLcode __wrap_curl_easy_setopt(CURL* /*handle*/, int option, ...) {
  va_list args;
  va_start(args, option);
  if (option == static_cast<int>(CURLOPT_WRITEFUNCTION)) {
    server().write = va_arg(args, curl_write_callback);
  } else if (option == static_cast<int>(CURLOPT_WRITEDATA)) {
    server().writeData = va_arg(args, void*);
  }
  va_end(args);
  return CURLE_OK;
}

CURLcode __wrap_curl_easy_perform(CURL* /*handle*/) {
  halcyra::sim::ServerState& state = server();
  const std::uint64_t now = halcyra::sim::now();
  state.requests.push_back(now);
  state.last = state.answer ? state.answer(now) : halcyra::sim::UpdateServerAnswer{404, 0, {}};
  if (state.write != nullptr && !state.last.body.empty()) {
    std::string body = state.last.body;
    state.write(body.data(), 1, body.size(), state.writeData);
  }
  return CURLE_OK;
}

CURLcode __wrap_curl_easy_getinfo(CURL* /*handle*/, int info, ...) {
  va_list args;
  va_start(args, info);
  if (info == static_cast<int>(CURLINFO_RESPONSE_CODE)) {
    *va_arg(args, long*) = server().last.status;
  } else if (info == static_cast<int>(CURLINFO_RETRY_AFTER)) {
    *va_arg(args, curl_off_t*) = server().last.retryAfterSeconds;
  }
  va_end(args);
  return CURLE_OK;
}
// NOLINTEND(readability-identifier-naming, cppcoreguidelines-pro-type-vararg, bugprone-reserved-identifier)

}  // extern "C"
