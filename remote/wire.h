// The wire form of remote calls: one HTTP request per call, JSON bodies, as client and central
// service both speak it.
//
//   POST /rds/<ProgID>/<Method>     {"args": [ ... ]}
//   200  {"result": true|false|{"fields": [...], "rows": [[...], ...]}, "byref": {"4": "..."}}
//   4xx/5xx {"error": {"number": n, "description": "..."}}
//
// Arguments are texts (strings), whole numbers (integers), one-dimensional text arrays (arrays of
// strings) and two-dimensional ones (arrays of rows of strings, every row the same length).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "remote/recordarrays.h"

namespace veldon::wire {

// One argument of a call.
using Argument = std::variant<std::string, std::int64_t, TextArray, TextTable>;

// A recordset as GETSQL answers it; values are texts or Null.
struct RowSet {
    std::vector<std::string> fields;
    std::vector<std::vector<std::optional<std::string>>> rows;
};

using Result = std::variant<bool, RowSet>;

struct Answer {
    Result result = false;
    std::map<std::size_t, std::string> byref;  // by-reference texts changed by the server
};

// Raised when a body is not of the protocol's form; `what()` says where.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string encodeRequest(const std::vector<Argument>& args);
std::vector<Argument> decodeRequest(const std::string& body);

std::string encodeAnswer(const Answer& answer);
Answer decodeAnswer(const std::string& body);

std::string encodeError(long number, const std::string& description);
// The error of an error body; empty when the body is not of that form.
std::optional<std::pair<long, std::string>> decodeError(const std::string& body);

// The request path of a call, with ProgID and method percent-encoded where URL syntax needs it.
std::string callPath(const std::string& progId, const std::string& method);
// Inverse of callPath; empty when `path` is not of the form /rds/<ProgID>/<Method>.
std::optional<std::pair<std::string, std::string>> parseCallPath(const std::string& path);

}  // namespace veldon::wire
