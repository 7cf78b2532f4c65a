// Seeds: status replies in the shapes the downloader core's "stat" and its
// unsolicited lines take.
#include <string>

#include "fuzz/support/seed_writer.h"

int main(int argc, char** argv) {
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  const std::string stat =
      "[Interactive] UserId=0\n[Interactive] P2PState=14\n[Interactive] Percentage=42.500000\n"
      "[Interactive] PercentageDownloaded=40.000000\n[Interactive] CurUpdatePercentage=3.0\n"
      "[Interactive] IncompleteByte=1048576\n[Interactive] UploadBandWidth=0.000000\n"
      "[Interactive] DownloadBandWidth=812.250000\n[Interactive] ConnectNum=3\n";
  kestra::fuzz::WriteSeed(dir, "stat", std::string(1, '\x40') + stat);
  kestra::fuzz::WriteSeed(dir, "error", std::string(1, '\x01') +
      "[Interactive] Error=WriteFile\n[Interactive] ErrorCode=112\n[Interactive] ErrorFile=data\\a.dat\n"
      "[Interactive] IncompleteByte=99999999\n[Interactive] TotalByte=100000000\n");
  kestra::fuzz::WriteSeed(dir, "file_name", std::string(1, '\0') +
      "[Interactive] FileName=:\n[Interactive] FileName=setup.exe\n[Interactive] VerifyPercentage=0.5\n");
  return 0;
}
