#include "upstream/smpp_upstream.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <set>

#include "admin/metrics.h"
#include "base/listening_socket.h"
#include "base/log.h"
#include "base/string_map.h"
#include "base/wall_clock.h"
#include "cdr/smpp_cdr_manager.h"
#include "config/ostrel_configuration.h"
#include "config/smsc_slot_id.h"
#include "downstream/deliver_sm_queue.h"
#include "smpp/message_text.h"
#include "smpp/send_batch.h"
#include "smpp/smpp_socket.h"
#include "tracking/tracker.h"
#include "upstream/connect_backoff.h"

namespace {

using ull = unsigned long long;

// The tracking value of a submit in a session's submit table: the
// customer's sequence number, with the command it answers above it.
constexpr uint64_t kDataSMTrackingBit = 1ULL << 32;

constexpr uint32_t kTagMOEcho = 0x1801;

void count(std::string_view key) { MetricsRegistry::instance().incrementCounter(key); }
void rate(std::string_view key) { MetricsRegistry::instance().incrementRate(key); }
void count(const char* family, MetricsRegistry::Labels labels) {
  MetricsRegistry::instance().incrementCounter(family, labels);
}
void rate(const char* family, MetricsRegistry::Labels labels) {
  MetricsRegistry::instance().incrementRate(family, labels);
}

// The unlabelled series of the message path, found once.
struct Totals {
  MetricsRegistry::CounterHandle submitResp, submitRespTotal, deliver, receipt;
  MetricsRegistry::RateHandle submitRate, submitRespRate, submitRespRateAllSmsc, deliverRate,
      receiptRate;
  static const Totals& get() {
    static const Totals totals = [] {
      MetricsRegistry& m = MetricsRegistry::instance();
      Totals t;
      t.submitResp = m.counterHandle("smppSubmitSMResp");
      t.submitRespTotal = m.counterHandle("smppSubmitSMRespTotal");
      t.deliver = m.counterHandle("smppDeliverSMTotal");
      t.receipt = m.counterHandle("smppDeliverSMDLR");
      t.submitRate = m.rateHandle("smppSubmitSMRateTotal");
      t.submitRespRate = m.rateHandle("smppSubmitSMRespRate");
      t.submitRespRateAllSmsc = m.rateHandle("smppSubmitSMRespRate_SMSC_Total");
      t.deliverRate = m.rateHandle("smppDeliverSMRateTotal");
      t.receiptRate = m.rateHandle("smppDeliverSMDLRRate");
      return t;
    }();
    return totals;
  }
};

// A customer's series on one SMSC (labelled esme and smsc) and its own
// (labelled esme) that every submit and receipt bumps. Each thread remembers
// them by the two names, so a bump builds no key and hashes no label text
// per family; series are never freed, so the handles stay valid. The memory
// is bounded (customers and SMSCs come and go over the years): past the
// limit it starts again. The reference returned is good until the next call.
struct PairSeries {
  MetricsRegistry::CounterHandle submit, deliver, deliverEsme;
  MetricsRegistry::RateHandle submitRate, deliverRate, deliverRateEsme;
};

const PairSeries& pairSeries(const std::string& esme, const std::string& smsc) {
  constexpr size_t kLimit = 4096;
  thread_local StringMap<StringMap<PairSeries>> known;
  thread_local size_t pairs = 0;
  if (pairs >= kLimit) {
    known.clear();
    pairs = 0;
  }
  auto bySmsc = known.find(esme);
  if (bySmsc == known.end()) bySmsc = known.emplace(esme, StringMap<PairSeries>{}).first;
  auto found = bySmsc->second.find(smsc);
  if (found != bySmsc->second.end()) return found->second;
  MetricsRegistry& m = MetricsRegistry::instance();
  const auto both = [&](const char* family) {
    return seriesKey(family, {{"esme", esme}, {"smsc", smsc}});
  };
  const auto own = [&](const char* family) { return seriesKey(family, {{"esme", esme}}); };
  PairSeries p;
  p.submit = m.counterHandle(both("smppSubmitSM"));
  p.submitRate = m.rateHandle(both("smppSubmitSMRate"));
  p.deliver = m.counterHandle(both("smppDeliverSM"));
  p.deliverRate = m.rateHandle(both("smppDeliverSMRate"));
  p.deliverEsme = m.counterHandle(own("smppDeliverSM_ESME"));
  p.deliverRateEsme = m.rateHandle(own("smppDeliverSMRate_ESME"));
  ++pairs;
  return bySmsc->second.emplace(smsc, p).first->second;
}

const char* bindLabel(int bindType) {
  switch (bindType) {
    case 0:
      return "BindRX";
    case 1:
      return "BindTX";
    case 2:
      return "BindTRX";
    default:
      return "";
  }
}

// The first IPv4 address of `host` (dotted or a name); false when none.
bool resolveIPv4(const std::string& host, in_addr& out) {
  if (inet_aton(host.c_str(), &out) != 0) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return false;
  out = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr;
  freeaddrinfo(result);
  return true;
}

}  // namespace

SMPPUpstream& SMPPUpstream::instance() {
  static SMPPUpstream upstream(Services{&OstrelConfiguration::instance(),
                                        &Tracker::instance(),
                                        &DeliverSMQueue::instance(),
                                        &SMPPCDRManager::getInstance(),
                                        {}});
  return upstream;
}

SMPPUpstream::SMPPUpstream(Services services)
    : config_(*services.config),
      tracker_(*services.tracker),
      deliverQueue_(*services.deliverQueue),
      cdr_(*services.cdr),
      clock_(services.clock ? services.clock : Clock(wallClockMicros)) {
  poller_.add(waker_.descriptor());
}

SMPPUpstream::~SMPPUpstream() {
  stopUpstream();
  closeAllSessions();
}

// ---- Thread ---------------------------------------------------------------

void SMPPUpstream::startUpstream() {
  std::lock_guard<std::mutex> lock(threadMutex_);
  if (started_) return;
  started_ = true;
  thread_ = std::thread([this] { upstreamThreadMain(); });
  // Named so that operators (top -H) and benchmarks can tell its CPU apart.
  pthread_setname_np(thread_.native_handle(), "upstream");
}

void SMPPUpstream::stopUpstream() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (!thread_.joinable()) return;
    thread = std::move(thread_);
  }
  stopFlag_.store(true);
  waker_.wake();
  printf("Waiting on upstream connections closing\n");
  fflush(stdout);
  thread.join();
}

void SMPPUpstream::upstreamThreadMain() {
  initUpstreamBinds(2, SMPP::INTERFACE_VERSION_34);
  while (!stopFlag_.load()) {
    bool activity = false;
    upstreamRun(activity);
  }
  closeAllSessions();
}

void SMPPUpstream::closeAllSessions() {
  for (const auto& session : sessionsCopy()) {
    session->closeConnection();
    session->setConnectionState(SMPPSessionClient::kDisconnected);
    removeSession(session);
  }
}

// ---- Slots and pools ------------------------------------------------------

void SMPPUpstream::initUpstreamBinds(int bindType, uint8_t interfaceVersion) {
  defaultBindType_ = bindType;
  defaultInterfaceVersion_ = interfaceVersion;
  configGenerationSeen_ = config_.configChangedAt.load();
  preloadTargetEsme();
  for (const SharedTargetSet& set : config_.targetSetsCopy())
    for (const TargetRecord& target : set.targets) gauges_.zeroTarget(target.name);
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  buildEntries(false);
}

bool SMPPUpstream::reinitUpstreamBinds() {
  identifyUnusedSMSCEntries();
  preloadTargetEsme();
  buildEntries(true);
  return true;
}

void SMPPUpstream::preloadTargetEsme() {
  std::map<std::string, std::vector<uint64_t>> targetsBySet;
  for (const SharedTargetSet& set : config_.targetSetsCopy())
    for (const TargetRecord& target : set.targets)
      targetsBySet[set.id].push_back(targetIdForName(target.name));
  for (const auto& [key, esme] : config_.esmeRecordsCopy()) {
    auto it = targetsBySet.find(esme.sharedtargetsetid);
    if (it == targetsBySet.end()) continue;
    for (uint64_t targetId : it->second) tracker_.setTargetEsme(esme.systemid, targetId);
  }
}

std::map<uint64_t, std::string> SMPPUpstream::configuredSlots() {
  std::map<uint64_t, std::string> slots;
  for (const SharedTargetSet& set : config_.targetSetsCopy()) {
    for (const TargetRecord& target : set.targets) {
      for (int i = 0; i < target.bindqty; ++i) {
        const uint64_t smscid = smscSlotId(target.name, i, target.usetxrx);
        slots[smscid] = target.name;
        if (target.usetxrx) slots[smscid + 1] = target.name;
      }
    }
  }
  return slots;
}

void SMPPUpstream::identifyUnusedSMSCEntries() {
  const std::map<uint64_t, std::string> used = configuredSlots();
  std::vector<std::pair<uint64_t, std::string>> flagged;
  {
    std::lock_guard<std::mutex> lock(entriesMutex_);
    for (auto& [smscid, entry] : entries_) {
      if (used.count(smscid) != 0 || entry.adminDown) continue;
      entry.adminDown = true;
      flagged.emplace_back(smscid, names_[smscid]);
    }
  }
  for (const auto& [smscid, name] : flagged)
    logMessage(LOG_INFO, this, className_, "identifyUnusedSMSCEntries",
               "Unused target set to admindown: smscname=%s smscid=0x%llx", name.c_str(),
               static_cast<ull>(smscid));
}

namespace {

// What a slot takes from its target, at creation and at every change of it.
void applyTargetFields(SMSCEntry& entry, const TargetRecord& target) {
  entry.host = target.host;
  entry.port = target.port;
  entry.systemId = target.systemid;
  entry.password = target.password;
  entry.systemType = target.systemtype;
  entry.adminDown = target.admindown;
  entry.tpsLimit = target.tpslimit;
}

}  // namespace

void SMPPUpstream::buildEntries(bool reinit) {
  const std::vector<SharedTargetSet> sets = config_.targetSetsCopy();
  std::vector<std::string> liveIds;
  for (const SharedTargetSet& set : sets) {
    liveIds.push_back(set.id);
    pools_.resetPool(set.id, set.submits_enabled);
    for (const TargetRecord& target : set.targets) {
      for (int i = 0; i < target.bindqty; ++i) {
        const uint64_t smscid = smscSlotId(target.name, i, target.usetxrx);
        bool known = false;
        {
          std::lock_guard<std::mutex> lock(entriesMutex_);
          if (reinit && names_.count(smscid) != 0) {
            known = true;
            // Both slots of a pair were made from the same target fields, so
            // both follow its changes.
            for (uint64_t slot : {smscid, smscid + 1}) {
              if (slot != smscid && !(target.usetxrx && entries_.count(slot) != 0)) continue;
              applyTargetFields(entries_[slot], target);
            }
          } else {
            SMSCEntry entry;
            entry.smscid = smscid;
            entry.interfaceVersion = defaultInterfaceVersion_;
            applyTargetFields(entry, target);
            names_[smscid] = target.name;
            if (target.usetxrx) {
              entry.bindType = 1;
              entries_[smscid] = entry;
              SMSCEntry receiver = entry;
              receiver.smscid = smscid + 1;
              receiver.bindType = 0;
              entries_[smscid + 1] = receiver;
              names_[smscid + 1] = target.name;
            } else {
              entry.bindType = target.userxonly ? 0 : defaultBindType_;
              entries_[smscid] = entry;
            }
          }
        }
        (void)known;
        if (!target.userxonly)
          addSMSCToTargetSetSubmitPool(set.id, target.name, smscid, target.weight);
      }
    }
  }
  pools_.retainOnly(liveIds);
  printPools();
  nextConnectPass_ = now();
  recomputeUnbound();
}

void SMPPUpstream::printPools() {
  for (const auto& [id, slots] : pools_.snapshot()) {
    printf("Shared Target Set ID: %s\nSMSC IDs: ", id.c_str());
    for (uint64_t smscid : slots) printf("0x%llx ", static_cast<ull>(smscid));
    printf("\n");
  }
  fflush(stdout);
}

void SMPPUpstream::addSMSCToTargetSetSubmitPool(const std::string& targetSetId,
                                                const std::string& smscName, uint64_t smscid,
                                                int weight) {
  pools_.add(targetSetId, smscName, smscid, weight);
}

int32_t SMPPUpstream::getTargetSetPoolSize(const std::string& targetSetId) {
  return pools_.size(targetSetId);
}

uint64_t SMPPUpstream::nextSMSCForTargetSet(const std::string& targetSetId) {
  return pools_.next(targetSetId);
}

SMSCEntry& SMPPUpstream::entryLocked(uint64_t smscid) {
  SMSCEntry& entry = entries_[smscid];
  entry.smscid = smscid;
  return entry;
}

std::string SMPPUpstream::nameOf(uint64_t smscid) {
  std::lock_guard<std::mutex> lock(entriesMutex_);
  return names_[smscid];
}

std::shared_ptr<const SMPPUpstream::SlotSeries> SMPPUpstream::seriesOf(uint64_t smscid) {
  std::lock_guard<std::mutex> lock(entriesMutex_);
  return seriesOfLocked(smscid);
}

std::shared_ptr<const SMPPUpstream::SlotSeries> SMPPUpstream::seriesOfLocked(uint64_t smscid) {
  const std::string& name = names_[smscid];
  std::shared_ptr<const SlotSeries>& cached = slotSeries_[smscid];
  if (cached && cached->name == name) return cached;
  MetricsRegistry& m = MetricsRegistry::instance();
  auto made = std::make_shared<SlotSeries>();
  made->name = name;
  made->submit = m.counterHandle(seriesKey("smppSubmitSM_SMSC", {{"smsc", name}}));
  made->submitBind = m.counterHandle(
      seriesKey("smppSubmitSM_SMSC_Bind", {{"smsc", name}, {"bind", std::to_string(smscid & 255)}}));
  made->submitResp = m.counterHandle(seriesKey("smppSubmitSMResp_SMSC", {{"smsc", name}}));
  made->deliver = m.counterHandle(seriesKey("smppDeliverSM_SMSC", {{"smsc", name}}));
  made->receipt = m.counterHandle(seriesKey("smppDeliverSMDLR_SMSC", {{"smsc", name}}));
  made->submitRate = m.rateHandle(seriesKey("smppSubmitSMRate_SMSC", {{"smsc", name}}));
  made->submitRespRate = m.rateHandle(seriesKey("smppSubmitSMRespRate_SMSC", {{"smsc", name}}));
  made->deliverRate = m.rateHandle(seriesKey("smppDeliverSMRate_SMSC", {{"smsc", name}}));
  made->receiptRate = m.rateHandle(seriesKey("smppDeliverSMDLRRate_SMSC", {{"smsc", name}}));
  cached = std::move(made);
  return cached;
}

std::string SMPPUpstream::smscName(uint64_t smscid) {
  return nameOf(smscid);
}

void SMPPUpstream::recomputeUnbound() {
  std::map<std::pair<std::string, std::string>, int> configured;
  {
    std::lock_guard<std::mutex> lock(entriesMutex_);
    for (const auto& [smscid, entry] : entries_) {
      if (entry.adminDown) continue;
      configured[{names_[smscid], UpstreamGauges::typeLabelOfBindType(entry.bindType)}] += 1;
    }
  }
  gauges_.recomputeUnbound(configured);
}

// ---- Loop -----------------------------------------------------------------

void SMPPUpstream::upstreamRun(bool& activity, int64_t maxWaitMicros) {
  // What this pass sends leaves in one write per connection, before the
  // loop sleeps and again when the pass ends.
  SendBatch batch;
  passes_.fetch_add(1, std::memory_order_relaxed);
  uint64_t t = now();
  if (speedWindowStart_ == 0) speedWindowStart_ = t;
  if (t > speedWindowStart_ && t - speedWindowStart_ > 999999) {
    logMessage(LOG_INFO, this, className_, "upstreamRun", "Speed Check = Count:%u Interval:%llu",
               speedCount_, static_cast<ull>(t - speedWindowStart_));
    speedWindowStart_ = t;
    speedCount_ = 1;
  } else {
    ++speedCount_;
  }

  if (config_.configChangedAt.load() > configGenerationSeen_) {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    const uint64_t changed = config_.configChangedAt.load();
    if (changed > configGenerationSeen_) {
      configGenerationSeen_ = changed;
      reinitUpstreamBinds();
    }
  }

  makeConnections(t);

  std::vector<std::shared_ptr<SMPPSessionClient>> ended;
  for (const auto& session : sessionsCopy()) {
    if (session->connectionState() != SMPPSessionClient::kConnected) {
      checkConnectOutcome(session);
      if (session->connectionState() != SMPPSessionClient::kConnected) continue;
    }
    auto servedIt = served_.find(session->sessionId());
    bool adminDown;
    {
      std::lock_guard<std::mutex> lock(entriesMutex_);
      adminDown = entryLocked(session->settings().smscid).adminDown;
    }
    const uint64_t smscid = session->settings().smscid;
    if (adminDown) {
      logMessage(LOG_INFO, this, className_, "upstreamRun",
                 "set to administratively down - disconnect %s 0x%llx", nameOf(smscid).c_str(),
                 static_cast<ull>(smscid));
      session->sendPDU(session->nextSequenceNumber(), SMPP::UNBIND, 0, nullptr, 0);
      session->closeConnection();
      ended.push_back(session);
      continue;
    }
    if (servedIt != served_.end() && t < servedIt->second.checkDue) continue;
    if (session->timedCheck(t)) {
      session->closeConnection();
      ended.push_back(session);
      continue;
    }
    if (servedIt != served_.end()) {
      servedIt->second.checkDue = session->nextCheckDue(t);
      watchWrite(servedIt->second, session->pendingOutputBytes() > 0);
    }
  }
  for (const auto& session : ended) {
    session->markFailed();
    session->setConnectionState(SMPPSessionClient::kDisconnected);
    removeSession(session);
  }

  uint64_t wait = nextTimerDue(t);
  wait = wait > t ? wait - t : 0;
  if (wait > kMaxWaitMicros) wait = kMaxWaitMicros;
  if (maxWaitMicros >= 0 && wait > static_cast<uint64_t>(maxWaitMicros))
    wait = static_cast<uint64_t>(maxWaitMicros);
  if (inputLeft_) wait = 0;
  batch.flush();
  processSessionActivity(activity, t, static_cast<int>((wait + 999) / 1000));
}

uint64_t SMPPUpstream::nextTimerDue(uint64_t t) {
  uint64_t due = t + kMaxWaitMicros;
  for (const auto& [id, served] : served_) {
    // A connecting session is looked at when its socket turns writable.
    if (served.session->connectionState() == SMPPSessionClient::kConnected)
      due = std::min(due, served.checkDue);
  }
  uint64_t connectDue = UINT64_MAX;
  {
    std::lock_guard<std::mutex> lock(entriesMutex_);
    for (const auto& [smscid, entry] : entries_) {
      if (entry.adminDown || entry.sessionActive) continue;
      connectDue = std::min(connectDue, entry.nextConnectTime);
    }
  }
  if (connectDue != UINT64_MAX) due = std::min(due, std::max(connectDue, nextConnectPass_));
  return due;
}

void SMPPUpstream::makeConnections(uint64_t t) {
  if (t < nextConnectPass_) return;
  nextConnectPass_ += kConnectPassMicros;
  std::vector<SMSCEntry> toConnect;
  {
    std::lock_guard<std::mutex> lock(entriesMutex_);
    for (auto& [smscid, entry] : entries_) {
      if (entry.adminDown || entry.sessionActive || entry.nextConnectTime > t) continue;
      const uint64_t delay = ConnectBackoff::delayMicros(entry.connectAttempts);
      entry.connectAttempts += 1;
      entry.nextConnectTime = t + delay;
      entry.sessionActive = true;
      toConnect.push_back(entry);
    }
  }
  for (const SMSCEntry& entry : toConnect) {
    const std::string name = nameOf(entry.smscid);
    gauges_.sessionCreated(name, entry.bindType);
    recomputeUnbound();
    SMPPClientSettings settings;
    settings.smscid = entry.smscid;
    settings.host = entry.host;
    settings.port = entry.port;
    settings.bindType = entry.bindType;
    settings.interfaceVersion = entry.interfaceVersion;
    settings.systemId = entry.systemId;
    settings.password = entry.password;
    settings.systemType = entry.systemType;
    settings.enquireLinkInterval = entry.enquireLinkInterval;
    settings.responseTimeout = entry.responseTimeout;
    auto session = std::make_shared<SMPPSessionClient>(settings);
    session->setConnectionState(SMPPSessionClient::kDisconnected);
    logMessage(LOG_INFO, this, className_, "makeConnections",
               "Pre-connecting to %s 0x%llx (%s:%d/%s)", name.c_str(),
               static_cast<ull>(entry.smscid), entry.host.c_str(), entry.port,
               entry.systemId.c_str());
    nextConnectPass_ += kConnectSpacingMicros;

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int error = 0;
    bool started = false;
    if (fd < 0) {
      error = errno;
    } else {
      int on = 1;
      ioctl(fd, FIONBIO, &on);
      setNoDelay(fd);
      in_addr address{};
      if (!resolveIPv4(entry.host, address)) {
        error = errno != 0 ? errno : EHOSTUNREACH;
      } else {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(static_cast<uint16_t>(entry.port));
        peer.sin_addr = address;
        const int rc = connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
        error = rc == 0 ? 0 : errno;
        started = rc == 0 || errno == EINPROGRESS;
      }
    }
    if (started) {
      session->attachSocket(std::make_unique<SMPPSocketUnencrypted>(fd), true, entry.host,
                            entry.port);
      const uint64_t id = session->sessionId();
      // Runs on whichever thread's send left output waiting or handed it
      // over; the loop then writes it or watches the socket for writing.
      session->socketHolder().setAttentionCallback([this, id] { waker_.post(id); });
      session->socketHolder().setOwner(session);
      session->socketHolder().setOwnerThread();
      session->setConnectionState(SMPPSessionClient::kConnecting);
      if (registerSession(session)) {
        count("smppUpstreamBindAttemptTotal");
        logMessage(LOG_INFO, this, className_, "makeConnections",
                   "Connecting to %s 0x%llx (%s:%d/%s)", name.c_str(),
                   static_cast<ull>(entry.smscid), entry.host.c_str(), entry.port,
                   entry.systemId.c_str());
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        sessions_.push_back(session);
        continue;
      }
      session->closeConnection();
      fd = -1;
    } else {
      if (fd >= 0) close(fd);
      count("smppUpstreamBindAttempt", {{"result", "fail"}});
      logMessage(LOG_INFO, this, className_, "makeConnections",
                 "Unable to connect %s 0x%llx errno=%d (%s:%d/%s)", name.c_str(),
                 static_cast<ull>(entry.smscid), error, entry.host.c_str(), entry.port,
                 entry.systemId.c_str());
    }
    gauges_.sessionRemoved(name, entry.bindType);
    {
      std::lock_guard<std::mutex> lock(entriesMutex_);
      entryLocked(entry.smscid).sessionActive = false;
    }
    recomputeUnbound();
  }
}

bool SMPPUpstream::registerSession(const std::shared_ptr<SMPPSessionClient>& session) {
  const int fd = session->descriptor();
  const bool connecting = session->connectionState() != SMPPSessionClient::kConnected;
  if (fd < 0 || !poller_.add(fd, connecting)) {
    logMessage(LOG_WARNING, this, className_, "registerSession",
               "Session on descriptor %d cannot be served (errno=%d) - not registered %s 0x%llx",
               fd, errno, nameOf(session->settings().smscid).c_str(),
               static_cast<ull>(session->settings().smscid));
    return false;
  }
  Served served;
  served.session = session;
  served.fd = fd;
  served.watchingWrite = connecting;
  served.checkDue = now();
  served_[session->sessionId()] = served;
  fdToSession_[fd] = session->sessionId();
  return true;
}

void SMPPUpstream::watchWrite(Served& served, bool on) {
  if (served.watchingWrite == on) return;
  if (poller_.setWritable(served.fd, on)) served.watchingWrite = on;
}

void SMPPUpstream::handlePosted(uint64_t t) {
  std::vector<uint64_t> keys;
  waker_.take(keys);
  for (uint64_t id : keys) {
    auto it = served_.find(id);
    if (it == served_.end()) continue;
    Served& served = it->second;
    // Submits from the listener wait here to be written by this thread.
    if (served.session->connectionState() == SMPPSessionClient::kConnected)
      served.session->flushOutput();
    // Failed sends are ended by the next timed check, made due now.
    if (served.session->failed()) served.checkDue = t;
    watchWrite(served, served.session->pendingOutputBytes() > 0);
  }
}

void SMPPUpstream::processSessionActivity(bool& activity, uint64_t t, int waitMillis) {
  events_.clear();
  const int n = poller_.wait(waitMillis, events_);
  if (n < 0) return;
  // Time moved on while the loop slept.
  t = now();
  inputLeft_ = false;
  std::vector<uint64_t> ready;
  for (const Poller::Event& event : events_) {
    if (event.fd == waker_.descriptor()) {
      handlePosted(t);
      continue;
    }
    auto fdIt = fdToSession_.find(event.fd);
    if (fdIt == fdToSession_.end()) continue;
    auto it = served_.find(fdIt->second);
    if (it == served_.end()) continue;
    Served& served = it->second;
    if (event.writable) {
      if (served.session->connectionState() != SMPPSessionClient::kConnected) {
        checkConnectOutcome(served.session);
        continue;  // the session may be gone now
      }
      served.session->flushOutput();
      watchWrite(served, served.session->pendingOutputBytes() > 0);
    }
    if (event.readable || event.hangup) ready.push_back(fdIt->second);
  }
  // Sessions whose budget ran out last pass are served again without new bytes.
  for (const auto& [id, served] : served_)
    if (served.inputLeft && std::find(ready.begin(), ready.end(), id) == ready.end())
      ready.push_back(id);
  for (uint64_t id : ready) {
    auto it = served_.find(id);
    if (it == served_.end()) continue;
    serveSession(it->second, activity, t);
  }
}

void SMPPUpstream::serveSession(Served& served, bool& activity, uint64_t t) {
  std::shared_ptr<SMPPSessionClient> session = served.session;
  served.inputLeft = false;
  if (session->connectionState() != SMPPSessionClient::kConnected) return;
  const SMPPSocketHolder::ReadPass pass(session->socketHolder());
  for (int i = 0; i < kPDUsPerPass; ++i) {
    if (!session->readPDU()) break;
    const SMPP::PDUHeader header = session->socketHolder().header();
    session->noteReceivedPDU(header, t);
    if (header.commandStatus == 0) {
      switch (header.commandId) {
        case SMPP::BIND_TRANSCEIVER_RESP:
          session->setBindState(BIND_STATE_TRANSCEIVER);
          break;
        case SMPP::BIND_TRANSMITTER_RESP:
          session->setBindState(BIND_STATE_TRANSMITTER);
          break;
        case SMPP::BIND_RECEIVER_RESP:
          session->setBindState(BIND_STATE_RECEIVER);
          break;
        default:
          break;
      }
    }
    activity = true;
    if (dispatchClientPDU(session, header, t)) return;
  }
  if (session->failed()) {
    const SMPPClientSettings& s = session->settings();
    logMessage(LOG_INFO, this, className_, "processSessionActivity",
               "Session dead %s 0x%llx (%s:%d/%s)", nameOf(s.smscid).c_str(),
               static_cast<ull>(s.smscid), s.host.c_str(), s.port, s.systemId.c_str());
    endSession(session);
    return;
  }
  auto it = served_.find(session->sessionId());
  if (it == served_.end()) return;
  it->second.checkDue = std::min(it->second.checkDue, session->nextCheckDue(t));
  if (session->inputPending()) {
    it->second.inputLeft = true;
    inputLeft_ = true;
  }
}

void SMPPUpstream::endSession(const std::shared_ptr<SMPPSessionClient>& session) {
  session->closeConnection();
  session->markFailed();
  session->setConnectionState(SMPPSessionClient::kDisconnected);
  removeSession(session);
}

void SMPPUpstream::removeSession(const std::shared_ptr<SMPPSessionClient>& session) {
  const uint64_t smscid = session->settings().smscid;
  auto it = served_.find(session->sessionId());
  if (it != served_.end()) {
    poller_.remove(it->second.fd);
    fdToSession_.erase(it->second.fd);
    served_.erase(it);
  }
  {
    std::lock_guard<std::mutex> lock(entriesMutex_);
    entryLocked(smscid).sessionActive = false;
  }
  bool listed = false;
  {
    // Once out of the list no submit can reach the session: sendSubmitSM
    // holds this mutex from finding the session to the end of its send.
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    auto pos = std::find(sessions_.begin(), sessions_.end(), session);
    if (pos != sessions_.end()) {
      sessions_.erase(pos);
      listed = true;
    }
  }
  answerWaitingSubmits(*session);
  cdr_.cleanupPendingCDRsForSMSC(smscid);
  if (!listed) return;
  const std::string name = nameOf(smscid);
  gauges_.sessionRemoved(name, session->settings().bindType);
  const uint32_t state = session->bindState();
  if (state >= BIND_STATE_TRANSCEIVER && state <= BIND_STATE_RECEIVER)
    gauges_.boundSessionRemoved(name, static_cast<int>(state));
  recomputeUnbound();
}

void SMPPUpstream::answerWaitingSubmits(SMPPSessionClient& session) {
  const auto waiting = session.takeAllSubmitTracking();
  if (waiting.empty()) return;
  const uint64_t smscid = session.settings().smscid;
  const std::string name = nameOf(smscid);
  size_t answered = 0;
  for (const auto& [upstreamSequence, tracking] : waiting) {
    session.removePendingResponse(upstreamSequence);
    uint64_t customerSessionId = 0;
    uint64_t customerSequence = 0;
    Tracker::Origin origin;
    if (!tracker_.getSessionForSubmitSMResp(customerSessionId, customerSequence, smscid,
                                            upstreamSequence, &origin))
      continue;
    if (cdr_.mode() != CDRMode::NONE)
      cdr_.updateCDRWithSubmitFail(smscid, upstreamSequence, kSessionLostStatus);
    count("smppSubmitSMRespSessionLost");
    count("smppSubmitSMRespSessionLost_SMSC", {{"smsc", name}});
    ++answered;
    std::shared_ptr<SMPPSession> customer = origin.session.lock();
    if (!customer) continue;
    const uint32_t commandId =
        (tracking & kDataSMTrackingBit) != 0 ? SMPP::DATA_SM : SMPP::SUBMIT_SM;
    if (!handleESMESubmitSMResponse(*customer, false, commandId,
                                    static_cast<uint32_t>(customerSequence), nullptr, "",
                                    kSessionLostStatus)) {
      const std::string esme = origin.systemIdKnown ? origin.systemId : "**unknown**";
      count("sockets_smpp_DN_SubmitSMResp_sendFail");
      count("sockets_smpp_DN_SubmitSMResp_sendFail_ESME", {{"esme", esme}});
    }
  }
  logMessage(LOG_INFO, this, className_, "removeSession",
             "Answered %zu waiting submits with status 0x%08x, session ended %s 0x%llx", answered,
             kSessionLostStatus, name.c_str(), static_cast<ull>(smscid));
}

void SMPPUpstream::logConnectionDetails(SMPPSessionClient& session) {
  const SMPPClientSettings& s = session.settings();
  logMessage(LOG_INFO, this, className_, "logConnectionDetails", "Connected %s 0x%llx (%s:%d/%s)",
             nameOf(s.smscid).c_str(), static_cast<ull>(s.smscid), s.host.c_str(), s.port,
             s.systemId.c_str());
}

// ---- Client behaviour -------------------------------------------------------

void SMPPUpstream::checkConnectOutcome(const std::shared_ptr<SMPPSessionClient>& session) {
  const int fd = session->descriptor();
  if (fd < 0) {
    session->setConnectionState(SMPPSessionClient::kDisconnected);
    handleAsyncConnectOutcome(session, false);
    return;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return;
  if (error != 0) {
    session->closeConnection();
    session->markFailed();
    session->setConnectionState(SMPPSessionClient::kDisconnected);
    handleAsyncConnectOutcome(session, false);
    return;
  }
  sockaddr_in peer{};
  socklen_t peerLength = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) return;
  session->setConnectionState(SMPPSessionClient::kConnected);
  handleAsyncConnectOutcome(session, true);
}

void SMPPUpstream::handleAsyncConnectOutcome(const std::shared_ptr<SMPPSessionClient>& session,
                                             bool connected) {
  const SMPPClientSettings& s = session->settings();
  if (!connected) {
    count("smppUpstreamBindAttempt", {{"result", "fail"}});
    logMessage(LOG_INFO, this, className_, "handleAsyncConnectOutcome",
               "Unable to connect %s 0x%llx (%s:%d/%s)", nameOf(s.smscid).c_str(),
               static_cast<ull>(s.smscid), s.host.c_str(), s.port, s.systemId.c_str());
    removeSession(session);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(entriesMutex_);
    entryLocked(s.smscid).connectAttempts = 0;
  }
  auto it = served_.find(session->sessionId());
  if (it != served_.end()) watchWrite(it->second, false);
  logConnectionDetails(*session);
  initiateBind(*session, now());
  if (it != served_.end()) it->second.checkDue = session->nextCheckDue(now());
}

void SMPPUpstream::initiateBind(SMPPSessionClient& session, uint64_t t) {
  const SMPPClientSettings& s = session.settings();
  logMessage(LOG_INFO, this, className_, "initiateBind", "%s %s 0x%llx (%s:%d/%s)",
             bindLabel(s.bindType), nameOf(s.smscid).c_str(), static_cast<ull>(s.smscid),
             s.host.c_str(), s.port, s.systemId.c_str());
  session.setClosingTime(t + kBindDeadlineMicros);
  session.sendBind();
}

bool SMPPUpstream::dispatchClientPDU(const std::shared_ptr<SMPPSessionClient>& session,
                                     const SMPP::PDUHeader& header, uint64_t t) {
  switch (header.commandId) {
    case SMPP::ENQUIRE_LINK:
      session->sendPDU(header.sequenceNumber, SMPP::ENQUIRE_LINK_RESP, 0, nullptr, 0);
      return false;
    case SMPP::UNBIND:
      session->sendPDU(header.sequenceNumber, SMPP::UNBIND_RESP, 0, nullptr, 0);
      return false;
    case SMPP::DELIVER_SM:
      processDeliverSM(*session, header.sequenceNumber, t);
      return false;
    case SMPP::SUBMIT_SM_RESP:
    case SMPP::DATA_SM_RESP:
      processSubmitSMResp(*session, header.commandId, header.sequenceNumber, header.commandStatus);
      return false;
    case SMPP::BIND_RECEIVER_RESP:
    case SMPP::BIND_TRANSMITTER_RESP:
    case SMPP::BIND_TRANSCEIVER_RESP:
      return handleBindResponse(session, header.commandId, header.commandStatus,
                                header.sequenceNumber);
    default:
      return false;
  }
}

bool SMPPUpstream::handleBindResponse(const std::shared_ptr<SMPPSessionClient>& session,
                                      uint32_t /*commandId*/, uint32_t status,
                                      uint32_t /*sequence*/) {
  session->setClosingTime(0);
  const SMPPClientSettings& s = session->settings();
  const std::string name = nameOf(s.smscid);
  if (status != 0) {
    count("smppUpstreamBindAttempt", {{"result", "fail"}});
    logMessage(LOG_INFO, this, className_, "handleBindResponse",
               "Bind resp %s 0x%llx (%s:%d/%s) NAK (%d)", name.c_str(), static_cast<ull>(s.smscid),
               s.host.c_str(), s.port, s.systemId.c_str(), static_cast<int>(status));
    endSession(session);
    return true;
  }
  count("smppUpstreamBindAttempt", {{"result", "success"}});
  logMessage(LOG_INFO, this, className_, "handleBindResponse",
             "Bind resp %s 0x%llx (%s:%d/%s) OK (%d)", name.c_str(), static_cast<ull>(s.smscid),
             s.host.c_str(), s.port, s.systemId.c_str(), 0);
  const uint32_t state = session->bindState();
  if (state >= BIND_STATE_TRANSCEIVER && state <= BIND_STATE_RECEIVER) {
    gauges_.sessionBound(name, static_cast<int>(state));
    recomputeUnbound();
  }
  return false;
}

bool SMPPUpstream::sendSubmitSM(const std::string& esmeSystemId, uint64_t customerSessionId,
                                uint64_t smscid, uint32_t customerSequence,
                                const SMPP::T_SubmitSM& submit, uint32_t& upstreamSequence,
                                std::string& smscNameOut, uint32_t commandId,
                                FunctionRef<void(uint32_t, const std::string&)> beforeSend) {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  std::shared_ptr<SMPPSessionClient> session;
  for (const auto& candidate : sessions_) {
    const uint32_t state = candidate->bindState();
    if (candidate->settings().smscid == smscid &&
        (state == BIND_STATE_TRANSCEIVER || state == BIND_STATE_TRANSMITTER)) {
      session = candidate;
      break;
    }
  }
  if (!session) return false;
  uint32_t tpsLimit;
  std::shared_ptr<const SlotSeries> series;
  {
    std::lock_guard<std::mutex> entriesLock(entriesMutex_);
    series = seriesOfLocked(smscid);
    tpsLimit = entryLocked(smscid).tpsLimit;
  }
  smscNameOut = series->name;
  const uint64_t t = now();
  if (t < session->tpsWindowStart() || t - session->tpsWindowStart() >= 1000001) {
    session->startTpsWindow(t);
  } else if (session->tpsWindowCount() >= tpsLimit) {
    return false;
  }
  upstreamSequence = session->nextSequenceNumber();
  tracker_.addSubmitSMFor(esmeSystemId, targetIdOfSlot(smscid), customerSessionId,
                          customerSequence, smscid, upstreamSequence);
  if (beforeSend) beforeSend(upstreamSequence, smscNameOut);
  const uint64_t tracking =
      customerSequence | (commandId == SMPP::DATA_SM ? kDataSMTrackingBit : 0);
  if (!session->encodeSubmitSMWithSequence(submit, commandId, tracking, upstreamSequence, t)) {
    // Taken back, so the entry neither answers nor blocks anything later.
    uint64_t sid = 0, seq = 0;
    tracker_.getSessionForSubmitSMResp(sid, seq, smscid, upstreamSequence);
    count("sockets_smpp_UP_SubmitSM_sendFail");
    count("sockets_smpp_UP_SubmitSM_sendFail_SMSC", {{"smsc", smscNameOut}});
    count("smppSubmitSMSendFail");
    count("smppSubmitSMSendFail_SMSC", {{"smsc", smscNameOut}});
    return false;
  }
  const Totals& totals = Totals::get();
  const PairSeries& pair = pairSeries(esmeSystemId, smscNameOut);
  pair.submit.increment();
  series->submit.increment();
  series->submitBind.increment();
  const uint64_t rt = MetricsRegistry::rateTime();
  totals.submitRate.addAt(rt);
  pair.submitRate.addAt(rt);
  series->submitRate.addAt(rt);
  if (auditEnabled() && !submit.destination_addr.empty() && submit.destination_addr[0] >= '0' &&
      submit.destination_addr[0] <= '9') {
    logAudit(this, className_, "sendSubmitSM",
             "sessionid=0x%llx seqno=%llu systemid=%s %s>%llu smsc=0x%llx (%s)",
             static_cast<ull>(customerSessionId), static_cast<ull>(upstreamSequence),
             esmeSystemId.c_str(), submit.source_addr.c_str(),
             static_cast<ull>(strtoull(submit.destination_addr.c_str(), nullptr, 10)),
             static_cast<ull>(smscid), smscNameOut.c_str());
  }
  return true;
}

void SMPPUpstream::processSubmitSMResp(SMPPSessionClient& session, uint32_t commandId,
                                       uint32_t sequence, uint32_t status) {
  const uint64_t smscid = session.settings().smscid;
  const std::shared_ptr<const SlotSeries> series = seriesOf(smscid);
  const std::string& name = series->name;
  if (auditEnabled())
    logAudit(this, className_, "processSubmitSMResp",
             "esmeSession=%p sessionid=0x%llx seqno=%llu cmdstatus=%d",
             static_cast<void*>(&session), static_cast<ull>(smscid), static_cast<ull>(sequence),
             static_cast<int>(status));
  const Totals& totals = Totals::get();
  totals.submitResp.increment();
  totals.submitRespTotal.increment();
  series->submitResp.increment();
  const uint64_t rt = MetricsRegistry::rateTime();
  totals.submitRespRate.addAt(rt);
  totals.submitRespRateAllSmsc.addAt(rt);
  series->submitRespRate.addAt(rt);

  const SMPPSocketHolder& holder = session.socketHolder();
  std::string messageId;
  if (holder.bodyLength() > 1) {
    const char* text = reinterpret_cast<const char*>(holder.body());
    messageId.assign(text, strnlen(text, holder.bodyLength()));
  }
  uint64_t tracking = 0;
  if (!session.takeSubmitTracking(sequence, tracking)) {
    logMessage(LOG_WARNING, this, className_, "processSubmitSMResp",
               "Unable to parse submit_sm_resp from upstream %s %llu", name.c_str(),
               static_cast<ull>(smscid));
    return;
  }
  uint64_t customerSessionId = 0;
  uint64_t customerSequence = 0;
  Tracker::Origin origin;
  if (status == 0) origin.mapMessageId = &messageId;
  if (!tracker_.getSessionForSubmitSMResp(customerSessionId, customerSequence, smscid, sequence,
                                          &origin))
    return;
  std::shared_ptr<SMPPSession> customer = origin.session.lock();
  if (!customer) {
    logMessage(LOG_WARNING, this, className_, "processSubmitSMResp",
               "Unable to pass submit_sm_resp to ESME %llu from upstream %s %llu",
               static_cast<ull>(customerSessionId), name.c_str(), static_cast<ull>(smscid));
    return;
  }
  const uint32_t customerCommand =
      (tracking & kDataSMTrackingBit) != 0 || commandId == SMPP::DATA_SM_RESP ? SMPP::DATA_SM
                                                                              : SMPP::SUBMIT_SM;
  const bool known = origin.systemIdKnown;
  const std::string esme = known ? std::move(origin.systemId) : std::string("**unknown**");
  bool sent;
  if (status != 0) {
    if (cdr_.mode() != CDRMode::NONE) cdr_.updateCDRWithSubmitFail(smscid, sequence, status);
    sent = handleESMESubmitSMResponse(*customer, false, customerCommand,
                                      static_cast<uint32_t>(customerSequence), nullptr, "",
                                      status & 0xFFFF);
  } else {
    if (!known) {
      logMessage(LOG_WARNING, this, className_, "processSubmitSMResp",
                 "Unknown ESME session ID %llu", static_cast<ull>(customerSessionId));
      return;
    }
    logMessage(LOG_FINE, this, className_, "processSubmitSMResp",
               "submit_sm_resp %s 0x%llx seqno=%d cmdstatus=%d message_id %s", name.c_str(),
               static_cast<ull>(smscid), static_cast<int>(sequence), 0, messageId.c_str());
    if (cdr_.mode() != CDRMode::NONE) cdr_.updateCDRWithMessageID(smscid, sequence, messageId);
    sent =
        handleESMESubmitSMResponse(*customer, true, customerCommand,
                                   static_cast<uint32_t>(customerSequence), nullptr, messageId, 0);
  }
  if (!sent) {
    count("sockets_smpp_DN_SubmitSMResp_sendFail");
    count("sockets_smpp_DN_SubmitSMResp_sendFail_ESME", {{"esme", esme}});
  }
  if (status == 0) deliverEarlyReceipt(session, messageId);
}

void SMPPUpstream::deliverEarlyReceipt(SMPPSessionClient& session, const std::string& messageId) {
  const uint64_t smscid = session.settings().smscid;
  std::vector<uint8_t> body;
  // Keyed by target: the receipt may have come on another bind of it (the
  // receiver of a transmitter and receiver pair).
  if (!deliverQueue_.checkUnknown(targetIdOfSlot(smscid), messageId, &body)) return;
  logMessage(LOG_INFO, &deliverQueue_, "DeliverSMQueue", "checkUnknown",
             "submit_sm_resp smscid 0x%llx message_id %s", static_cast<ull>(smscid),
             messageId.c_str());
  SMPP::T_SubmitSM deliver;
  if (!SMPP::parseDeliverSM(body.data(), body.size(), deliver, now())) return;
  const std::string text(deliver.short_message.begin(), deliver.short_message.end());
  SMPP::ReceiptInfo info = SMPP::parseReceiptText(text, &deliver.tlvs);
  std::string esme;
  if (!tracker_.getMessageIDMapping(smscid, messageId, esme)) return;
  deliverReceipt(session, nameOf(smscid), esme, messageId, info, std::move(body));
}

void SMPPUpstream::deliverReceipt(SMPPSessionClient& session, const std::string& name,
                                  const std::string& esme, const std::string& messageId,
                                  const SMPP::ReceiptInfo& info, std::vector<uint8_t> body) {
  const uint64_t smscid = session.settings().smscid;
  const PairSeries& pair = pairSeries(esme, name);
  pair.deliver.increment();
  pair.deliverEsme.increment();
  const uint64_t rt = MetricsRegistry::rateTime();
  pair.deliverRate.addAt(rt);
  pair.deliverRateEsme.addAt(rt);
  if (cdr_.mode() != CDRMode::NONE)
    cdr_.updateCDRWithDeliveryReceipt(smscid, name, messageId, info.state, info.error,
                                      info.doneDate);
  deliverQueue_.pushDeliverSM(esme, std::move(body));
}

void SMPPUpstream::sendDeliverSMResp(SMPPSessionClient& session, uint32_t sequence,
                                     const std::vector<uint8_t>& body) {
  if (!session.sendPDU(sequence, SMPP::DELIVER_SM_RESP, 0, body)) {
    const std::string name = nameOf(session.settings().smscid);
    count("sockets_smpp_UP_DeliverSMResp_sendFail");
    count("sockets_smpp_UP_DeliverSMResp_sendFail_SMSC", {{"smsc", name}});
  }
}

std::optional<std::string> SMPPUpstream::moSystemIdFor(const std::string& text) {
  std::string esme = config_.inboundMOSystemId(text);
  if (esme.empty()) return std::nullopt;
  return esme;
}

void SMPPUpstream::processDeliverSM(SMPPSessionClient& session, uint32_t sequence, uint64_t t) {
  const uint64_t smscid = session.settings().smscid;
  const std::shared_ptr<const SlotSeries> series = seriesOf(smscid);
  const std::string& name = series->name;
  const Totals& totals = Totals::get();
  totals.deliver.increment();
  series->deliver.increment();
  const uint64_t rt = MetricsRegistry::rateTime();
  totals.deliverRate.addAt(rt);
  series->deliverRate.addAt(rt);

  const SMPPSocketHolder& holder = session.socketHolder();
  std::vector<uint8_t> body(holder.body(), holder.body() + holder.bodyLength());
  SMPP::T_SubmitSM deliver;
  if (!SMPP::parseDeliverSM(body.data(), body.size(), deliver, t)) {
    logMessage(LOG_SEVERE, this, className_, "processDeliverSM",
               "deliver_sm PARSE ISSUE session=%llu seqno=%d",
               static_cast<ull>(session.sessionId()), static_cast<int>(sequence));
    return;
  }
  static const std::vector<uint8_t> emptyId = [] {
    std::vector<uint8_t> b;
    SMPP::encodeMessageIdBody("", b);
    return b;
  }();

  if ((deliver.esm_class & 0x24) != 0) {
    totals.receipt.increment();
    series->receipt.increment();
    totals.receiptRate.addAt(rt);
    series->receiptRate.addAt(rt);
    const std::string_view text(reinterpret_cast<const char*>(deliver.short_message.data()),
                                deliver.short_message.size());
    const SMPP::ReceiptInfo info = SMPP::parseReceiptText(text, &deliver.tlvs);
    logMessage(LOG_FINE, this, className_, "processDeliverSM",
               "deliver_sm DLR session=0x%llx seqno=%d smsc_msg_id=%s state=%d error=%d",
               static_cast<ull>(smscid), static_cast<int>(sequence), info.messageId.c_str(),
               info.state, static_cast<int>(info.error));
    std::string esme;
    if (tracker_.getMessageIDMapping(smscid, info.messageId, esme)) {
      deliverReceipt(session, name, esme, info.messageId, info, std::move(body));
    } else {
      count("smppDLRMessageIDUnknown");
      count("smppDLRMessageIDUnknown_SMSC", {{"smsc", name}});
      const size_t size = deliverQueue_.addUnknown(targetIdOfSlot(smscid), info.messageId, body, t);
      logMessage(LOG_INFO, &deliverQueue_, "DeliverSMQueue", "addUnknown",
                 "size=%d smscid 0x%llx message_id %s", static_cast<int>(size),
                 static_cast<ull>(smscid), info.messageId.c_str());
    }
    sendDeliverSMResp(session, sequence, emptyId);
    return;
  }

  // The bare name is the labelled family, never exposed on its own: the
  // total has its own name.
  count("smppDeliverSMMOTotal");
  count("smppDeliverSMMO_SMSC", {{"smsc", name}});
  rate("smppDeliverSMMORate");
  rate("smppDeliverSMMORate_SMSC", {{"smsc", name}});
  const std::string text =
      SMPP::decodeMessageText(deliver.short_message, deliver.esm_class, deliver.data_coding);
  std::optional<std::string> esme;
  if (!text.empty()) esme = moSystemIdFor(text);
  if (!esme) esme = moSystemIdFor(deliver.destination_addr);
  if (!esme) {
    count("smppDeliverSMMOUnknownESME");
    count("smppDeliverSMMOUnknownESME_SMSC", {{"smsc", name}});
    sendDeliverSMResp(session, sequence, emptyId);
  } else {
    count("smppDeliverSMMO_ESME", {{"esme", *esme}});
    count("smppDeliverSMMO", {{"esme", *esme}, {"smsc", name}});
    deliverQueue_.pushDeliverSM(*esme, std::move(body));
    if (cdr_.mode() != CDRMode::NONE) {
      logMessage(LOG_FINE, this, className_, "queueMOEvent",
                 "Queueing MO event - ESME: %s, SMSC: 0x%llx (%s), SeqNo: %llu, IP: %s",
                 esme->c_str(), static_cast<ull>(smscid), name.c_str(), static_cast<ull>(sequence),
                 "");
      try {
        cdr_.createCDRMO(deliver, *esme, name, smscid, sequence);
      } catch (const std::exception& e) {
        logMessage(LOG_WARNING, this, className_, "queueMOEvent", "Failed to create CDR: %s",
                   e.what());
      }
    }
    std::vector<uint8_t> response = emptyId;
    for (const SMPP::TLV& tlv : deliver.tlvs) {
      if (tlv.tag == kTagMOEcho && !tlv.value.empty()) {
        SMPP::appendTLV(response, tlv);
        break;
      }
    }
    sendDeliverSMResp(session, sequence, response);
  }
  if (auditEnabled())
    logAudit(this, className_, "processDeliverSM", "esmeSystemID=(%s) [%d.%d]%s>[%d.%d]%s smsc=%s",
             esme ? esme->c_str() : "", deliver.source_addr_ton, deliver.source_addr_npi,
             deliver.source_addr.c_str(), deliver.dest_addr_ton, deliver.dest_addr_npi,
             deliver.destination_addr.c_str(), name.c_str());
}

// ---- Views ----------------------------------------------------------------

std::vector<std::shared_ptr<SMPPSessionClient>> SMPPUpstream::sessionsCopy() {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  return sessions_;
}

std::map<uint64_t, SMSCEntry> SMPPUpstream::entriesCopy() {
  std::lock_guard<std::mutex> lock(entriesMutex_);
  return entries_;
}

std::vector<SMSCEntryStatus> SMPPUpstream::entryStatuses() {
  const auto sessions = sessionsCopy();
  std::map<uint64_t, SMSCEntry> entries;
  std::map<uint64_t, std::string> names;
  {
    std::lock_guard<std::mutex> lock(entriesMutex_);
    entries = entries_;
    names = names_;
  }
  std::vector<SMSCEntryStatus> out;
  out.reserve(entries.size());
  for (const auto& [smscid, entry] : entries) {
    SMSCEntryStatus status;
    status.smscId = smscid;
    status.smscName = names[smscid];
    std::shared_ptr<SMPPSessionClient> live;
    if (entry.sessionActive) {
      for (const auto& session : sessions)
        if (session->settings().smscid == smscid) live = session;
    }
    if (live) {
      status.connected = live->connectionState() == SMPPSessionClient::kConnected;
      status.bindType = live->settings().bindType;
      status.bindState = static_cast<int>(live->bindState());
      status.host = live->settings().host;
      status.port = live->settings().port;
      status.systemId = live->settings().systemId;
      status.adminDown = false;
    } else {
      status.bindType = entry.bindType;
      status.host = entry.host;
      status.port = entry.port;
      status.systemId = entry.systemId;
      status.adminDown = entry.adminDown;
    }
    out.push_back(std::move(status));
  }
  return out;
}
