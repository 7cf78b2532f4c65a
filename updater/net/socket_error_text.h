// English texts for socket failures, keyed by the Windows Sockets codes.
#pragma once

#include <string>

namespace NetModel {

// The text for the socket layer's current last error.
std::string SocketErrorText();
// The text for one code; "Err code: N" for codes without a text of their own.
std::string SocketErrorTextFor(int code);

}  // namespace NetModel
