// The contract between the updater and the downloader core: the core's
// command-line switches, the control channel's command words and selectors,
// the keys and fixed values of the lines the core writes, the error tokens
// and the download states. Each of these texts is written here and nowhere
// else; both programs and their tests refer to these names.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestra::protocol {

// ---------------------------------------------------------------------------
// Command line of the core. A switch is "-" followed by its name.
inline constexpr char kSwitchPrefix = '-';

inline constexpr char kParamDir[] = "Dir";
inline constexpr char kParamPostfix[] = "Postfix";
inline constexpr char kParamLocalTcp[] = "LocalTcp";
inline constexpr char kParamLocalUdp[] = "LocalUdp";
inline constexpr char kParamLocalIp[] = "LocalIp";  // dotted IPv4 the core binds and connects from
inline constexpr char kParamUploadLimit[] = "UploadLimit";
inline constexpr char kParamDownloadLimit[] = "DownloadLimit";
inline constexpr char kParamUPnPText[] = "UPnPText";
inline constexpr char kParamNotUsingUPnP[] = "NotUsingUPnP";
inline constexpr char kParamHttpThread[] = "HttpThread";
inline constexpr char kParamHttpUrl[] = "HttpUrl";
inline constexpr char kParamP2PUploadThread[] = "P2PUploadThread";
inline constexpr char kParamP2PUploadListSize[] = "P2PUploadListSize";
inline constexpr char kParamTorrent[] = "Torrent";
inline constexpr char kParamDeleteDownloadInfo[] = "DeleteDownloadInfo";
inline constexpr char kParamOnlyLocalConfig[] = "OnlyLocalConfig";
inline constexpr char kParamReportPercentInterval[] = "ReportPercentInterval";
inline constexpr char kParamInfoFolderHidden[] = "InfoFolderHidden";
inline constexpr char kParamOutInfoLevel[] = "OutInfoLevel";
inline constexpr char kParamLogLevel[] = "LogLevel";
inline constexpr char kParamMaxUploadNum[] = "MaxUploadNum";
inline constexpr char kParamMaxDownloadNum[] = "MaxDownloadNum";
inline constexpr char kParamId[] = "id";
inline constexpr char kParamMode[] = "Mode";
inline constexpr char kParamFsys[] = "Fsys";
inline constexpr char kParamShowDumpDlg[] = "ShowDumpDlg";
inline constexpr char kParamHttpReport[] = "HttpReport";
inline constexpr char kParamGenerateDownloadInfo[] = "GenerateDownloadInfo";
inline constexpr char kParamInteractivePort[] = "InteractivePort";
inline constexpr char kParamMaxOldLog[] = "MaxOldLog";

// Values of the Mode switch.
inline constexpr char kModeDownloadName[] = "download";
inline constexpr char kModeUpdateName[] = "update";
inline constexpr char kModeRepairName[] = "repair";

// ---------------------------------------------------------------------------
// Framing of the control channel: one line per message, ended by a line feed.
inline constexpr char kLineEnd = '\n';

// Tags of the lines the core writes: "[" tag "]" key "=" value.
inline constexpr char kTagInteractive[] = "Interactive";
inline constexpr char kTagWarning[] = "Warning";
inline constexpr char kTagInfo[] = "Info";
inline constexpr char kTagOpen = '[';
inline constexpr char kTagClose = ']';
inline constexpr char kKeyValueSeparator = '=';

// Single-word replies of "setquicklevel" and "setpriority".
inline constexpr char kReplySucceeded[] = "succeeded";
inline constexpr char kReplyFailed[] = "failed";

// ---------------------------------------------------------------------------
// Command words, the first word of a command line.
inline constexpr char kCmdQuit[] = "quit";
inline constexpr char kCmdRestart[] = "restart";
inline constexpr char kCmdStat[] = "stat";
inline constexpr char kCmdSet[] = "set";
inline constexpr char kCmdGet[] = "get";
inline constexpr char kCmdSetQuickLevel[] = "setquicklevel";
inline constexpr char kCmdSetPriority[] = "setpriority";
inline constexpr char kCmdShowP2P[] = "showp2p";
inline constexpr char kCmdShowFileBlock[] = "showfileblock";

// Selectors, the word after "set" or "get".
inline constexpr char kSelUploadLimit[] = "ubl";        // set, get
inline constexpr char kSelDownloadLimit[] = "dbl";      // set, get
inline constexpr char kSelMaxUploadConn[] = "muc";      // set, get
inline constexpr char kSelMaxDownloadConn[] = "mdc";    // set, get
inline constexpr char kSelOutputLevel[] = "oil";        // set, get
inline constexpr char kSelHttpThreads[] = "httpdtn";    // set
inline constexpr char kSelCurrentUpload[] = "cub";      // get
inline constexpr char kSelCurrentDownload[] = "cdb";    // get
inline constexpr char kSelPercentages[] = "pct";        // get
inline constexpr char kSelTotalBytes[] = "tb";         // get
inline constexpr char kSelIncompleteBytes[] = "icb";   // get
inline constexpr char kSelState[] = "p2ps";             // get
inline constexpr char kSelUploadUsers[] = "cuun";       // get
inline constexpr char kSelDownloadUsers[] = "cdun";     // get
inline constexpr char kSelConnections[] = "ccn";        // get
inline constexpr char kSelUserId[] = "uid";             // get
inline constexpr char kSelConfigDump[] = "state";       // get
inline constexpr char kSelFileName[] = "qf";            // get, followed by a file index
inline constexpr char kSelVersion[] = "version";        // get
inline constexpr char kSelAverageSpeed[] = "ave";       // get
inline constexpr char kSelDownloadBytes[] = "cdbs";     // get
inline constexpr char kSelP2pDownloadBytes[] = "cp2pdbs";  // get

// ---------------------------------------------------------------------------
// Keys of the lines the core writes, as replies or unasked.
inline constexpr char kKeyUserId[] = "UserId";
inline constexpr char kKeyP2PState[] = "P2PState";
inline constexpr char kKeyPercentage[] = "Percentage";
inline constexpr char kKeyPercentageDownloaded[] = "PercentageDownloaded";
inline constexpr char kKeyCurUpdatePercentage[] = "CurUpdatePercentage";
inline constexpr char kKeyIncompleteByte[] = "IncompleteByte";
inline constexpr char kKeyTotalByte[] = "TotalByte";
inline constexpr char kKeyUploadBandWidth[] = "UploadBandWidth";
inline constexpr char kKeyDownloadBandWidth[] = "DownloadBandWidth";
inline constexpr char kKeyUploadUserNum[] = "UploadUserNum";
inline constexpr char kKeyDownloadUserNum[] = "DownloadUserNum";
inline constexpr char kKeyConnectNum[] = "ConnectNum";
inline constexpr char kKeyMaxUploadBandWidth[] = "MaxUploadBandWidth";
inline constexpr char kKeyMaxDownloadBandWidth[] = "MaxDownloadBandWidth";
inline constexpr char kKeyMaxUploadNum[] = "MaxUploadNum";
inline constexpr char kKeyMaxDownloadNum[] = "MaxDownloadNum";
inline constexpr char kKeyTcpListenPort[] = "TcpListenPort";
inline constexpr char kKeyUdpPort[] = "UdpProt";  // spelt so on the wire
inline constexpr char kKeyMainServerIp[] = "MainServerIp";
inline constexpr char kKeyMainServerPort[] = "MainServerPort";
inline constexpr char kKeyCurrentDir[] = "CurrentDir";
inline constexpr char kKeySeedFilePath[] = "SeedFilePath";
inline constexpr char kKeySeedFilePathPast[] = "SeedFilePathPast";
inline constexpr char kKeyDownloadInfoDataFilePath[] = "DownloadInfoDataFilePath";
inline constexpr char kKeyUploadThreadNum[] = "UploadThreadNum";
inline constexpr char kKeyMaxWaitTask[] = "MaxWaitTask";
inline constexpr char kKeyHttpDownloadThreadNum[] = "HttpDownloadThreadNum";
inline constexpr char kKeyP2PLogLevel[] = "P2PLogLevel";
inline constexpr char kKeyFileName[] = "FileName";
inline constexpr char kKeyVersion[] = "version";
inline constexpr char kKeyAverageSpeed[] = "AverageSpeed";
inline constexpr char kKeyCurrentDownloadBytes[] = "CurrentDownloadBytes";
inline constexpr char kKeyCurrentP2pDownloadBytes[] = "CurrentP2pDownloadBytes";
// Written unasked.
inline constexpr char kKeyError[] = "Error";
inline constexpr char kKeyErrorCode[] = "ErrorCode";
inline constexpr char kKeyErrorFile[] = "ErrorFile";
inline constexpr char kKeyVerifyPercentage[] = "VerifyPercentage";
inline constexpr char kKeyVerifyFilename[] = "VerifyFilename";

// "FileName" while no file with the asked index is registered.
inline constexpr char kNoFileName[] = ":";

// The lines of a "stat" reply, always all of them, in this order.
inline constexpr std::array<const char*, 11> kStatKeys = {
    kKeyUserId,          kKeyP2PState,        kKeyPercentage,
    kKeyPercentageDownloaded, kKeyCurUpdatePercentage, kKeyIncompleteByte,
    kKeyUploadBandWidth, kKeyDownloadBandWidth, kKeyUploadUserNum,
    kKeyDownloadUserNum, kKeyConnectNum};

// The lines of the "get state" reply, in this order.
inline constexpr std::array<const char*, 11> kConfigDumpKeys = {
    kKeyTcpListenPort,  kKeyUdpPort,         kKeyMainServerIp,
    kKeyMainServerPort, kKeyCurrentDir,      kKeySeedFilePath,
    kKeySeedFilePathPast, kKeyDownloadInfoDataFilePath, kKeyUploadThreadNum,
    kKeyMaxWaitTask,    kKeyHttpDownloadThreadNum};

// ---------------------------------------------------------------------------
// Values of "Error": what failed in the core.
inline constexpr char kErrWriteFile[] = "WriteFile";          // with ErrorCode, ErrorFile
inline constexpr char kErrOpenFile[] = "OpenFile";            // with ErrorCode, ErrorFile
inline constexpr char kErrSetFileSize[] = "SetFileSize";      // with ErrorFile
inline constexpr char kErrReadSeed[] = "ReadSeed";
inline constexpr char kErrDownloadTorrent[] = "DownloadTorrent";  // after state 6
inline constexpr char kErrDownloadSeed[] = "DownloadSeed";        // after state 9

// ---------------------------------------------------------------------------
// Download states, sent as "P2PState".
enum DownloadState : std::int32_t {
  kBegin = 0,
  kParsePara = 1,
  kParseParaError = 2,
  kIniting = 3,
  kInitError = 4,
  kGetSeedMd5 = 5,
  kGetSeedMd5Fail = 6,
  kCheckSeedFile = 7,
  kDownloadSeedFile = 8,
  kDownloadSeedFileFail = 9,
  kAnalysisSeed = 10,
  kCreateFile = 11,
  kAllFileCheckMd5 = 12,
  kAnalysisSeedError = 13,
  kDownloading = 14,
  kDownloadCompleted = 15,
  kToQuit = 16,
  kQuit = 17,
};
inline constexpr std::int32_t kDownloadStateCount = 18;

inline constexpr std::array<const char*, kDownloadStateCount> kDownloadStateNames = {
    "BEGIN",          "PARSE_PARA",        "PARSE_PARA_ERROR",        "INITING",
    "INIT_ERROR",     "GET_SEED_MD5",      "GET_SEED_MD5_FAIL",       "CHECK_SEED_FILE",
    "DOWNLOAD_SEED_FILE", "DOWNLOAD_SEED_FILE_FAIL", "ANALYSIS_SEED", "CREATE_FILE",
    "ALL_FILE_CHECK_MD5", "ANALYSIS_SEED_ERROR", "DOWNLOADING",     "DOWNLOAD_COMPLETED",
    "TO_QUIT",        "QUIT"};

// "BEGIN" ... "QUIT"; "" for a number outside 0-17.
constexpr const char* DownloadStateName(std::int32_t state) {
  return state >= 0 && state < kDownloadStateCount
             ? kDownloadStateNames[static_cast<std::size_t>(state)]
             : "";
}

}  // namespace kestra::protocol
