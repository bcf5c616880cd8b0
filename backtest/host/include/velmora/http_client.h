#pragma once

// The signed client of the velmora cloud service. It sends GET requests for API paths below a base address
// given at construction and returns the decoded JSON payload of the answer. Signing is a bearer token sent
// in the Authorization header when one is given.
//
// A client is an immutable value: it holds only its base address and token, opens a fresh connection for
// every request, and may be copied and used from several threads at once.
//
// Every failure of a request (transport failure, a status outside 200..299, a body that is not a JSON
// object) raises HttpError; `status()` tells a status failure (the status) from the others (0).

#include <string>

#include "velmora/host_export.h"
#include "velmora/value.h"

namespace velmora {

// Path prefix of the cloud API; request paths are built as API_PREFIX + "/...".
inline constexpr char API_PREFIX[] = "/api/v1";

class VELMORA_HOST_EXPORT HttpClient {
 public:
  // `base_url` is the scheme and authority (and an optional path) that request paths are appended to, as
  // plain text: "https://cloud.example.com" with "/api/v1/x" requests "https://cloud.example.com/api/v1/x".
  // An empty `token` sends no Authorization header.
  explicit HttpClient(std::string base_url, std::string token = {});

  // Requests the base address + `path` and returns the decoded body: a JSON object as a map Value, or null for
  // an empty body or a JSON null. Redirects are not followed; TLS certificates are verified.
  Value get(const std::string& path) const;

  const std::string& base_url() const { return base_url_; }
  bool has_token() const { return !token_.empty(); }

 private:
  std::string base_url_;
  std::string token_;
};

}  // namespace velmora
