#include "updater/config/urls.h"

#include <gtest/gtest.h>

namespace {

using namespace kestra::config;

TEST(SplitUrl, Table) {
  struct {
    std::string url;
    std::string host, port, path;
  } cases[] = {
      {"http://h/a/b.txt", "h", "80", "/a/b.txt"},
      {"http://h:8080/list.txt?x=1", "h", "8080", "/list.txt?x=1"},
      {"http://127.0.0.1:65535/x", "127.0.0.1", "65535", "/x"},
      {"http://h:70000/x", "h", "4464", "/x"},  // 16-bit port
      {"http://h:/x", "h:", "80", "/x"},        // no number: host part kept
      {"http://h/a b", "h", "80", "/a"},        // a blank ends the path
      {"http://h", "", "", ""},                 // no path
      {"http://h/", "h", "80", "/"},
      {"HTTP://h/x", "", "", ""},               // the scheme is compared exactly
      {"https://h/x", "", "", ""},
      {"ftp://h/x", "", "", ""},
      {"http:///x", "", "", ""},                // empty host
      {"", "", "", ""},
  };
  for (const auto& c : cases) {
    SplitUrlResult r = SplitUrl(c.url);
    EXPECT_EQ(r.host, c.host) << c.url;
    EXPECT_EQ(r.path, c.path) << c.url;
    if (!c.host.empty()) {
      EXPECT_EQ(r.port_text, c.port) << c.url;
    }
    EXPECT_EQ(r.ok(), !c.host.empty()) << c.url;
  }
}

TEST(SplitUrl, OversizedPartsAreCut) {
  std::string long_path = "/" + std::string(3000, 'p');
  SplitUrlResult r = SplitUrl("http://h" + long_path);
  EXPECT_EQ(r.path.size(), kMaxUrlPath);
  EXPECT_EQ(r.path, long_path.substr(0, kMaxUrlPath));

  std::string long_host(1100, 'h');
  r = SplitUrl("http://" + long_host + "/x");
  EXPECT_EQ(r.host, long_host.substr(0, kMaxUrlHost));
  EXPECT_EQ(r.path, std::string(1100 - kMaxUrlHost, 'h') + "/x");
}

TEST(UrlFileName, Table) {
  EXPECT_EQ(UrlFileName("http://h/p/patch3.1.0.tq"), "patch3.1.0.tq");
  EXPECT_EQ(UrlFileName("http://h/p/"), "");
  EXPECT_EQ(UrlFileName("noslash"), "");
}

TEST(TaskUrls, Table) {
  const std::string s = "http://update.example";
  // The rest after the base keeps its leading "/", so a base without a final
  // "/" doubles the slash after "burrow", one with it before "burrow".
  EXPECT_EQ(TaskUrlForPatch(s + "/tqm/patch/p1.tq", s), s + "/burrow//tqm/patch/p1.tq.data");
  EXPECT_EQ(TaskUrlForPatch("http://mirror.example/p1.tq", s), "http://mirror.example/p1.tq.data");
  EXPECT_EQ(TaskUrlForPatch(s + "/p1.tq", s + "/"), s + "//burrow/p1.tq.data");
  EXPECT_EQ(TaskUrlForPack("http://b.example/exp/setup.exe"), "http://b.example/exp//burrow/setup.exe.data");
  EXPECT_EQ(TaskUrlForPack("http://b.example/exp/"), "http://b.example/exp/.data");
}

}  // namespace
