// The update schedule of the real service: an updater that installs nothing is set aside
// after three runs, and an update server that answers 503 with Retry-After is asked no
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

// An updater that ends with 0 and installs nothing runs three times for the announced
// version; then the server runs, is restarted as usual, and the updater is not started
// again: the event says the version was set aside and when it is tried again.
TEST_F(ServiceE2E, UpdaterThatInstallsNothingIsSetAside) {
  if (!installService("on-ctrl-c=exit") || !installUpdater()) return;
  if (!writeManifest("version.json", R"({"Version":"9.0.0.0","Files":[]})") || !writeUpdateConfig(manifestUrl()) ||
      !startService()) {
    return;
  }
  ASSERT_TRUE(awaitStarted()) << "the server runs after the updater's runs";
  EXPECT_EQ(logCount("sample updater: received"), 3) << "three runs of the updater, then the server";
  EXPECT_TRUE(traced(R"(0x0002 0x80000011: 9\.0\.0\.0 \| [0-9.]+ \| 3 \| (1[5-9]|2[0-9]|30))"))
      << "event: 9.0.0.0 set aside, tried again in 15 to 30 minutes";

  // The server's end leads to a new pass: the server again, not the updater.
  std::uint32_t const first = serverPid();
  ASSERT_TRUE(kill(first));
  EXPECT_TRUE(awaitNewServer(first, 15s)) << "the server is restarted";
  EXPECT_EQ(logCount("sample updater: received"), 3) << "the set-aside version's updater is not started again";
  EXPECT_GE(manifestRequests("/latest/version.json"), 4) << "the passes still ask the update server";
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
