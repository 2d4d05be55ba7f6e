// The update schedule of the real service: an updater that installs nothing is retried
// through its first minute, and an update server that answers 503 with Retry-After is asked no
// sooner, while a server that ends at once is still restarted after every pass's wait.

#include <winsock2.h>

#include <atomic>
#include <string>

#include "e2e_fixture.h"

namespace halcyra::e2e {
namespace {

// An update server on 127.0.0.1 that answers every request with 503 and "Retry-After: 120"
// and counts the requests, on a thread of this program while the object lives.
struct BusyUpdateServer {
  BusyUpdateServer() {
    WSADATA data;
    sockaddr_in address{AF_INET, 0, {}, {}};
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0 || (listener = socket(AF_INET, SOCK_STREAM, 0)) == INVALID_SOCKET ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return;
    }
    port = ntohs(address.sin_port);
    thread = CreateThread(nullptr, 0, &BusyUpdateServer::serve, this, 0, nullptr);
  }
  ~BusyUpdateServer() {
    stop = true;
    if (thread != nullptr) WaitForSingleObject(thread, 5000), CloseHandle(thread);
    if (listener != INVALID_SOCKET) closesocket(listener);
    WSACleanup();
  }

  static DWORD WINAPI serve(void* self) {
    auto& server = *static_cast<BusyUpdateServer*>(self);
    static const char reply[] =
        "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 120\r\nContent-Length: 4\r\nConnection: close\r\n\r\nbusy";
    while (!server.stop) {
      fd_set ready;
      FD_ZERO(&ready);
      FD_SET(server.listener, &ready);
      timeval wait{0, 200000};
      SOCKET const client =
          select(0, &ready, nullptr, nullptr, &wait) == 1 ? accept(server.listener, nullptr, nullptr) : INVALID_SOCKET;
      if (client == INVALID_SOCKET) continue;
      // libcurl asks once per connection, which the reply closes.
      char request[4096];
      if (recv(client, request, sizeof request, 0) > 0) ++server.requests;
      send(client, reply, sizeof reply - 1, 0);
      shutdown(client, SD_SEND);
      closesocket(client);
    }
    return 0;
  }

  SOCKET listener = INVALID_SOCKET;
  HANDLE thread = nullptr;
  int port = 0;
  std::atomic<bool> stop{false};
  std::atomic<int> requests{0};
};

// An updater that ends with 0 and installs nothing is started again after every pass's
// wait through its first minute, and the server does not run yet: a brief failure is
// retried, not set aside. The set-aside after 10 minutes, with the server running then, is
// proven in the simulation; 11 minutes here would outlast the whole test command.
TEST_F(ServiceE2E, UpdaterThatInstallsNothingIsRetriedThroughItsFirstMinute) {
  if (!installService("on-ctrl-c=exit") || !installUpdater()) return;
  if (!writeManifest("version.json", R"({"Version":"9.0.0.0","Files":[]})") || !writeUpdateConfig(manifestUrl()) ||
      !startService()) {
    return;
  }
  Stopwatch const since;
  ASSERT_TRUE(awaitUntil(
      60s, [&] { return since.ms() >= 60000; }, 1000ms));
  EXPECT_GE(logCount("sample updater: received"), 6) << "the updater is started again after every pass";
  EXPECT_EQ(logCount("sample server: started"), 0) << "no server in the first minute";
  EXPECT_EQ(tracedCount(R"(0x0002 0x80000011.*)"), 0) << "nothing set aside yet";
  EXPECT_TRUE(stopService());
}

// 503 with Retry-After: 120, and a server that ends at once: the update server is asked once
// in the next 60 s, while the server is restarted every 3 s.
TEST_F(ServiceE2E, RetryAfterHoldsTheFetchesOfACrashLoop) {
  BusyUpdateServer busy;
  ASSERT_NE(busy.port, 0) << "no port for the busy update server";
  if (!installService("exit-after-ms=0 exit-code=1") || !installUpdater() ||
      !writeUpdateConfig("http://127.0.0.1:" + std::to_string(busy.port)) || !startService()) {
    return;
  }
  ASSERT_TRUE(awaitUntil(20s, [&] { return busy.requests >= 1; })) << "the first pass asks";
  Stopwatch const since;
  int const startsBefore = logCount("sample server: started");
  ASSERT_TRUE(awaitUntil(
      60s, [&] { return since.ms() >= 60000; }, 1000ms));
  int const starts = logCount("sample server: started") - startsBefore;
  EXPECT_EQ(busy.requests, 1) << "asked once, not after every pass";
  EXPECT_GE(starts, 12) << "the server is restarted after every 3 s wait";
  EXPECT_TRUE(stopService());
}

}  // namespace
}  // namespace halcyra::e2e
