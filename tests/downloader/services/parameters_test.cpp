#include "downloader/services/parameters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelt {
namespace {

Parameters Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "kestra-downloader");
  Parameters p;
  EXPECT_TRUE(ParseParameters(args, 4242, p));
  return p;
}

TEST(LegacyRandomTest, UnseededSequence) {
  LegacyRandom r;
  const int expected[] = {41, 18467, 6334, 26500, 19169, 15724};
  for (int e : expected) EXPECT_EQ(r.Next(), e);
}

TEST(ParametersTest, DefaultsWithoutArguments) {
  Parameters p = Parse({});
  EXPECT_EQ(p.pgmname, "kestra-downloader");
  EXPECT_EQ(p.current_dir, "4242\\");
  EXPECT_EQ(p.udp_port, 10041);
  EXPECT_EQ(p.tcp_listen_port, 0);
  EXPECT_EQ(p.upload_limit, 131072u);
  EXPECT_EQ(p.download_limit, 262144u);
  EXPECT_EQ(p.http_thread_num, 4);
  EXPECT_FALSE(p.has_http_url);
  EXPECT_EQ(p.upload_thread_num, 10);
  EXPECT_EQ(p.max_wait_task, 10);
  EXPECT_EQ(p.report_percent_interval, 5);
  EXPECT_EQ(p.out_info_level, 0);
  EXPECT_EQ(p.log_level, 5);
  EXPECT_EQ(p.max_upload_num, 20);
  EXPECT_EQ(p.max_download_num, 256);
  EXPECT_EQ(p.mode, kModeUpdate);
  EXPECT_EQ(p.fsys_mode, 1);
  EXPECT_TRUE(p.show_dump_dlg);
  EXPECT_TRUE(p.http_report);
  EXPECT_TRUE(p.using_upnp);
  EXPECT_FALSE(p.interactive_port.has_value());
  EXPECT_EQ(p.max_old_log, 10);
  Parameters empty;
  EXPECT_FALSE(ParseParameters({}, 1, empty));
}

TEST(ParametersTest, LocalIpTakesOnlyADottedIpv4Address) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, ""},
      {{"-LocalIp", "127.0.0.1"}, "127.0.0.1"},
      {{"-LocalIp", "127.1.2.255"}, "127.1.2.255"},
      {{"-LocalIp", "127.1"}, ""},
      {{"-LocalIp", "256.0.0.1"}, ""},
      {{"-LocalIp", "1.2.3.4.5"}, ""},
      {{"-LocalIp", "1.2.3.4 "}, ""},
      {{"-LocalIp", "a.b.c.d"}, ""},
      {{"-LocalIp", "0001.2.3.4"}, ""},
      {{"-LocalIp"}, ""},
      {{"-LocalIp", "-HttpThread", "3"}, ""},
  };
  for (const auto& [args, ip] : cases) {
    EXPECT_EQ(Parse(args).local_ip, ip) << (args.size() > 1 ? args[1] : "");
  }
}

TEST(ParametersTest, DefaultUdpPortIsTheSameInEveryRun) {
  for (int run = 0; run < 3; ++run) EXPECT_EQ(Parse({"-HttpUrl", "http://127.0.0.1/"}).udp_port, 10041);
}

TEST(ParametersTest, NumericRules) {
  struct Case {
    std::vector<std::string> args;
    std::uint32_t upload, download;
    std::uint16_t tcp, udp;
    std::int32_t report;
  };
  const Case cases[] = {
      {{"-UploadLimit", "1000000"}, 1024000000u, 262144u, 0, 10041, 5},
      {{"-UploadLimit", "2"}, 3u * 1024, 262144u, 0, 10041, 5},
      {{"-UploadLimit", "5000000"}, 1048576u * 1024, 262144u, 0, 10041, 5},
      {{"-DownloadLimit", "5"}, 131072u, 10u * 1024, 0, 10041, 5},
      {{"-DownloadLimit", "2000000"}, 131072u, 1048576u * 1024, 0, 10041, 5},
      {{"-DownloadLimit", "12abc"}, 131072u, 262144u, 0, 10041, 5},  // not a number
      {{"-UploadLimit"}, 131072u, 262144u, 0, 10041, 5},              // no value
      {{"-LocalTcp", "70000"}, 131072u, 262144u, 0, 10041, 5},
      {{"-LocalTcp", "8080", "-LocalUdp", "20000"}, 131072u, 262144u, 8080, 20000, 5},
      {{"-LocalUdp", "0"}, 131072u, 262144u, 0, 10041, 5},
      {{"-ReportPercentInterval", "0"}, 131072u, 262144u, 0, 10041, 5},
      {{"-ReportPercentInterval", "101"}, 131072u, 262144u, 0, 10041, 5},
      {{"-ReportPercentInterval", "100"}, 131072u, 262144u, 0, 10041, 100},
  };
  for (const Case& c : cases) {
    Parameters p = Parse(c.args);
    SCOPED_TRACE(c.args[0]);
    EXPECT_EQ(p.upload_limit, c.upload);
    EXPECT_EQ(p.download_limit, c.download);
    EXPECT_EQ(p.tcp_listen_port, c.tcp);
    EXPECT_EQ(p.udp_port, c.udp);
    EXPECT_EQ(p.report_percent_interval, c.report);
  }
}

TEST(ParametersTest, ModeWithoutValueThenHttpThread) {
  Parameters p = Parse({"-Mode", "-HttpThread", "4"});
  EXPECT_EQ(p.mode, kModeUpdate);
  EXPECT_EQ(p.http_thread_num, 4);
  EXPECT_EQ(Parse({"-Mode", "download"}).mode, kModeDownload);
  EXPECT_EQ(Parse({"-Mode", "repair"}).mode, kModeRepair);
  EXPECT_EQ(Parse({"-Mode", "Download"}).mode, kModeUpdate);
  EXPECT_EQ(Parse({"-HttpThread", "8"}).http_thread_num, 8);
  EXPECT_EQ(Parse({"-HttpThread", "100000"}).http_thread_num, 4);  // absurd: ignored
}

TEST(ParametersTest, DirNormalisation) {
  struct Case {
    const char* value;
    const char* dir;
  };
  const Case cases[] = {
      {"C:\\game\\dl\\", "C:\\game\\dl\\"},
      {"C:\\game\\dl", "C:\\game\\dl\\"},
      {"C:\\game\\\\dl", "C:\\game\\dl\\"},
      {"/tmp/a/b", "\\tmp\\a\\b\\"},
      {"/tmp//a/\\b\\/c/", "\\tmp\\a\\b\\c\\"},
      {" \t\"/tmp/quoted\"\r\n", "\\tmp\\quoted\\"},
      {"rel", "rel\\"},
      {"dl\\\\", "dl\\"},
      {"", ""},
      {"\" \"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NormalizeDir(c.value), c.dir) << c.value;
    EXPECT_EQ(Parse({"-Dir", c.value}).current_dir, c.dir) << c.value;
  }
}

TEST(ParametersTest, PostfixAndTaskName) {
  EXPECT_EQ(Parse({"-Postfix", "a:b*c\"d/e<f>g?h\\i|j"}).postfix, "a-b-c-d-e-f-g-h-i-j");
  EXPECT_EQ(Parse({"-Postfix", "12:30"}).postfix, "12-30");
  Parameters p = Parse({"-Torrent", "patch1.2.3.torrent"});
  EXPECT_EQ(p.torrent_path, "patch1.2.3.torrent");
  EXPECT_EQ(p.task_name, "patch1");
  EXPECT_EQ(Parse({"-Torrent", "plain"}).task_name, "plain");
}

TEST(ParametersTest, HttpUrlsAreShuffledTheSameWayEveryTime) {
  std::vector<std::string> args = {"-HttpUrl", "u0", "u1", "u2", "u3"};
  // After the draw for the UDP port: 18467 % 2 = 1, 6334 % 3 = 1, 26500 % 4 = 0.
  const std::vector<std::string> expected = {"u3", "u2", "u1", "u0"};
  EXPECT_EQ(Parse(args).http_urls, expected);
  EXPECT_EQ(Parse(args).http_urls, expected);
  EXPECT_TRUE(Parse(args).has_http_url);
  EXPECT_EQ(Parse({"-HttpUrl", "only"}).http_urls, std::vector<std::string>{"only"});
  EXPECT_FALSE(Parse({"-HttpUrl"}).has_http_url);
  EXPECT_FALSE(Parse({"-HttpUrl", "-Dir", "x"}).has_http_url);
}

TEST(ParametersTest, SyntaxFlagsAndSwitches) {
  Parameters p = Parse({"stray", "-", "-NotUsingUPnP", "-DeleteDownloadInfo", "-OnlyLocalConfig",
                        "-InfoFolderHidden", "-GenerateDownloadInfo", "-ShowDumpDlg", "0",
                        "-HttpReport", "0", "-InteractivePort", "12345", "-id", "abc",
                        "-UPnPText", "upnp", "-MaxOldLog", "3", "-LogLevel", "2",
                        "-OutInfoLevel", "5", "-MaxUploadNum", "7", "-MaxDownloadNum", "9",
                        "-P2PUploadThread", "6", "-P2PUploadListSize", "12", "-Fsys", "0"});
  EXPECT_FALSE(p.using_upnp);
  EXPECT_TRUE(p.delete_download_info);
  EXPECT_TRUE(p.only_local_config);
  EXPECT_TRUE(p.info_folder_hidden);
  EXPECT_TRUE(p.generate_download_info);
  EXPECT_FALSE(p.show_dump_dlg);
  EXPECT_FALSE(p.http_report);
  EXPECT_EQ(p.interactive_port, std::optional<std::uint16_t>(12345));
  EXPECT_EQ(p.id, "abc");
  EXPECT_EQ(p.upnp_text, "upnp");
  EXPECT_EQ(p.max_old_log, 3);
  EXPECT_EQ(p.log_level, 2);
  EXPECT_EQ(p.out_info_level, 5);
  EXPECT_EQ(p.max_upload_num, 7);
  EXPECT_EQ(p.max_download_num, 9);
  EXPECT_EQ(p.upload_thread_num, 6);
  EXPECT_EQ(p.max_wait_task, 12);
  EXPECT_EQ(p.fsys_mode, 0);
  EXPECT_EQ(p.current_dir, "4242\\");  // "stray" and "-" are no parameters

  // Switches with unreadable values, and ports out of range.
  Parameters q = Parse({"-ShowDumpDlg", "no", "-HttpReport", "7", "-InteractivePort", "70000"});
  EXPECT_TRUE(q.show_dump_dlg);
  EXPECT_TRUE(q.http_report);
  EXPECT_FALSE(q.interactive_port.has_value());
  EXPECT_FALSE(Parse({"-InteractivePort", "0"}).interactive_port.has_value());
  EXPECT_FALSE(Parse({"-InteractivePort"}).interactive_port.has_value());
  // An overlong value is dropped whole; the next value counts instead.
  Parameters r = Parse({"-Dir", std::string(kMaxValueBytes + 1, 'a'), "short"});
  EXPECT_EQ(r.current_dir, "short\\");
  EXPECT_EQ(Parse({"-Dir", std::string(kMaxValueBytes + 1, 'a')}).current_dir, "4242\\");
  // Parameter names are case-sensitive; an unknown one is ignored.
  EXPECT_EQ(Parse({"-dir", "x", "-Unknown", "1"}).current_dir, "4242\\");
}

}  // namespace
}  // namespace zelt
