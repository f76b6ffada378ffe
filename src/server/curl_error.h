#pragma once

// The translation of curl's results lives with the HTTP client; kept here for the callers
// that name it by its old place.
#include "http/curl_error.h"
