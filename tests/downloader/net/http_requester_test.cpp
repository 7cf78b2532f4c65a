// The requester against a real nginx and against the scripted server for the
// answers nginx will not give on demand (lies, stalls, cut connections).
#include "downloader/net/http_requester.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "platform/clock.h"
#include "tests/support/nginx_server.h"
#include "tests/support/script_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace zelt {
namespace {

using kestra::test::NginxOptions;
using kestra::test::NginxServer;
using kestra::test::Script;
using kestra::test::ScriptServer;
using kestra::test::TempDir;

// Bytes that differ at every offset, so a piece delivered at a wrong offset
// never matches by chance.
std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  std::uint32_t x = 2463534242u;
  for (std::size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

// Records what a request hands to its sink.
class RecordingSink : public HttpCallback {
 public:
  bool OnData(const char* data, std::uint32_t length, std::uint32_t file_offset) override {
    pieces.emplace_back(file_offset, std::string(data, length));
    return refuse_after < 0 || static_cast<int>(pieces.size()) <= refuse_after;
  }
  bool OnSpeedControl(std::uint32_t bytes) override {
    speed_bytes += bytes;
    return !stop_speed;
  }
  void OnRecvHead(const std::string& header, const std::string& s, std::uint64_t length) override {
    head = header;
    status = s;
    content_length = length;
    ++heads;
  }
  void OnFinish(HttpRequester&, std::int32_t r) override {
    result = r;
    ++finishes;
  }
  // Pieces laid into a buffer at their offsets; false when pieces overlap or
  // leave gaps.
  bool Contiguous(std::uint64_t start, std::string& out) const {
    std::uint64_t next = start;
    out.clear();
    for (const auto& [offset, data] : pieces) {
      if (offset != next) return false;
      out += data;
      next += data.size();
    }
    return true;
  }

  std::vector<std::pair<std::uint32_t, std::string>> pieces;
  int refuse_after = -1;  // refuse the piece after this many
  bool stop_speed = false;
  std::uint64_t speed_bytes = 0;
  std::string head, status;
  std::uint64_t content_length = 0;
  int heads = 0, finishes = 0;
  std::int32_t result = 999;
};

class NginxRequester : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    data_ = new std::string(Pattern(100000));
    dir_->Write("www/data.bin", *data_);
    NginxOptions options;
    options.server_config =
        "location = /moved { return 302 http://127.0.0.1:$server_port/data.bin; }\n"
        "location = /moved-relative { return 302 /data.bin; }\n"
        "location = /loop { return 302 http://127.0.0.1:$server_port/loop; }\n";
    nginx_ = new NginxServer(*dir_ / "www", options);
  }
  static void TearDownTestSuite() {
    delete nginx_;
    delete data_;
    delete dir_;
  }
  static TempDir* dir_;
  static std::string* data_;
  static NginxServer* nginx_;
};
TempDir* NginxRequester::dir_ = nullptr;
std::string* NginxRequester::data_ = nullptr;
NginxServer* NginxRequester::nginx_ = nullptr;

TEST_F(NginxRequester, RangesArriveAtTheirOffsetsInPortions) {
  struct Case {
    std::uint32_t start, end, chunk;
    std::uint32_t expect_len;
  };
  const Case cases[] = {
      {0, kHttpNoLimit, 16384, 100000},  // whole file, last portion shorter
      {100, 199, 30, 100},               // portions of 30: 30,30,30,10
      {99990, kHttpNoLimit, 4, 10},      // end past the file: nginx clamps
      {5000, 70000, 65001, 65001},       // exactly one portion
      {0, 0, 1, 1},                      // a single byte
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.start) + "-" + std::to_string(c.end));
    HttpRequester requester;
    RecordingSink sink;
    RequestDescriptor d;
    d.url = nginx_->Url("/data.bin");
    d.rangeStart = c.start;
    d.rangeEnd = c.end;
    d.chunkSize = c.chunk;
    d.sink = &sink;
    EXPECT_EQ(requester.Get(d), static_cast<std::int32_t>(c.expect_len)) << requester.ErrorText();
    std::string got;
    ASSERT_TRUE(sink.Contiguous(c.start, got));
    EXPECT_EQ(got, data_->substr(c.start, c.expect_len));
    for (std::size_t i = 0; i + 1 < sink.pieces.size(); ++i) EXPECT_EQ(sink.pieces[i].second.size(), c.chunk);
    EXPECT_EQ(sink.status, "206");
    EXPECT_EQ(sink.result, static_cast<std::int32_t>(c.expect_len));
    EXPECT_EQ(sink.finishes, 1);
    EXPECT_EQ(sink.speed_bytes >= c.expect_len, true);
  }
}

TEST_F(NginxRequester, WholeBodyKeptWithoutSinkAndConnectionReused) {
  HttpRequester requester;
  RequestDescriptor d;
  d.url = nginx_->Url("/data.bin");
  ASSERT_EQ(requester.Get(d), 100000) << requester.ErrorText();
  EXPECT_EQ(requester.Body(), *data_);
  EXPECT_NE(requester.HeaderText().find("206"), std::string::npos);
  d.rangeStart = 10;
  d.rangeEnd = 19;
  ASSERT_EQ(requester.Get(d), 10);
  EXPECT_EQ(requester.Body(), data_->substr(10, 10));
  EXPECT_EQ(requester.connections_opened(), 1u);
}

TEST_F(NginxRequester, MissingFileIsRefused) {
  HttpRequester requester;
  RecordingSink sink;
  RequestDescriptor d;
  d.url = nginx_->Url("/nothing.bin");
  d.sink = &sink;
  EXPECT_EQ(requester.Get(d), kHttpRefused);
  EXPECT_EQ(sink.status, "404");
  EXPECT_EQ(sink.result, kHttpRefused);
  EXPECT_TRUE(sink.pieces.empty());
  EXPECT_TRUE(requester.Body().empty());
  // The requester stays usable.
  d.url = nginx_->Url("/data.bin");
  d.rangeEnd = 9;
  EXPECT_EQ(requester.Get(d), 10);
}

TEST_F(NginxRequester, RedirectIsFollowedWithTheSameRange) {
  for (const char* path : {"/moved", "/moved-relative"}) {
    SCOPED_TRACE(path);
    HttpRequester requester;
    RecordingSink sink;
    RequestDescriptor d;
    d.url = nginx_->Url(path);
    d.rangeStart = 4096;
    d.rangeEnd = 8191;
    d.chunkSize = 1024;
    d.sink = &sink;
    ASSERT_EQ(requester.Get(d), 4096) << requester.ErrorText();
    std::string got;
    ASSERT_TRUE(sink.Contiguous(4096, got));
    EXPECT_EQ(got, data_->substr(4096, 4096));
    EXPECT_EQ(sink.heads, 2);  // the 302 and the 206
    EXPECT_EQ(sink.status, "206");
  }
  EXPECT_NE(nginx_->AccessLog().find("GET /data.bin"), std::string::npos);
}

TEST_F(NginxRequester, RedirectLoopEnds) {
  HttpRequester requester;
  RequestDescriptor d;
  d.url = nginx_->Url("/loop");
  EXPECT_EQ(requester.Get(d), kHttpFail);
  EXPECT_EQ(requester.ErrorText(), "too many redirects.");
}

std::string Response206(const std::string& body, std::uint32_t first, std::uint32_t total) {
  return "HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nContent-Range: bytes " + std::to_string(first) + "-" + std::to_string(first + body.size() - 1) +
         "/" + std::to_string(total) + "\r\n\r\n" + body;
}

TEST(ScriptedRequester, ChunkedBodies) {
  const std::string body = Pattern(300);
  struct Case {
    const char* name;
    std::string wire;  // after the head
    std::int32_t expect;
  };
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const Case cases[] = {
      {"plain", "12c\r\n" + body + "\r\n0\r\n\r\n", 300},
      {"pieces with extensions and a trailer",
       "64;name=x\r\n" + body.substr(0, 100) + "\r\nC8\r\n" + body.substr(100) + "\r\n0\r\nX-Sum: 1\r\n\r\n", 300},
      {"bare LF line ends", "12c\n" + body + "\n0\n\n", 300},
      {"size not hex", "zz\r\n" + body + "\r\n0\r\n\r\n", kHttpFail},
      {"size overflows", "1000000000\r\n" + body + "\r\n0\r\n\r\n", kHttpFail},
      {"no CRLF after data", "10\r\n" + body.substr(0, 20) + "\r\n0\r\n\r\n", kHttpFail},
      {"size line too long", std::string(5000, '0') + "1\r\nx\r\n0\r\n\r\n", kHttpFail},
      {"cut before the last chunk", "12c\r\n" + body + "\r\n", kHttpFail},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(Script().ReadRequest().Send(head + c.wire));
    HttpRequester requester;
    RequestDescriptor d;
    d.url = server.Url("/f");
    std::int32_t r = requester.Get(d);
    EXPECT_EQ(r, c.expect) << requester.ErrorText();
    if (c.expect >= 0) {
      EXPECT_EQ(requester.Body(), body);
    }
  }
}

// A server's answer must never put bytes at wrong offsets.
TEST(ScriptedRequester, LyingServersNeverDeliverBytesAtWrongOffsets) {
  const std::string file = Pattern(1000);
  struct Case {
    const char* name;
    std::string answer;
    std::int32_t expect;  // delivered bytes 100..199 when >= 0
  };
  const Case cases[] = {
      {"honest", Response206(file.substr(100, 100), 100, 1000), 100},
      {"200 with the whole file", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + file, 100},
      {"200 whole file, chunked",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3e8\r\n" + file + "\r\n0\r\n\r\n", 100},
      {"200 whole file until close", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + file, 100},
      {"Content-Range starts elsewhere", Response206(file.substr(0, 100), 0, 1000), kHttpFail},
      {"Content-Range longer than asked", Response206(file.substr(100, 200), 100, 1000), kHttpFail},
      {"no Content-Range", "HTTP/1.1 206 Partial Content\r\nContent-Length: 100\r\n\r\n" + file.substr(100, 100),
       kHttpFail},
      {"malformed Content-Range",
       "HTTP/1.1 206 Partial Content\r\nContent-Length: 100\r\nContent-Range: bytes 199-100/1000\r\n\r\n" +
           file.substr(100, 100),
       kHttpFail},
      {"Content-Length disagrees with Content-Range",
       "HTTP/1.1 206 Partial Content\r\nContent-Length: 150\r\nContent-Range: bytes 100-199/1000\r\n\r\n" +
           file.substr(100, 150),
       kHttpFail},
      {"two Content-Lengths",
       "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nContent-Length: 10\r\n\r\n" + file, kHttpFail},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(Script().ReadRequest().Send(c.answer));
    HttpRequester requester;
    RecordingSink sink;
    RequestDescriptor d;
    d.url = server.Url("/f");
    d.rangeStart = 100;
    d.rangeEnd = 199;
    d.chunkSize = 32;
    d.sink = &sink;
    EXPECT_EQ(requester.Get(d), c.expect) << requester.ErrorText();
    std::string got;
    ASSERT_TRUE(sink.Contiguous(100, got));
    if (c.expect >= 0) {
      EXPECT_EQ(got, file.substr(100, 100));
    } else {
      EXPECT_TRUE(got.empty());
    }
    EXPECT_EQ(sink.result, c.expect);
  }
}

TEST(ScriptedRequester, BodyLongerThanAnnouncedIsCutAndTheConnectionNotReused) {
  // Connection 0 announces 10 bytes and sends 20 (the extra 10 look like an
  // answer of their own); the next request must go to a new connection.
  const std::string lie = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789" "HTTP/1.1 2";
  const std::string honest = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nabcde";
  ScriptServer server({Script().ReadRequest().Send(lie).Hold(2000), Script().ReadRequest().Send(honest)});
  HttpRequester requester;
  RequestDescriptor d;
  d.url = server.Url("/f");
  ASSERT_EQ(requester.Get(d), 10);
  EXPECT_EQ(requester.Body(), "0123456789");
  ASSERT_EQ(requester.Get(d), 5) << requester.ErrorText();
  EXPECT_EQ(requester.Body(), "abcde");
  EXPECT_EQ(requester.connections_opened(), 2u);
}

TEST(ScriptedRequester, KeepAliveCarriesTheNextRequestAndRecoversFromAServerClose) {
  const std::string a = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\na";
  const std::string b = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nb";
  // Connection 0 answers two requests, then closes; connection 1 answers one.
  ScriptServer server({Script().ReadRequest().Send(a).ReadRequest().Send(b), Script().ReadRequest().Send(a)});
  HttpRequester requester;
  RequestDescriptor d;
  d.url = server.Url("/f");
  ASSERT_EQ(requester.Get(d), 1);
  EXPECT_EQ(requester.Body(), "a");
  ASSERT_EQ(requester.Get(d), 1);
  EXPECT_EQ(requester.Body(), "b");
  EXPECT_EQ(requester.connections_opened(), 1u);
  ASSERT_TRUE(server.WaitFinished(1, 5000));
  ASSERT_EQ(requester.Get(d), 1) << requester.ErrorText();
  EXPECT_EQ(requester.Body(), "a");
  EXPECT_EQ(requester.connections_opened(), 2u);
  // The request carries every field, with the range of the descriptor.
  const std::string sent = server.received(0);
  EXPECT_NE(sent.find("GET /f HTTP/1.1\r\nHost: 127.0.0.1:" + server.port_text() +
                      "\r\nAccept: */*\r\nPragma: no-cache\r\nCache-Control: no-cache\r\nReferer: http://127.0.0.1:" +
                      server.port_text() + "/\r\nRange: bytes=0-4294967295\r\nConnection: Keep-Alive\r\n\r\n"),
            std::string::npos)
      << sent;
}

TEST(ScriptedRequester, FailuresGiveTheirResults) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";
  struct Case {
    const char* name;
    Script script;
    std::uint32_t idle, total;
    std::int32_t expect;
    const char* error;  // part of the error text, or ""
  };
  std::vector<Case> cases;
  cases.push_back({"idle time-out in the head", Script().ReadRequest().Hold(), 200, kHttpNoLimit, kHttpTimeout, ""});
  cases.push_back({"idle time-out in the body", Script().ReadRequest().Send(head + "abc").Hold(), 200,
                   kHttpNoLimit, kHttpTimeout, ""});
  // Data keeps coming, so only the total time-out can end it.
  cases.push_back({"total time-out", Script().ReadRequest().Send(head).Drip(std::string(100, 'x'), 20), 5000, 200,
                   kHttpTimeout, ""});
  cases.push_back({"closed in the body", Script().ReadRequest().Send(head + "abc"), kHttpNoLimit, kHttpNoLimit,
                   kHttpFail, "closed the connection."});
  cases.push_back({"closed before any answer", Script().ReadRequest(), kHttpNoLimit, kHttpNoLimit, kHttpFail,
                   "closed the connection."});
  cases.push_back({"reset", Script().ReadRequest().Send(head + "abc").Reset(), kHttpNoLimit, kHttpNoLimit,
                   kHttpFail, ""});
  cases.push_back({"server error", Script().ReadRequest().Send("HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n"),
                   kHttpNoLimit, kHttpNoLimit, kHttpRefused, ""});
  cases.push_back({"not HTTP", Script().ReadRequest().Send("SSH-2.0-OpenSSH\r\n\r\n"), kHttpNoLimit, kHttpNoLimit,
                   kHttpFail, "bad response"});
  cases.push_back({"head too long",
                   Script().ReadRequest().Send("HTTP/1.1 200 OK\r\nX: " + std::string(70000, 'a') + "\r\n\r\n"),
                   kHttpNoLimit, kHttpNoLimit, kHttpFail, "too long"});
  cases.push_back({"redirect without Location", Script().ReadRequest().Send("HTTP/1.1 302 Found\r\n\r\n"),
                   kHttpNoLimit, kHttpNoLimit, kHttpFail, "Location"});
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(c.script);
    HttpRequester requester;
    RecordingSink sink;
    RequestDescriptor d;
    d.url = server.Url("/f");
    d.idleTimeout = c.idle;
    d.totalTimeout = c.total;
    d.chunkSize = 16;
    d.sink = &sink;
    EXPECT_EQ(requester.Get(d), c.expect) << requester.ErrorText();
    EXPECT_NE(requester.ErrorText().find(c.error), std::string::npos) << requester.ErrorText();
    EXPECT_EQ(sink.result, c.expect);
    EXPECT_EQ(sink.finishes, 1);
  }
}

TEST(ScriptedRequester, NothingForTenSecondsIsAHeaderTimeout) {
  ScriptServer server(Script().ReadRequest().Hold());
  HttpRequester requester;
  RequestDescriptor d;
  d.url = server.Url("/f");
  EXPECT_EQ(requester.Get(d), kHttpFail);
  EXPECT_EQ(requester.ErrorText(), "recv_header timeout.");
}

TEST(ScriptedRequester, SinkDecisionsStopTheRequest) {
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + Pattern(100);
  {
    ScriptServer server(Script().ReadRequest().Send(answer));
    HttpRequester requester;
    RecordingSink sink;
    sink.refuse_after = 1;  // the second portion is refused
    RequestDescriptor d;
    d.url = server.Url("/f");
    d.chunkSize = 10;
    d.sink = &sink;
    EXPECT_EQ(requester.Get(d), kHttpSinkRefused);
    EXPECT_EQ(sink.pieces.size(), 2u);
    EXPECT_EQ(sink.result, kHttpSinkRefused);
  }
  {
    ScriptServer server(Script().ReadRequest().Send(answer));
    HttpRequester requester;
    RecordingSink sink;
    sink.stop_speed = true;
    RequestDescriptor d;
    d.url = server.Url("/f");
    d.chunkSize = 10;
    d.sink = &sink;
    EXPECT_EQ(requester.Get(d), kHttpSpeedStop);
    EXPECT_EQ(sink.result, kHttpSpeedStop);
  }
}

TEST(ScriptedRequester, StopAndCloseFromAnotherThread) {
  {
    ScriptServer server(Script().ReadRequest().Hold());
    HttpRequester requester;
    RequestDescriptor d;
    d.url = server.Url("/f");
    std::thread stopper([&] {
      kestra::test::WaitUntil([&] { return server.accepted() > 0; });
      requester.Stop();
    });
    EXPECT_EQ(requester.Get(d), kHttpStopped);
    stopper.join();
  }
  {
    ScriptServer server(Script().ReadRequest().Hold());
    HttpRequester requester;
    RequestDescriptor d;
    d.url = server.Url("/f");
    std::thread closer([&] {
      kestra::test::WaitUntil([&] { return server.received(0).find("\r\n\r\n") != std::string::npos; });
      requester.Close();
    });
    EXPECT_EQ(requester.Get(d), kHttpFail);
    closer.join();
    EXPECT_NE(requester.ErrorText().find("closed"), std::string::npos) << requester.ErrorText();
  }
  {
    // Closed while waiting on a kept connection: the request ends, it is
    // not tried again on a new connection.
    ScriptServer server({Script().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\na").ReadRequest().Hold(),
                         Script().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nb")});
    HttpRequester requester;
    RequestDescriptor d;
    d.url = server.Url("/f");
    ASSERT_EQ(requester.Get(d), 1);
    std::thread closer([&] {
      // Both requests are in.
      kestra::test::WaitUntil([&] {
        std::string got = server.received(0);
        std::size_t second = got.find("GET /f", got.find("GET /f") + 1);
        return second != std::string::npos && got.find("\r\n\r\n", second) != std::string::npos;
      });
      requester.Close();
    });
    EXPECT_EQ(requester.Get(d), kHttpFail);
    closer.join();
    EXPECT_EQ(server.accepted(), 1);
    EXPECT_EQ(requester.connections_opened(), 1u);
  }
}

TEST(ScriptedRequester, ConnectFailureNamesTheServer) {
  // A port that was just free: nobody listens there.
  std::uint16_t port;
  {
    auto listener = platform::net::ListenTcp(platform::net::Address{platform::net::kLoopbackIpv4, 0});
    port = listener.LocalAddress()->port;
  }
  HttpRequester requester;
  RequestDescriptor d;
  d.url = "http://127.0.0.1:" + std::to_string(port) + "/f";
  EXPECT_EQ(requester.Get(d), kHttpFail);
  EXPECT_NE(requester.ErrorText().find("::connect function return SOCKET_ERROR. ErrorCode = 10061"),
            std::string::npos)
      << requester.ErrorText();
  EXPECT_NE(requester.ErrorText().find("server ip: 127.0.0.1"), std::string::npos);
  for (const char* bad : {"ftp://127.0.0.1/f", "http://:80/f", "http://127.0.0.1:99999/f", "http://a b/f"}) {
    d.url = bad;
    EXPECT_EQ(requester.Get(d), kHttpFail) << bad;
  }
}

TEST(ScriptedRequester, PostSendsBasicAuthorizationAndBody) {
  ScriptServer server(Script().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
  HttpRequester requester;
  EXPECT_EQ(requester.Post(server.Url("/report/x"), "user:pass", "application/x-www-form-urlencoded", "a=1&b=2"), 0)
      << requester.ErrorText();
  EXPECT_EQ(requester.PostAnswer(), "ok");
  ASSERT_TRUE(server.WaitFinished(1, 5000));
  EXPECT_EQ(server.received(0),
            "POST /report/x HTTP/1.1\r\nHost: 127.0.0.1:" + server.port_text() +
                "\r\nAuthorization: Basic dXNlcjpwYXNz\r\nConnection: Keep-Alive\r\nContent-Length: 7\r\n"
                "Content-Type: application/x-www-form-urlencoded\r\n\r\na=1&b=2");

  ScriptServer refusing(Script().ReadRequest().Send("HTTP/1.1 401 No\r\nContent-Length: 0\r\n\r\n"));
  EXPECT_EQ(requester.Post(refusing.Url("/r"), "u:p", "text/plain", "x"), kHttpRefused);
}

TEST(Base64, StandardAlphabetAndPadding) {
  const std::map<std::string, std::string> cases = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
      {"user:pass", "dXNlcjpwYXNz"}, {std::string("\xff\xfe\x00", 3), "//4A"}};
  for (const auto& [in, out] : cases) EXPECT_EQ(Base64(in), out);
}

}  // namespace
}  // namespace zelt
