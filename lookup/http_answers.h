#pragma once

#include <nlohmann/json.hpp>
#include <string_view>

// Reading of the answers of the MSISDN lookup and ELI services. The bodies
// come from outside the process, so these never throw: what cannot be used
// is a failed attempt, named in `fault` for the log line. Safe from any
// thread.

// Deepest nesting of arrays and objects accepted in an answer; the answers
// we read are flat, and deep nesting would only cost stack when logged.
inline constexpr int kMaxAnswerDepth = 32;

// A lookup answer: a JSON object with any status but a 5xx (a 404 naming
// an unknown number is an answer; a failing server is not a network to
// remember).
bool parseLookupAnswer(long status, std::string_view body, nlohmann::json& answer,
                       const char*& fault);

// An ELI answer: a JSON object with a 2xx status.
bool parseELIAnswer(long status, std::string_view body, nlohmann::json& answer,
                    const char*& fault);

// The JSON object in `body`, or false (not JSON, not an object, too deep).
bool parseAnswerObject(std::string_view body, nlohmann::json& answer, const char*& fault);
