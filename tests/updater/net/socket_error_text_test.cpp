#include "updater/net/socket_error_text.h"

#include <gtest/gtest.h>

#include "platform/net.h"

namespace {

TEST(SocketErrorText, EveryKnownCodeHasItsText) {
  struct Case {
    int code;
    const char* text;
  } cases[] = {
      {10004, "Blocking call cancelled"},
      {10022, "app version not supported by DLL"},
      {10024, "no file descriptors available"},
      {10035, "socket marked as non-blocking and SO_LINGER set not 0"},
      {10036, "Blocking operation in progress"},
      {10038, "descriptor is not a socket"},
      {10041, "protocol wrong type for this socket"},
      {10043, "specified protocol not supported"},
      {10044, "socket type not supported for address family"},
      {10047, "address family not supported"},
      {10048, "address already in use"},
      {10049, "address not available"},
      {10050, "Network subsystem failed"},
      {10053, "connection aborted"},
      {10054, "connection reset"},
      {10055, "no buffer space available"},
      {10057, "not connected"},
      {10060, "connection timed out"},
      {10061, "connection refused"},
      {10064, "host down"},
      {10065, "host unreachable"},
      {10091, "WinSock not present or not responding"},
      {10092, "version of WinSock not supported"},
      {10093, "WSA Startup not initialized"},
      {11001, "Authoritive: Host not found"},
      {11002, "Non-authoritive: host not found or server failure"},
      {11003, "Non-recoverable: refused or not implemented"},
      {11004, "Valid name, no data record for type"},
  };
  for (const Case& c : cases) EXPECT_EQ(NetModel::SocketErrorTextFor(c.code), c.text) << c.code;
}

TEST(SocketErrorText, OtherCodesShowTheirNumber) {
  EXPECT_EQ(NetModel::SocketErrorTextFor(10051), "Err code: 10051");
  EXPECT_EQ(NetModel::SocketErrorTextFor(0), "Err code: 0");
  EXPECT_EQ(NetModel::SocketErrorTextFor(-2147483647 - 1), "Err code: -2147483648");
}

TEST(SocketErrorText, FollowsTheSocketLayersLastError) {
  platform::net::SetLastError(platform::net::kWSAECONNREFUSED);
  EXPECT_EQ(NetModel::SocketErrorText(), "connection refused");
  platform::net::SetLastError(platform::net::kWSAETIMEDOUT);
  EXPECT_EQ(NetModel::SocketErrorText(), "connection timed out");
}

}  // namespace
