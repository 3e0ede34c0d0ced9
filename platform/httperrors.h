// The errors both HTTP clients raise alike (httpclient_httplib.cpp, httpclient_winhttp.cpp), so a
// dump file names a cause in the same words on every platform.
#pragma once

#include <chrono>
#include <string>

#include "platform/error.h"
#include "platform/httpclient.h"

namespace veldon::http {

// "60 s", "0.5 s".
inline std::string secondsText(std::chrono::milliseconds ms) {
    const auto whole = ms.count() / 1000;
    const auto tenths = ms.count() % 1000 / 100;
    return std::to_string(whole) + (tenths ? "." + std::to_string(tenths) : "") + " s";
}

inline Error tooLarge(const std::string& where) {
    return Error(errc::ProviderError, "the answer of " + where + " is larger than " +
                                          std::to_string(MaxAnswerBytes / 1024 / 1024) +
                                          " MB: not the protocol");
}

inline Error late(const std::string& where, std::chrono::milliseconds deadline) {
    return Error(errc::Timeout,
                 "no complete answer from " + where + " within " + secondsText(deadline));
}

inline Error cannotConnect(const std::string& where) {
    return Error(errc::CannotConnect, "cannot connect to " + where);
}

inline Error noConnectionInTime(const std::string& where) {
    return Error(errc::Timeout, "no connection to " + where + " within the time allowed");
}

inline Error noAnswer(const std::string& where) {
    return Error(errc::Timeout,
                 "no answer from " + where + " (the connection was closed or timed out)");
}

inline Error notSent(const std::string& where) {
    return Error(errc::CannotConnect, "the request could not be sent to " + where);
}

inline Error noTls(const std::string& where) {
    return Error(errc::CannotConnect, "no TLS connection to " + where +
                                          " (the service does not speak HTTPS there, or it and "
                                          "this side share no TLS version)");
}

inline Error wrongHost(const std::string& where, const std::string& host) {
    return Error(errc::CannotConnect,
                 "the certificate of " + where + " is not made out to the host name " + host);
}

inline Error notTrusted(const std::string& where, const std::string& cause) {
    return Error(errc::CannotConnect, "the certificate of " + where + " is not trusted: " + cause);
}

}  // namespace veldon::http
