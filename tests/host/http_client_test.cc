#include "velmora/http_client.h"

#include <string>

#include <gtest/gtest.h>

#include "support/expect_error.h"
#include "support/loopback_server.h"
#include "velmora/errors.h"

namespace velmora {
namespace {

using testing::expect_error;

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.http().Get(R"(/api/v1/answer/(\w+))", [this](const httplib::Request& req, httplib::Response& res) {
      authorization = req.has_header("Authorization") ? req.get_header_value("Authorization") : "<none>";
      const std::string name = req.matches[1];
      if (name == "object") res.set_content(R"({"z": 1, "a": {"b": [true, null]}, "m": "text"})", "application/json");
      if (name == "empty") res.set_content("", "application/json");
      if (name == "null") res.set_content(" null\n", "application/json");
      if (name == "list") res.set_content("[1, 2]", "application/json");
      if (name == "html") res.set_content("<html>maintenance</html>", "text/html");
      if (name == "failing") {
        res.status = 500;
        res.set_content(R"({"error": "boom"})", "application/json");
      }
      if (name == "moved") res.set_redirect("/api/v1/answer/object", 302);
    });
    server.start();
  }

  Value get(const std::string& name, const std::string& token = "") {
    return HttpClient(server.url(""), token).get(std::string(API_PREFIX) + "/answer/" + name);
  }
  std::string url(const std::string& name) { return server.url(std::string(API_PREFIX) + "/answer/" + name); }

  testing::LoopbackServer server;
  std::string authorization;
};

TEST_F(HttpClientTest, DecodesAnObjectInItsOrderAndSignsWhenGivenAToken) {
  const Value payload = get("object", "t0ken");
  EXPECT_EQ(payload.dump(), R"({"z":1,"a":{"b":[true,null]},"m":"text"})");
  EXPECT_EQ(authorization, "Bearer t0ken");
  get("object");
  EXPECT_EQ(authorization, "<none>");
}

TEST_F(HttpClientTest, EmptyBodyAndJsonNullAreNoValue) {
  EXPECT_TRUE(get("empty").is_null());
  EXPECT_TRUE(get("null").is_null());
}

TEST_F(HttpClientTest, FailuresAreHttpErrors) {
  struct Case {
    std::string name;
    std::string message;
    long status;
  } cases[] = {
      {"failing", "GET " + url("failing") + " answered HTTP 500", 500},
      {"moved", "GET " + url("moved") + " answered HTTP 302", 302},
      {"html", "GET " + url("html") + " answered a body that is not JSON", 0},
      {"list", "GET " + url("list") + " answered JSON that is not an object", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto error = expect_error<HttpError>([&] { get(c.name); }, c.message);
    testing::expect_kind<HttpError>(error, [&](const HttpError& e) { EXPECT_EQ(e.status(), c.status); });
  }
}

TEST_F(HttpClientTest, UnreachableServerIsAnHttpErrorWithoutStatus) {
  const std::string base = "http://127.0.0.1:" + std::to_string(testing::refused_port());
  try {
    HttpClient(base).get("/api/v1/x");
    ADD_FAILURE() << "nothing raised";
  } catch (const HttpError& error) {
    EXPECT_EQ(error.status(), 0);
    EXPECT_TRUE(std::string(error.what()).starts_with("GET " + base + "/api/v1/x failed: ")) << error.what();
    // The transport's own failure is chained as the cause.
    testing::expect_kind<TransportError>(testing::nested_cause(std::current_exception()), [](const TransportError& cause) {
      EXPECT_STREQ(cause.what(), "Couldn't connect to server");
    });
  }
}

}  // namespace
}  // namespace velmora
