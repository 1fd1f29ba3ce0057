#include "tests/support/fake_smsc.h"

#include <algorithm>
#include <future>

namespace testing_support {

FakeSmsc::FakeSmsc() : simulator_(Behaviour{}), thread_([this] { simulator_.run(); }) {}

FakeSmsc::~FakeSmsc() {
  simulator_.stop();
  thread_.join();
}

void FakeSmsc::onLoop(const std::function<void()>& work) {
  std::promise<void> done;
  simulator_.post([&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

bool FakeSmsc::post(int connection, std::function<void()> work) {
  for (const Session& s : sessions())
    if (s.connection == connection && s.open) {
      simulator_.post(std::move(work));
      return true;
    }
  return false;
}

void FakeSmsc::setBehaviour(const Behaviour& behaviour) {
  SmscSimulator::Options options = behaviour;
  if (behaviour.submitAnswer == SubmitAnswer::Never) options.withholdEvery = 1;
  onLoop([&] {
    // Where it listens was fixed at the start.
    options.host = simulator_.options().host;
    options.port = simulator_.options().port;
    simulator_.options() = options;
  });
}

std::vector<FakeSmsc::Session> FakeSmsc::boundSessions() const {
  std::vector<Session> out = sessions();
  std::erase_if(out, [](const Session& s) { return !s.open || !s.bound; });
  return out;
}

size_t FakeSmsc::receivedCount(int connection, uint32_t commandId) const {
  const std::vector<ReceivedPDU> pdus = received(connection);
  return std::count_if(pdus.begin(), pdus.end(),
                       [&](const ReceivedPDU& p) { return p.commandId == commandId; });
}

int FakeSmsc::waitForBound(const std::string& systemId, uint32_t bindCommand,
                           std::chrono::milliseconds timeout) const {
  int found = 0;
  waitFor(
      [&] {
        for (const Session& s : boundSessions())
          if (s.systemId == systemId && (bindCommand == 0 || s.bindCommand == bindCommand)) {
            found = s.connection;
            return true;
          }
        return false;
      },
      timeout);
  return found;
}

bool FakeSmsc::sendDeliverSM(int connection, const SMPP::T_SubmitSM& sm) {
  std::vector<uint8_t> body;
  return SMPP::encodeSubmitSMBody(SMPP::DELIVER_SM, sm, body) &&
         post(connection, [=, this] { simulator_.sendRequest(connection, SMPP::DELIVER_SM, body); });
}

bool FakeSmsc::sendReceipt(int connection, const std::string& messageId, const std::string& source,
                           const std::string& destination) {
  return post(connection,
              [=, this] { simulator_.sendReceipt(connection, messageId, source, destination); });
}

bool FakeSmsc::sendMO(int connection, const std::string& source, const std::string& destination,
                      const std::string& text) {
  return post(connection, [=, this] { simulator_.sendMO(connection, source, destination, text); });
}

bool FakeSmsc::sendEnquireLink(int connection) {
  return post(connection, [=, this] { simulator_.sendRequest(connection, SMPP::ENQUIRE_LINK, {}); });
}

bool FakeSmsc::sendResponse(int connection, uint32_t commandId, uint32_t status, uint32_t sequence,
                            const std::vector<uint8_t>& body) {
  return post(connection,
              [=, this] { simulator_.sendRaw(connection, commandId, status, sequence, body); });
}

void FakeSmsc::resetConnection(int connection) {
  onLoop([&] { simulator_.resetConnection(connection); });
}

}  // namespace testing_support
