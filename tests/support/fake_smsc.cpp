#include "tests/support/fake_smsc.h"

#include <algorithm>
#include <future>

namespace testing_support {

bool FakeSmsc::act(int connection, std::function<void(SmscSimulator&, int)> action) {
  const std::vector<Session> all = sessions();
  if (std::none_of(all.begin(), all.end(),
                   [&](const Session& s) { return s.connection == connection && s.open; }))
    return false;
  simulator_.post(
      [this, connection, action = std::move(action)] { action(simulator_, connection); });
  return true;
}

void FakeSmsc::setBehaviour(const Behaviour& behaviour) {
  SmscSimulator::Options options = behaviour;
  if (behaviour.submitAnswer == SubmitAnswer::Never) options.withholdEvery = 1;
  std::promise<void> done;
  simulator_.post([&] {
    // Where it listens was fixed at the start.
    options.host = simulator_.options().host;
    options.port = simulator_.options().port;
    simulator_.options() = options;
    done.set_value();
  });
  done.get_future().wait();
}

std::vector<FakeSmsc::Session> FakeSmsc::boundSessions() const {
  std::vector<Session> out = sessions();
  std::erase_if(out, [](const Session& s) { return !s.open || !s.bound; });
  return out;
}

size_t FakeSmsc::receivedCount(int connection, uint32_t commandId) const {
  const auto pdus = simulator_.received(connection);
  return std::count_if(pdus.begin(), pdus.end(),
                       [&](const auto& p) { return p.commandId == commandId; });
}

int FakeSmsc::waitForBound(const std::string& systemId, std::chrono::milliseconds timeout) const {
  int found = 0;
  waitFor(
      [&] {
        for (const Session& s : boundSessions())
          if (s.systemId == systemId) return (found = s.connection) != 0;
        return false;
      },
      timeout);
  return found;
}

}  // namespace testing_support
