#include "updater/log/client_log_reporter.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/script_server.h"

namespace {

using namespace kestra::log;
using kestra::test::Script;
using kestra::test::ScriptServer;

// The collection server: every request is answered with a short 200.
ScriptServer CollectionServer() {
  return ScriptServer(
      Script::Answer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"));
}

constexpr int kWaitMs = 10000;

TEST(ClientLogBody, FieldsInOrderWithoutEncoding) {
  EXPECT_EQ(ClientLogBody("kestra3", "default", "default", "default", "a&b=c 中", 3),
            "&game=vopa&app=kestra3&script_ver=default&engine_ver=default&tqmsvc_ver=default"
            "&content=a&b=c 中&priority=3");
}

TEST(ClientLogReporter, PostsTheFormBodyToTheEndpoint) {
  ScriptServer server = CollectionServer();
  {
    ClientLogReporter reporter(server.Url("/ClientLog/main.py"));
    reporter.SetAppName("kestra3");
    reporter.Report(0, "补丁 %s 失败 & code=%d", "p1", 5);
    auto requests = server.WaitForRequests(1, kWaitMs);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].request_line, "POST /ClientLog/main.py HTTP/1.1");
    EXPECT_NE(requests[0].headers.find("application/x-www-form-urlencoded"), std::string::npos);
    EXPECT_EQ(requests[0].body,
              "&game=vopa&app=kestra3&script_ver=default&engine_ver=default&tqmsvc_ver=default"
              "&content=补丁 p1 失败 & code=5&priority=0");
  }
}

TEST(ClientLogReporter, MessagesAreCutTo512Bytes) {
  ScriptServer server = CollectionServer();
  ClientLogReporter reporter(server.Url("/ClientLog/main.py"));
  std::string long_text(600, 'm');
  reporter.Report(1, "%s", long_text.c_str());
  auto requests = server.WaitForRequests(1, kWaitMs);
  ASSERT_EQ(requests.size(), 1u);
  const std::string& body = requests[0].body;
  std::size_t start = body.find("&content=") + 9;
  std::size_t end = body.find("&priority=");
  EXPECT_EQ(end - start, kReportMessageBytes);
  EXPECT_EQ(body.substr(end), "&priority=1");
}

TEST(ClientLogReporter, AtMostTenWaitingMessages) {
  ScriptServer server = CollectionServer();
  ClientLogReporter reporter(server.Url("/ClientLog/main.py"));
  // The worker takes its first batch a second after it starts, so all twelve
  // meet a queue that nobody has emptied yet.
  for (int i = 0; i < 12; ++i) reporter.Report(0, "error %d", i);
  auto requests = server.WaitForRequests(12, 4000);
  ASSERT_EQ(requests.size(), 10u);
  EXPECT_NE(requests[9].body.find("content=error 9&"), std::string::npos);
}

TEST(ClientLogReporter, NoErrorNoWorkerNoRequest) {
  ScriptServer server = CollectionServer();
  {
    ClientLogReporter reporter(server.Url("/ClientLog/main.py"));
    EXPECT_FALSE(reporter.worker_started());
  }
  EXPECT_TRUE(server.WaitForRequests(1, 1500).empty());
}

TEST(ClientLogReporter, UnreachableServerChangesNothingForTheCaller) {
  std::string url = "http://127.0.0.1:" + std::to_string(kestra::test::UnusedLoopbackPort()) + "/ClientLog/main.py";
  ClientLogReporter reporter(url);
  reporter.Report(0, "lost");
  EXPECT_TRUE(reporter.worker_started());
  reporter.Shutdown();  // returns although the upload could not be made
  reporter.Report(0, "after shutdown is dropped");
}

}  // namespace
