#pragma once
// An update server for the simulated machine. A program linked with the library
// halcyra_sim_update_server has libcurl's easy interface replaced at link time: every
// transfer is answered by the function given here, at the machine's virtual time, and
// nothing goes to the network.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace halcyra::sim {

struct UpdateServerAnswer {
  long status = 200;
  long long retryAfterSeconds = 0;  // what CURLINFO_RETRY_AFTER reports, 0 for none
  std::string body;
};

// From now on every transfer is answered by `server`, called with the machine's time.
// Without one, transfers get 404 and an empty body.
void setUpdateServer(std::function<UpdateServerAnswer(std::uint64_t now)> server);

// The machine's times of the transfers since setUpdateServer.
const std::vector<std::uint64_t>& updateServerRequests();

// A manifest body announcing `version`.
std::string manifestBody(const std::string& version);

}  // namespace halcyra::sim
