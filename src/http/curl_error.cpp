#include "http/curl_error.h"

#include <curl/curl.h>

namespace nimbra {
namespace {

struct Translation {
  int code;
  const char* message;
};

Translation translate(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return {kUrlErrorTimedOut, "请求超时。"};
    case CURLE_ABORTED_BY_CALLBACK:
      return {kUrlErrorCancelled, "已取消"};
    case CURLE_COULDNT_CONNECT:
      return {kUrlErrorCannotConnectToHost, "未能连接到服务器。"};
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return {kUrlErrorCannotFindHost, "未能找到使用指定主机名的服务器。"};
    case CURLE_URL_MALFORMAT:
      return {kUrlErrorBadUrl, "URL 无效。"};
    case CURLE_UNSUPPORTED_PROTOCOL:
      return {kUrlErrorUnsupportedUrl, "不支持的 URL。"};
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
      return {kUrlErrorSecureConnectionFailed, "发生了 SSL 错误，无法建立与该服务器的安全连接。"};
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
      return {kUrlErrorNetworkConnectionLost, "网络连接已中断。"};
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_BAD_CONTENT_ENCODING:
      return {kUrlErrorBadServerResponse, "服务器响应错误。"};
    default:
      return {kUrlErrorUnknown, "发生了未知网络错误。"};
  }
}

}  // namespace

Error curlError(int curlCode, const std::string& detail) {
  CURLcode code = static_cast<CURLcode>(curlCode);
  Translation translation = translate(code);
  Error error = Error::make(kUrlErrorDomain, translation.code, translation.message);
  error.userInfo["curlCode"] = std::to_string(curlCode);
  error.userInfo["detail"] = detail.empty() ? curl_easy_strerror(code) : detail;
  return error;
}

Error cancellationError(const std::string& detail) {
  return curlError(CURLE_ABORTED_BY_CALLBACK, detail);
}

}  // namespace nimbra
