// Texts about replies of the bridge, for reasons of failures. Internal: not part of the public
// interface.
#ifndef VELQOR_SAM_WIRE_REPLY_TEXT_HPP
#define VELQOR_SAM_WIRE_REPLY_TEXT_HPP

#include <string>

namespace SAM {

// `text` made fit for one line of a reason: bytes outside printable ASCII become "?", every
// run of 24 or more characters of the I2P base64 alphabet (a key, a destination, a piece of
// one) becomes "...", and the result is cut to 160 characters. A bridge may echo a request
// line, and a SESSION CREATE line carries the private destination: this keeps key material
// out of every reason.
std::string scrubbed(const std::string& text);

// What a reply says, for a reason: `RESULT=X`, and ` MESSAGE="..."` when it has a message;
// the scrubbed reply itself when it has no RESULT; "no reply" when it is empty.
std::string describeReply(const std::string& reply);

}  // namespace SAM

#endif  // VELQOR_SAM_WIRE_REPLY_TEXT_HPP
