#include "lookup/http_answers.h"

#include "base/json_depth.h"

bool parseAnswerObject(std::string_view body, nlohmann::json& answer, const char*& fault) {
  if (jsonNestingExceeds(body, static_cast<size_t>(kMaxAnswerDepth))) {
    fault = "answer nested too deeply";
    return false;
  }
  nlohmann::json parsed = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  if (parsed.is_discarded()) {
    fault = "answer is not JSON";
    return false;
  }
  if (!parsed.is_object()) {
    fault = "answer is not a JSON object";
    return false;
  }
  answer = std::move(parsed);
  return true;
}

bool parseLookupAnswer(long status, std::string_view body, nlohmann::json& answer,
                       const char*& fault) {
  if (status >= 500 && status <= 599) {
    fault = "server error status";
    return false;
  }
  return parseAnswerObject(body, answer, fault);
}

bool parseELIAnswer(long status, std::string_view body, nlohmann::json& answer,
                    const char*& fault) {
  if (status < 200 || status > 299) {
    fault = "status other than 2xx";
    return false;
  }
  return parseAnswerObject(body, answer, fault);
}
