// The updater's minimal blocking HTTP client: the abstract steps of one
// request over one TCP socket.
#pragma once

namespace NetModel {

class SimpleHttp {
 public:
  // Opens the TCP connection.
  virtual void Connect() = 0;
  // Sends the request text.
  virtual void SendRequest() = 0;
  // Reads the response until the server closes or the time is spent.
  virtual void ReceiveResponse() = 0;
  // Closes the socket.
  virtual void Close() = 0;
  virtual ~SimpleHttp() = default;
};

}  // namespace NetModel
