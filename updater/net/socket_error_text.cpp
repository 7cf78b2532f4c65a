#include "updater/net/socket_error_text.h"

#include <cstdio>

#include "platform/net.h"

namespace NetModel {

namespace {

namespace n = platform::net;

struct CodeText {
  int code;
  const char* text;
};

constexpr CodeText kTexts[] = {
    {n::kWSAEINTR, "Blocking call cancelled"},
    {n::kWSAEINVAL, "app version not supported by DLL"},
    {n::kWSAEMFILE, "no file descriptors available"},
    {n::kWSAEWOULDBLOCK, "socket marked as non-blocking and SO_LINGER set not 0"},
    {n::kWSAEINPROGRESS, "Blocking operation in progress"},
    {n::kWSAENOTSOCK, "descriptor is not a socket"},
    {n::kWSAEPROTOTYPE, "protocol wrong type for this socket"},
    {n::kWSAEPROTONOSUPPORT, "specified protocol not supported"},
    {n::kWSAESOCKTNOSUPPORT, "socket type not supported for address family"},
    {n::kWSAEAFNOSUPPORT, "address family not supported"},
    {n::kWSAEADDRINUSE, "address already in use"},
    {n::kWSAEADDRNOTAVAIL, "address not available"},
    {n::kWSAENETDOWN, "Network subsystem failed"},
    {n::kWSAECONNABORTED, "connection aborted"},
    {n::kWSAECONNRESET, "connection reset"},
    {n::kWSAENOBUFS, "no buffer space available"},
    {n::kWSAENOTCONN, "not connected"},
    {n::kWSAETIMEDOUT, "connection timed out"},
    {n::kWSAECONNREFUSED, "connection refused"},
    {n::kWSAEHOSTDOWN, "host down"},
    {n::kWSAEHOSTUNREACH, "host unreachable"},
    {n::kWSASYSNOTREADY, "WinSock not present or not responding"},
    {n::kWSAVERNOTSUPPORTED, "version of WinSock not supported"},
    {n::kWSANOTINITIALISED, "WSA Startup not initialized"},
    {n::kWSAHOST_NOT_FOUND, "Authoritive: Host not found"},
    {n::kWSATRY_AGAIN, "Non-authoritive: host not found or server failure"},
    {n::kWSANO_RECOVERY, "Non-recoverable: refused or not implemented"},
    {n::kWSANO_DATA, "Valid name, no data record for type"},
};

}  // namespace

std::string SocketErrorTextFor(int code) {
  for (const CodeText& entry : kTexts) {
    if (entry.code == code) return entry.text;
  }
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "Err code: %d", code);
  return buffer;
}

std::string SocketErrorText() { return SocketErrorTextFor(platform::net::LastError()); }

}  // namespace NetModel
