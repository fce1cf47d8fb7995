// The CGI environment: exactly these variables, in this order, as bytes.
#include "server/cgi/CgiEnvironment.h"

#include <gtest/gtest.h>

#include "server/core/Runtime.h"

namespace zevra {
namespace {

class CgiEnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedStartup_ = g_startup;
    savedSettings_ = g_settings;
    g_startup.computerName = std::string("box");
    g_startup.windowsDirectory = std::string("/");
    g_settings.Port = 8080;
    g_settings.ServerAdmin = std::string("admin@example.test");
  }
  void TearDown() override {
    g_startup = savedStartup_;
    g_settings = savedSettings_;
  }

  std::vector<std::string> Build(const std::string& headerLines, const std::string& method = "GET") {
    HttpRequest request;
    request.HeaderLines = headerLines;
    return BuildCgiEnvironment(method, request, "/app/a b.php", "/srv/site/app/a b.php", "x=1&y=é", "127.0.0.2",
                               "50123", "0.0.0.0", "/srv/site/", "12", "text/plain", "/srv/site/app/a b.php",
                               "/app/a b.php?x=1&y=é");
  }

  StartupValues savedStartup_;
  ServerSettings savedSettings_;
};

TEST_F(CgiEnvironmentTest, FixedEntriesFollowTheHeaderVariablesInOrder) {
  std::vector<std::string> expected = {
      "SERVER_NAME=box",
      "HTTP_HOST=a.test",
      "HTTP_USER_AGENT=x",
      "SERVER_SOFTWARE=Zevra/0.2.9",
      "SERVER_PORT=8080",
      "GATEWAY_INTERFACE=CGI/1.1",
      "CONTENT_TYPE=text/plain",
      "CONTENT_LENGTH=12",
      "SCRIPT_NAME=/app/a b.php",
      "SCRIPT_FILENAME=/srv/site/app/a b.php",
      "REQUEST_METHOD=POST",
      "SERVER_PROTOCOL=HTTP/1.1",
      "QUERY_STRING=x=1&y=é",
      "REDIRECT_STATUS=200",
      "REMOTE_ADDR=127.0.0.2",
      "REMOTE_HOST=127.0.0.2",
      "DOCUMENT_ROOT=/srv/site/",
      "SERVER_ADMIN=admin@example.test",
      "REMOTE_PORT=50123",
      "LOCAL_ADDR=0.0.0.0",
      "SERVER_ADDR=0.0.0.0",
      "PATH_TRANSLATED=/srv/site/app/a b.php",
      "REQUEST_URI=/app/a b.php?x=1&y=é",
      "SYSTEMROOT=/",
  };
  EXPECT_EQ(Build("Host: a.test\r\nUser-Agent: x", "POST"), expected);
}

TEST_F(CgiEnvironmentTest, NoHeadersGiveOnlyTheFixedEntries) {
  std::vector<std::string> env = Build("");
  ASSERT_EQ(env.size(), 22u);
  EXPECT_EQ(env[0], "SERVER_NAME=box");
  EXPECT_EQ(env[1], "SERVER_SOFTWARE=Zevra/0.2.9");
  EXPECT_EQ(env[8], "REQUEST_METHOD=GET");
}

// The header variables alone, between SERVER_NAME and SERVER_SOFTWARE.
std::vector<std::string> HeaderPart(const std::vector<std::string>& env) {
  return std::vector<std::string>(env.begin() + 1, env.end() - 21);
}

TEST_F(CgiEnvironmentTest, HeaderNamesAreUpperCasedWithUnderscoresAndRepeatsAreKept) {
  EXPECT_EQ(HeaderPart(Build("content-type: a/b\r\nX-Thing: 1\r\nx-thing: 2\r\nCookie: k=v; j=w\r\nPath: /evil")),
            (std::vector<std::string>{"HTTP_CONTENT_TYPE=a/b", "HTTP_X_THING=1", "HTTP_X_THING=2",
                                      "HTTP_COOKIE=k=v; j=w", "HTTP_PATH=/evil"}));
}

TEST_F(CgiEnvironmentTest, ProxyHeaderAndNonTokenNamesAndEmptyLinesGiveNothing) {
  EXPECT_EQ(HeaderPart(Build("Proxy: http://evil:1\r\nPROXY: x\r\n\r\nA=B: c\r\nSp ace: d\r\n中文: e\r\n"
                             "Tab\t: f\r\nno separator\r\nKept: yes")),
            (std::vector<std::string>{"HTTP_KEPT=yes"}));
  // Proxy-Authorization is a different header and stays.
  EXPECT_EQ(HeaderPart(Build("Proxy-Authorization: b")), (std::vector<std::string>{"HTTP_PROXY_AUTHORIZATION=b"}));
}

TEST_F(CgiEnvironmentTest, ValueKeepsEverythingAfterTheFirstSeparator) {
  EXPECT_EQ(HeaderPart(Build("Referer: http://a/?q=1: 2")),
            (std::vector<std::string>{"HTTP_REFERER=http://a/?q=1: 2"}));
}

TEST_F(CgiEnvironmentTest, NothingOfTheServersOwnEnvironment) {
  for (const std::string& entry : Build("Host: a")) {
    EXPECT_NE(entry.rfind("PATH=", 0), 0u) << entry;
    EXPECT_NE(entry.rfind("TEMP=", 0), 0u) << entry;
    EXPECT_NE(entry.rfind("HOME=", 0), 0u) << entry;
  }
}

}  // namespace
}  // namespace zevra
