// The C interface's texts for error codes and the library's version, both static.
#include <velqor/velqor.h>

extern "C" {

const char* velqor_strerror(int code) {
  switch (code) {
    case VELQOR_ERROR_NONE:
      return "no failure";
    case VELQOR_ERROR_RESOLVE:
      return "the bridge's host name did not resolve";
    case VELQOR_ERROR_CONNECT:
      return "the TCP connection to the bridge could not be made";
    case VELQOR_ERROR_TIMED_OUT:
      return "a time limit passed";
    case VELQOR_ERROR_CANCELLED:
      return "the call was cancelled";
    case VELQOR_ERROR_CLOSED:
      return "the peer closed the connection";
    case VELQOR_ERROR_IO:
      return "a send or a receive failed";
    case VELQOR_ERROR_PROTOCOL:
      return "the bridge's answer was not a usable reply";
    case VELQOR_ERROR_REFUSED:
      return "the bridge refused the request";
    case VELQOR_ERROR_ARGUMENT:
      return "an argument was refused before anything was sent";
    case VELQOR_ERROR_KEY_FILE:
      return "a key file could not be read or written";
    default:
      return "unknown error code";
  }
}

// VELQOR_VERSION_STRING comes from the project's version in CMake.
const char* velqor_version(void) { return VELQOR_VERSION_STRING; }

}  // extern "C"
