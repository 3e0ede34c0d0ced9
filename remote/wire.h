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

#include <cstddef>
#include <cstdint>
#include <functional>
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

// Bounds on what one decoded request may hold; 0 means no bound.
struct DecodeLimits {
    std::size_t maxElements = 0;  // texts in all arguments together
    std::size_t maxSlots = 0;     // texts in one row of a two-dimensional array
    // Told of the memory the decoded arguments are about to take, in steps of at most 1 MiB (each
    // argument counts sizeof(Argument); an array what its element storage grows by, which doubles
    // as texts arrive; a text longer than the small-string buffer, 15, its length + 1 more);
    // answering false stops the decode with
    // DecodeBudgetError. What was told before a decode fails is the caller's to give back.
    std::function<bool(std::size_t bytes)> reserve = nullptr;
};

// Raised when a request holds more texts or slots than the limits allow (answered 413).
class DecodeLimitError : public ProtocolError {
public:
    using ProtocolError::ProtocolError;
};

// Raised when `reserve` refused (the service is short of memory: answered 503).
class DecodeBudgetError : public ProtocolError {
public:
    using ProtocolError::ProtocolError;
};

std::string encodeRequest(const std::vector<Argument>& args);
// Reads the body as it is parsed, never holding more than the arguments it builds. The limits are
// checked as texts arrive and stop the decode at once; a fault of form is only reported once the
// whole body proved to be JSON, so that a body that is not JSON is always reported as such. When
// "args" appears more than once, the last one counts (texts under every one count toward limits).
std::vector<Argument> decodeRequest(const std::string& body, const DecodeLimits& limits = {});

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
