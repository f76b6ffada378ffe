#pragma once

// Checks of a Result or Status that say, when they fail, which error there was:
//   ASSERT_OK(result) / EXPECT_OK(result)  — succeeded, else prints domain, code and message;
//   ASSERT_ERROR / EXPECT_ERROR(result, domain, code) — failed with exactly that error.
// Each takes more context with <<, like any GoogleTest check.

#include <string>

#include <gtest/gtest.h>

#include "core/error.h"

namespace nimbra::testing {

// `domain code "message"`, then the extra data as key=value.
inline std::string describe(const Error& error) {
  std::string text = error.domain + " " + std::to_string(error.code) + " \"" + error.message + "\"";
  for (const auto& [key, value] : error.userInfo) text += " " + key + "=" + value;
  return text;
}

template <typename R>
::testing::AssertionResult succeeded(const char* expression, const R& result) {
  if (result.ok()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << expression << " failed: " << describe(result.error());
}

template <typename R>
::testing::AssertionResult failedWith(const char* expression, const char*, const char*,
                                      const R& result, const std::string& domain, int code) {
  if (result.ok()) {
    return ::testing::AssertionFailure()
           << expression << " succeeded; expected the error " << domain << " " << code;
  }
  if (result.error().is(domain, code)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << expression << " failed with " << describe(result.error())
                                       << "; expected " << domain << " " << code;
}

}  // namespace nimbra::testing

#define ASSERT_OK(result) ASSERT_PRED_FORMAT1(::nimbra::testing::succeeded, result)
#define EXPECT_OK(result) EXPECT_PRED_FORMAT1(::nimbra::testing::succeeded, result)
#define ASSERT_ERROR(result, domain, code) \
  ASSERT_PRED_FORMAT3(::nimbra::testing::failedWith, result, domain, code)
#define EXPECT_ERROR(result, domain, code) \
  EXPECT_PRED_FORMAT3(::nimbra::testing::failedWith, result, domain, code)
