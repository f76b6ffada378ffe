#include "core/error.h"

#include <cstring>

namespace nimbra {

Error Error::posix(int errnoValue, const std::string& context) {
  std::string text = std::strerror(errnoValue);
  if (!context.empty()) text = context + ": " + text;
  return Error{kPosixDomain, errnoValue, std::move(text), {}};
}

}  // namespace nimbra
