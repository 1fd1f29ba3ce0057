// Feeds arbitrary bytes to the readers of the lookup and ELI answers, and
// builds an ELI request from the same bytes taken as customer texts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/log.h"
#include "lookup/eli_document.h"
#include "lookup/http_answers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  setLogLevel(LOG_SEVERE);
  std::string_view body(reinterpret_cast<const char*>(data), size);
  const char* fault = nullptr;
  for (long status : {200L, 404L, 500L}) {
    nlohmann::json answer;
    if (parseLookupAnswer(status, body, answer, fault)) {
      if (!answer.is_object() || status >= 500) abort();
      (void)answer.dump();
    }
    nlohmann::json eli;
    if (parseELIAnswer(status, body, eli, fault)) {
      if (!eli.is_object() || status != 200) abort();
      const ELIDecision d = readELIDecision(eli);
      if (d.action == ELIDecision::Action::Continue &&
          (d.commandStatus != 0x45 || d.messageState != 5 || d.networkError != 0))
        abort();
    }
  }
  SMPP::T_SubmitSM sm;
  sm.source_addr = std::string(body);
  sm.tlvs.push_back({0x1D, static_cast<uint32_t>(size), {data, data + size}});
  const nlohmann::json doc = buildELIRequest(std::string(body), "127.0.0.1", sm, 0);
  // Must not throw: the document is valid JSON whatever the octets.
  if (nlohmann::json::parse(doc.dump()) != doc) abort();
  if (isValidUtf8(body) != (replaceInvalidUtf8(body) == body)) abort();
  return 0;
}
