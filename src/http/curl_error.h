#pragma once

#include <string>

#include "core/error.h"

namespace nimbra {

// Transport failures use the URL-loading error domain and codes, so callers can tell a
// time-out from a refused connection or a cancel without knowing which HTTP library ran.
inline constexpr char kUrlErrorDomain[] = "NSURLErrorDomain";
inline constexpr int kUrlErrorCancelled = -999;
inline constexpr int kUrlErrorBadUrl = -1000;
inline constexpr int kUrlErrorTimedOut = -1001;
inline constexpr int kUrlErrorUnsupportedUrl = -1002;
inline constexpr int kUrlErrorCannotFindHost = -1003;
inline constexpr int kUrlErrorCannotConnectToHost = -1004;
inline constexpr int kUrlErrorNetworkConnectionLost = -1005;
inline constexpr int kUrlErrorBadServerResponse = -1011;
inline constexpr int kUrlErrorUnknown = -1;
inline constexpr int kUrlErrorSecureConnectionFailed = -1200;

// The one place where a libcurl result code (a CURLcode, passed as int to keep curl's
// header out of callers) becomes an Error. The message is the text shown to the user; curl's
// own code and explanation (`detail`, e.g. its error buffer) are kept in userInfo under
// "curlCode" and "detail".
Error curlError(int curlCode, const std::string& detail);

// The error of a transfer its caller stopped (curl's "aborted by callback").
Error cancellationError(const std::string& detail);

}  // namespace nimbra
