// The HTTP client against a real nginx and against scripted servers for the
// behaviours nginx does not show on demand.
#include "updater/net/comm_http.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/net.h"
#include "tests/support/nginx_server.h"
#include "tests/support/script_server.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/net/gzip_maker.h"
#include "updater/net/body_decoding.h"

namespace {

using kestra::test::Gzip;
using kestra::test::NginxOptions;
using kestra::test::NginxServer;
using kestra::test::Script;
using kestra::test::ScriptServer;
using kestra::test::TempDir;
using NetModel::CommHttp;
using NetModel::TimeValue;

// Budgets short enough for tests; the callers use 25 s / 86 s and 15 s / 60 s.
constexpr TimeValue kConnect{5, 0};
constexpr TimeValue kData{10, 0};

struct Fetch {
  bool ok = false;
  std::string body;
  std::string error;
  std::string response;
};

Fetch Get(const std::string& host, const std::string& port, const std::string& path,
          TimeValue connect = kConnect, TimeValue data = kData) {
  CommHttp http(host, port, connect, data);
  http.Request(NetModel::BuildGetRequest(host, path));
  return Fetch{http.ok(), http.GetBody(), http.GetError(), http.response_text()};
}

Fetch Get(const ScriptServer& server, TimeValue connect = kConnect, TimeValue data = kData) {
  return Get(server.host(), server.port_text(), "/list.txt", connect, data);
}

// A server that answers every request with `response` and closes.
Script Answer(std::string response) { return Script().ReadRequest().Send(std::move(response)); }

std::string Headers(const std::string& response) {
  return response.substr(0, response.find("\r\n\r\n"));
}

// A text document of roughly `size` bytes, GBK lines with CR LF.
std::string Document(std::size_t size) {
  std::string text;
  for (int i = 0; text.size() < size; ++i) text += "1.0." + std::to_string(i) + " 补丁说明 patch" + std::to_string(i) + ".tq\r\n";
  text.resize(size);
  return text;
}

// Regular files directly in the system's temporary directory.
std::set<std::string> TempFiles() {
  std::set<std::string> names;
  const std::string dir = platform::fs::TempDirectory();
  if (auto entries = platform::fs::ListDirectory(dir))
    for (const auto& e : *entries)
      if (!e.is_directory) names.insert(e.name);
  return names;
}

// Files that appeared in the temporary directory since `before` and look
// like ours: the system's "kx" temporary names, or holding the body we got.
// (Other programs on the machine create files there too; those are ignored.)
std::vector<std::string> LeftBehind(const std::set<std::string>& before, std::string_view body) {
  std::vector<std::string> found;
  const std::string dir = platform::fs::TempDirectory();
  for (const std::string& name : TempFiles()) {
    if (before.count(name)) continue;
    std::string content;
    const bool ours = name.rfind("kx", 0) == 0 ||
                      (platform::fs::ReadWholeFile(dir + "/" + name, content, 64u << 20) &&
                       !body.empty() && content.find(body.substr(0, 4096)) != std::string::npos);
    if (ours) found.push_back(name);
  }
  return found;
}

// ---------------------------------------------------------------- requests

TEST(CommHttpRequest, EveryCallerSendsTheSameGetText) {
  EXPECT_EQ(NetModel::BuildGetRequest("update.example", "/patch/list.txt"),
            "GET /patch/list.txt HTTP/1.1\r\nHost: update.example\r\nAccept-Encoding: gzip\r\n"
            "Connection: Close\r\n\r\n");
}

TEST(CommHttpRequest, TheServerReceivesExactlyTheRequestText) {
  ScriptServer server(Answer("HTTP/1.1 200 OK\r\n\r\nx"));
  CommHttp http("127.0.0.1", server.port_text(), kConnect, kData);
  const std::string request = NetModel::BuildGetRequest("127.0.0.1", "/images/ad_pic/patchinfo.txt");
  http.Request(request);
  ASSERT_TRUE(server.WaitFinished(1, 5000));
  EXPECT_EQ(server.received(0), request);
  EXPECT_TRUE(http.ok());
  EXPECT_EQ(http.GetBody(), "x");
}

// ---------------------------------------------------------------- nginx

class CommHttpNginx : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.Write("list.txt", list_);
    root_.Write("notice.txt", notice_);
    root_.Write("big/large.txt", large_);
  }
  TempDir root_;
  const std::string list_ = "1.0.1 http://127.0.0.1/patch1.0.1.tq\r\n1.0.2 http://127.0.0.1/patch1.0.2.tq\r\n";
  const std::string notice_ = "服务器维护公告：今晚 23:00 至 24:00 维护。\r\n请玩家提前下线。\r\n";
  const std::string large_ = Document(3 << 20);
};

TEST_F(CommHttpNginx, PlainDocumentArrivesWithOk) {
  NginxServer nginx(root_.path());
  Fetch f = Get(nginx.host(), nginx.port_text(), "/list.txt");
  EXPECT_TRUE(f.ok) << f.error;
  EXPECT_EQ(f.error, "");
  EXPECT_EQ(f.body, list_);
  EXPECT_EQ(f.response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(Headers(f.response).find("Content-Encoding"), std::string::npos);
  EXPECT_NE(nginx.AccessLog().find("\"GET /list.txt HTTP/1.1\" 200"), std::string::npos)
      << nginx.AccessLog();
}

TEST_F(CommHttpNginx, MissingDocumentLeavesTheStatusAsError) {
  NginxServer nginx(root_.path());
  Fetch f = Get(nginx.host(), nginx.port_text(), "/no-such-list.txt");
  EXPECT_FALSE(f.ok);
  EXPECT_EQ(f.error, " 404 Not Found");
  EXPECT_EQ(f.body, "");
}

TEST_F(CommHttpNginx, OtherStatusesAreRefusedToo) {
  NginxOptions options;
  options.server_config =
      "location = /moved { return 302 /list.txt; }\n"
      "location = /broken { return 500; }\n";
  NginxServer nginx(root_.path(), options);
  Fetch moved = Get(nginx.host(), nginx.port_text(), "/moved");
  EXPECT_FALSE(moved.ok);
  EXPECT_EQ(moved.error, " 302 Moved Temporarily");  // no redirects are followed
  Fetch broken = Get(nginx.host(), nginx.port_text(), "/broken");
  EXPECT_FALSE(broken.ok);
  EXPECT_EQ(broken.error, " 500 Internal Server Error");
}

// nginx compresses with "Content-Encoding: gzip"; to an HTTP/1.1 request it
// frames such a body in chunks unless chunked transfer is off.
TEST_F(CommHttpNginx, GzipDocumentsAreDecoded) {
  for (bool chunked : {true, false}) {
    NginxOptions options;
    options.gzip = true;
    options.chunked = chunked;
    NginxServer nginx(root_.path(), options);
    for (const auto& [path, content] : {std::pair<std::string, std::string>{"/list.txt", list_},
                                        {"/notice.txt", notice_},
                                        {"/big/large.txt", large_}}) {
      SCOPED_TRACE(path + (chunked ? " chunked" : " not chunked"));
      const std::set<std::string> before = TempFiles();
      Fetch f = Get(nginx.host(), nginx.port_text(), path);
      ASSERT_TRUE(f.ok) << f.error;
      const std::string headers = Headers(f.response) + "\r\n";
      EXPECT_NE(headers.find("\r\nContent-Encoding: gzip\r\n"), std::string::npos) << headers;
      EXPECT_EQ(headers.find("Transfer-Encoding: chunked") != std::string::npos, chunked) << headers;
      EXPECT_EQ(f.body.size(), content.size());
      EXPECT_TRUE(f.body == content);
      // The body came compressed: far fewer bytes than the document.
      if (content.size() > 100000) {
        EXPECT_LT(f.response.size(), content.size() / 2);
      }
      const std::string raw = f.response.substr(f.response.find("\r\n\r\n") + 4);
      EXPECT_EQ(LeftBehind(before, raw), std::vector<std::string>{});
    }
  }
}

TEST_F(CommHttpNginx, LargeUncompressedDocumentArrivesWhole) {
  NginxServer nginx(root_.path());
  Fetch f = Get(nginx.host(), nginx.port_text(), "/big/large.txt");
  ASSERT_TRUE(f.ok) << f.error;
  EXPECT_EQ(f.body.size(), large_.size());
  EXPECT_TRUE(f.body == large_);
}

TEST_F(CommHttpNginx, HostNamesAreResolved) {
  NginxServer nginx(root_.path());
  Fetch f = Get("localhost", nginx.port_text(), "/notice.txt");  // from the hosts file
  EXPECT_TRUE(f.ok) << f.error;
  EXPECT_EQ(f.body, notice_);
}

TEST_F(CommHttpNginx, ConnectBudgetWithoutDataBudgetCarriesOn) {
  NginxServer nginx(root_.path());
  Fetch f = Get(nginx.host(), nginx.port_text(), "/list.txt", {5, 0}, {0, 0});
  EXPECT_TRUE(f.ok) << f.error;
  EXPECT_EQ(f.body, list_);
}

// ---------------------------------------------------------------- connecting

TEST(CommHttpConnect, DottedHostsAreLiteralOtherHostsAreLookedUp) {
  ScriptServer server(Answer("HTTP/1.1 200 OK\r\n\r\nfound"));
  struct Case {
    const char* host;
    bool looked_up;
  } cases[] = {{"127.0.0.1", false}, {"127.1", false}, {"localhost", true}, {"127.0.0.1x", true}};
  for (const Case& c : cases) {
    CommHttp http(c.host, server.port_text(), kConnect, kData);
    std::vector<std::string> lookups;
    http.SetResolver([&](std::string_view name) -> std::optional<std::uint32_t> {
      lookups.emplace_back(name);
      return platform::net::kLoopbackIpv4;
    });
    http.Request(NetModel::BuildGetRequest(c.host, "/"));
    EXPECT_TRUE(http.ok()) << c.host << ": " << http.GetError();
    EXPECT_EQ(http.GetBody(), "found") << c.host;
    EXPECT_EQ(lookups, c.looked_up ? std::vector<std::string>{c.host} : std::vector<std::string>{})
        << c.host;
  }
}

TEST(CommHttpConnect, FailedLookupLeavesTheResolverText) {
  CommHttp http("updates.invalid", "80", kConnect, kData);
  http.SetResolver([](std::string_view) -> std::optional<std::uint32_t> {
    platform::net::SetLastError(platform::net::kWSAHOST_NOT_FOUND);
    return std::nullopt;
  });
  http.Request(NetModel::BuildGetRequest("updates.invalid", "/"));
  EXPECT_FALSE(http.ok());
  EXPECT_EQ(http.GetError(), "Authoritive: Host not found");
}

TEST(CommHttpConnect, DigitsAndDotsThatAreNoAddressAreRefused) {
  for (const char* host : {"", "1.2.3.4.5", "300.1.1.1"}) {
    CommHttp http(host, "80", kConnect, kData);
    bool looked_up = false;
    http.SetResolver([&](std::string_view) -> std::optional<std::uint32_t> {
      looked_up = true;
      return std::nullopt;
    });
    http.Request(NetModel::BuildGetRequest(host, "/"));
    EXPECT_FALSE(http.ok()) << host;
    EXPECT_FALSE(looked_up) << host;
    EXPECT_EQ(http.GetError(), "address not available") << host;
  }
}

TEST(CommHttpConnect, BadPortTextIsRefused) {
  for (const char* port : {"", "0", "65536", "80x", "http"}) {
    CommHttp http("127.0.0.1", port, kConnect, kData);
    http.Request(NetModel::BuildGetRequest("127.0.0.1", "/"));
    EXPECT_FALSE(http.ok()) << port;
    EXPECT_EQ(http.GetError(), "address not available") << port;
  }
}

TEST(CommHttpConnect, ClosedPortIsConnectionRefused) {
  std::uint16_t port;
  {
    platform::net::Socket probe = platform::net::ListenTcp({platform::net::kLoopbackIpv4, 0});
    port = probe.LocalAddress()->port;
  }
  Fetch f = Get("127.0.0.1", std::to_string(port), "/");
  EXPECT_FALSE(f.ok);
  EXPECT_EQ(f.error, "connection refused");
  EXPECT_EQ(f.response, "");
}

// A listener whose queue is full drops new handshakes: the connect wait runs
// out within the connect budget.
TEST(CommHttpConnect, ConnectWaitEndsWithTheConnectBudget) {
  namespace net = platform::net;
  net::Socket listener = net::ListenTcp({net::kLoopbackIpv4, 0}, 0);
  ASSERT_TRUE(listener.IsOpen());
  const net::Address address = *listener.LocalAddress();
  net::Socket filler = net::ConnectTcp(address, 2000);
  ASSERT_TRUE(filler.IsOpen());
  // The queue is full now: another handshake gets no answer.
  net::SetLastError(0);
  ASSERT_FALSE(net::ConnectTcp(address, 300).IsOpen());
  ASSERT_EQ(net::LastError(), net::kWSAETIMEDOUT);

  Fetch f = Get("127.0.0.1", std::to_string(address.port), "/", {0, 300000}, kData);
  EXPECT_EQ(f.response, "");
  EXPECT_FALSE(f.ok);
  EXPECT_EQ(f.error, "connection timed out");
}

// ---------------------------------------------------------------- status line and body

struct Shape {
  const char* name;
  std::string response;
  bool ok;
  std::string error;
  std::string body;
};

void PrintTo(const Shape& shape, std::ostream* out) { *out << shape.name; }

class CommHttpShapes : public ::testing::TestWithParam<Shape> {};

TEST_P(CommHttpShapes, StatusAndBody) {
  const Shape& s = GetParam();
  ScriptServer server(Answer(s.response));
  Fetch f = Get(server);
  EXPECT_EQ(f.ok, s.ok);
  EXPECT_EQ(f.error, s.error);
  EXPECT_TRUE(f.body == s.body) << "body: " << f.body.substr(0, 200);
  EXPECT_TRUE(f.response == s.response);
}

const std::string kGbkText = "更新列表\r\n1.0.7 http://127.0.0.1/patch1.0.7.tq\r\n";
const std::string kGzipped = Gzip(kGbkText);

INSTANTIATE_TEST_SUITE_P(
    Responses, CommHttpShapes,
    ::testing::Values(
        Shape{"plain", "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nhello", true, "", "hello"},
        Shape{"empty_body", "HTTP/1.1 200 OK\r\n\r\n", true, "", ""},
        Shape{"body_keeps_blank_lines", "HTTP/1.1 200 OK\r\n\r\na\r\n\r\nb", true, "", "a\r\n\r\nb"},
        Shape{"http10", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nold", true, "", "old"},
        Shape{"no_blank_line", "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nhello", true, "", ""},
        Shape{"no_line_end_at_all", "HTTP/1.1 200 OK", true, "", ""},
        Shape{"ok_anywhere_without_line_end", "xx 200 OK yy", true, "", ""},
        Shape{"ok_only_on_a_later_line", "HTTP/1.1 500 Oops\r\nX-Was: 200 OK\r\n\r\nbody", false,
              " 500 Oops", ""},
        Shape{"not_found", "HTTP/1.1 404 Not Found\r\nServer: nginx\r\n\r\n<html>404</html>", false,
              " 404 Not Found", ""},
        Shape{"bare_line_feed", "HTTP/1.1 404 Not Found\n\nmissing", false, " 404 Not Found", ""},
        Shape{"no_space_in_status", "HTTP/1.1\r\n\r\n", false, "", ""},
        Shape{"space_only_on_later_line", "garbage\r\nsecond line\r\n", false, "", ""},
        Shape{"empty_response", "", false, "", ""},
        Shape{"gzip", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + kGzipped, true, "", kGbkText},
        Shape{"corrupt_gzip",
              "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + std::string("\x1f\x8b\x08\x00", 4) +
                  "definitely not deflate data",
              false, NetModel::kBadGzipBodyText, ""},
        Shape{"truncated_gzip",
              "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + kGzipped.substr(0, kGzipped.size() - 10),
              false, NetModel::kBadGzipBodyText, ""},
        Shape{"announced_gzip_but_plain", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\nplain text",
              true, "", "plain text"},
        Shape{"lower_case_header_not_recognised",
              "HTTP/1.1 200 OK\r\ncontent-encoding: gzip\r\n\r\n" + kGzipped, true, "", kGzipped},
        Shape{"header_without_space_not_recognised",
              "HTTP/1.1 200 OK\r\nContent-Encoding:gzip\r\n\r\n" + kGzipped, true, "", kGzipped},
        Shape{"gzip_in_chunks",
              "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Encoding: gzip\r\n\r\n" +
                  [] {
                    char size[16];
                    std::snprintf(size, sizeof size, "%zx", kGzipped.size());
                    return std::string(size) + "\r\n" + kGzipped + "\r\n0\r\n\r\n";
                  }(),
              true, "", kGbkText},
        Shape{"chunks", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n",
              true, "", "abcde"},
        Shape{"broken_chunks", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n30\r\nabc\r\n", false,
              NetModel::kBadChunkedBodyText, ""},
        Shape{"very_long_status_line", "HTTP/1.1 " + std::string(100000, '4') + "\r\n\r\n", false,
              " " + std::string(NetModel::kMaxStatusErrorBytes - 1, '4'), ""},
        Shape{"binary_bytes",
              std::string("HTTP/1.1 200 OK\r\n\r\n\0\xff\x80\r\n", 24), true, "",
              std::string("\0\xff\x80\r\n", 5)}),
    [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.name); });

// A body that cannot be decoded is a failed fetch with its reason, never an
// empty success.
TEST(CommHttpBody, GzipBombIsAFailureWithAnEmptyBody) {
  const std::string bomb = Gzip(std::string(NetModel::kMaxResponseBytes + (1 << 20), 'a'), 9);
  ScriptServer server(Answer("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + bomb));
  Fetch f = Get(server);
  EXPECT_FALSE(f.ok);
  EXPECT_EQ(f.error, NetModel::kBadGzipBodyText);
  EXPECT_EQ(f.body, "");
}

TEST(CommHttpBody, NoTemporaryFileIsLeftBehind) {
  const std::string bodies[] = {kGzipped, std::string("\x1f\x8b\x08\x00garbage", 11),
                                kGzipped.substr(0, 20)};
  for (const std::string& body : bodies) {
    ScriptServer server(Answer("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + body));
    CommHttp http("127.0.0.1", server.port_text(), kConnect, kData);
    http.Request(NetModel::BuildGetRequest("127.0.0.1", "/"));
    const std::set<std::string> before = TempFiles();
    http.GetBody();
    http.GetBody();
    EXPECT_EQ(LeftBehind(before, body), std::vector<std::string>{});
  }
}

TEST(CommHttpBody, ResponseLargerThanTheBoundIsRefused) {
  std::string huge = "HTTP/1.1 200 OK\r\n\r\n";
  huge.resize(NetModel::kMaxResponseBytes + 1, 'x');
  ScriptServer server(Script().ReadRequest().Send(huge).Hold(10000));
  Fetch f = Get(server);
  EXPECT_FALSE(f.ok);
  EXPECT_EQ(f.error, NetModel::kResponseTooLargeText);
  EXPECT_EQ(f.body, "");
  EXPECT_LE(f.response.size(), NetModel::kMaxResponseBytes);

  // Exactly at the bound is still taken.
  std::string full = "HTTP/1.1 200 OK\r\n\r\n";
  full.resize(NetModel::kMaxResponseBytes, 'y');
  ScriptServer fits(Answer(full));
  Fetch g = Get(fits);
  EXPECT_TRUE(g.ok) << g.error;
  EXPECT_EQ(g.body.size(), full.size() - 19);
}

// Responses of any size and shape end in ok=false or a body, never a crash.
TEST(CommHttpBody, ArbitraryResponsesNeverBreakTheClient) {
  std::mt19937 random(20261211);
  const std::string pieces[] = {"HTTP/1.1 ", "200 OK", "\r\n", "\r\n\r\n", "\n", " ",
                                "Content-Encoding: gzip", "Transfer-Encoding: chunked",
                                std::string("\x1f\x8b", 2), "0\r\n", "ffffffff\r\n", kGzipped,
                                "404 Not Found", std::string(1, '\0')};
  std::vector<Script> scripts;
  std::vector<std::string> responses;
  for (int i = 0; i < 60; ++i) {
    std::string r;
    const int parts = static_cast<int>(random() % 12);
    for (int p = 0; p < parts; ++p) {
      if (random() % 3 == 0) {
        std::string noise(random() % 300, '\0');
        for (char& c : noise) c = static_cast<char>(random());
        r += noise;
      } else {
        r += pieces[random() % std::size(pieces)];
      }
    }
    responses.push_back(r);
    scripts.push_back(Answer(r));
  }
  ScriptServer server(scripts);
  for (const std::string& r : responses) {
    Fetch f = Get(server);
    EXPECT_TRUE(f.response == r);
    const bool first_line_ok = r.rfind("200 OK", r.find('\n')) != std::string::npos;
    if (!first_line_ok) {
      EXPECT_FALSE(f.ok);
    }
    // Accepted status, refused only for a body that would not decode.
    if (first_line_ok && !f.ok) {
      EXPECT_TRUE(f.error == NetModel::kBadChunkedBodyText || f.error == NetModel::kBadGzipBodyText)
          << f.error;
    }
    if (!f.ok) {
      EXPECT_EQ(f.body, "");
    }
    EXPECT_LE(f.body.size(), NetModel::kMaxDecodedBodyBytes);
  }
}

// ---------------------------------------------------------------- time budget

TEST(CommHttpTime, ServerThatNeverClosesEndsInAFailedWait) {
  const std::string response = "HTTP/1.1 200 OK\r\n\r\ncomplete but never closed";
  ScriptServer server(Script().ReadRequest().Send(response).Hold());
  Fetch f = Get(server, kConnect, {0, 500000});
  EXPECT_FALSE(f.ok);
  EXPECT_EQ(f.error, "connection timed out");
  EXPECT_EQ(f.response, response);
  EXPECT_EQ(f.body, "");
}

// A reading of the tick count that advances by a fixed step each time, so
// each wait "takes" exactly one step whatever the machine does.
struct SteppingTicks {
  std::uint32_t next;
  std::uint32_t step;
  std::uint32_t operator()() {
    const std::uint32_t now = next;
    next += step;
    return now;
  }
};

const std::string kDripped = "HTTP/1.1 200 OK\r\n\r\nslow body";

// Each wait is shorter than the budget, but they add up: with every wait
// "taking" 500 ms, the 6th read spends the 3 s data budget.
TEST(CommHttpTime, SlowSteadyDripEndsInTimeOut) {
  for (std::uint32_t start : {1000u, 0xFFFFF000u /* the tick count wraps on the way */}) {
    ScriptServer server(Script().ReadRequest().Drip(kDripped, 30));
    CommHttp http("127.0.0.1", server.port_text(), {1, 0}, {3, 0});
    SteppingTicks ticks{start, 500};
    http.SetTickSource([&] { return ticks(); });
    http.Request(NetModel::BuildGetRequest("127.0.0.1", "/"));
    EXPECT_FALSE(http.ok());
    EXPECT_EQ(http.GetError(), "Time Out!!!") << start;
    EXPECT_EQ(http.GetBody(), "");
    // The bytes that did arrive stay in the response text (one or more per read).
    const std::string& got = http.response_text();
    EXPECT_GE(got.size(), 6u) << start;
    EXPECT_LT(got.size(), kDripped.size()) << start;
    EXPECT_EQ(got, kDripped.substr(0, got.size()));
  }
}

TEST(CommHttpTime, WithoutDataBudgetTheConnectRemainderIsSpent) {
  auto bytes_before_time_out = [](TimeValue data) {
    ScriptServer server(Script().ReadRequest().Drip(kDripped, 30));
    CommHttp http("127.0.0.1", server.port_text(), {1, 0}, data);
    SteppingTicks ticks{5000, 500};
    http.SetTickSource([&] { return ticks(); });
    http.Request(NetModel::BuildGetRequest("127.0.0.1", "/"));
    EXPECT_EQ(http.GetError(), "Time Out!!!");
    return http.response_text().size();
  };
  // 3 s of data budget: six reads. No data budget: what is left of the 1 s
  // connect budget, at most two reads.
  const std::size_t with_data_budget = bytes_before_time_out({3, 0});
  const std::size_t without = bytes_before_time_out({0, 0});
  EXPECT_GE(with_data_budget, 6u);
  EXPECT_GE(without, 1u);
  EXPECT_LT(without, with_data_budget);
}

// The same with the real clock: a drip that would last 20 s against a 1 s
// budget stops within the budget with a failure.
TEST(CommHttpTime, SlowDripWithTheRealClockFailsWithinTheBudget) {
  const std::string response = "HTTP/1.1 200 OK\r\n\r\n" + std::string(400, 'd');
  ScriptServer server(Script().ReadRequest().Drip(response, 50));
  Fetch f = Get(server, kConnect, {1, 0});
  EXPECT_FALSE(f.ok);
  // The budget runs out either between two reads or inside the last wait.
  EXPECT_TRUE(f.error == "Time Out!!!" || f.error == "connection timed out") << f.error;
  EXPECT_GT(f.response.size(), 2u);
  EXPECT_LT(f.response.size(), response.size());
}

TEST(CommHttpTime, ResetDuringTheResponseIsConnectionReset) {
  ScriptServer server(Script().ReadRequest().Send("HTTP/1.1 200 OK\r\n\r\npart").Sleep(100).Reset());
  Fetch f = Get(server);
  EXPECT_FALSE(f.ok);
  EXPECT_EQ(f.error, "connection reset");
  EXPECT_EQ(f.body, "");
}

}  // namespace
