// Seeds: configuration texts of the shape the update server publishes.
#include <string>

#include "fuzz/support/seed_writer.h"

int main(int argc, char** argv) {
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  kestra::fuzz::WriteSeed(dir, "full",
      "MaxUploadConnNum=20\r\nMaxDownloadConnNum=256\r\nHttpDownloadThreadNum=4\r\n"
      "UploadBandLimitSecond=131072\r\nDownloadBandLimitSecond=0\r\nUpdateConfigIntervalSecond=600\r\n"
      "ReportMask=-1\r\nUsingUPnP=0\r\nReportEnable=1\r\n"
      "CDNList=\"http://127.0.0.1:8080/cdn/<3>\" http://127.0.0.2/cdn/\r\n"
      "HttpList=http://127.0.0.1:8080/burrow/ http://127.0.0.3/burrow/\r\n"
      "MainServer=127.0.0.1:9000\r\nIpDnsPickerUrl=http://127.0.0.1/ip\r\n");
  kestra::fuzz::WriteSeed(dir, "odd",
      "= \nMaxWaitTime=-5\nUpdateConfigIntervalSecond=99999999999\nCDNList=<>\nHttpList=\n");
  return 0;
}
