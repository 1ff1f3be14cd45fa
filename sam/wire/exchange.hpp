// One exchange with the bridge on one connection, as text: the request line to send, the reply
// lines to read, and what the reply says. No descriptor and no clock: a driver feeds it the
// bytes that arrive and sends what it asks for. Internal: not part of the public interface.
#ifndef VELQOR_SAM_WIRE_EXCHANGE_HPP
#define VELQOR_SAM_WIRE_EXCHANGE_HPP

#include <velqor/message.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace SAM {
namespace wire {

// What an exchange asks for, and the name that reasons give it.
enum class Command {
  HELLO,           // "HELLO"
  SESSION_CREATE,  // "SESSION CREATE"
  NAMING_LOOKUP,   // "NAMING LOOKUP"
  DEST_GENERATE,   // "DEST GENERATE"
  STREAM_CONNECT,  // "STREAM CONNECT"
  STREAM_ACCEPT,   // "STREAM ACCEPT"
  STREAM_FORWARD,  // "STREAM FORWARD"
  LINE,            // a line of a stream, read on its own: "read"
  OTHER,           // a request line a caller gave whole: its first two words
};
const char* nameOf(Command command);

class Exchange {
 public:
  // The longest line taken, "\n" included.
  static constexpr std::size_t maxLineLength = 64 * 1024;

  enum class Need { SEND, RECEIVE, DONE };

  // Sends `requestLine` ("" sends nothing), then reads `replyLines` lines. For `command` this
  // decides what status() and value() read from them.
  Exchange(Command command, std::string requestLine, std::size_t replyLines);

  Command command() const { return command_; }
  // The exchange's name in reasons: nameOf(command()), or for OTHER the request line's first
  // two words ("NAMING LOOKUP").
  std::string name() const;
  Need need() const;

  // The part of the request line not sent yet; sent(n) says that its first n bytes went.
  std::string_view output() const;
  void sent(std::size_t n);

  // Takes bytes of the reply lines from the front of `bytes` and returns how many it took: all
  // of them while a line is incomplete, and never one past the "\n" that ends the last line it
  // reads, so that what follows (a stream's first bytes) stays with the driver. Takes nothing
  // once done or failed.
  std::size_t feed(std::string_view bytes);
  // No "\n" came within maxLineLength bytes: the exchange has failed and takes no more.
  bool lineTooLong() const { return tooLong_; }
  // Bytes of a line begun but not ended yet.
  std::size_t partialLength() const { return partial_.size(); }

  // The lines read so far, "\n" included.
  const std::vector<std::string>& lines() const { return lines_; }

  // What the reply says, once done. HELLO and the requests: the status of their first reply
  // line; DEST GENERATE: OK when that line holds non-empty PUB and PRIV, whatever its RESULT,
  // else NO_ANSWER; an exchange that reads no line (a silent stream request): OK.
  Message::eStatus status() const;
  // The value of the reply, for status() OK: HELLO its VERSION, SESSION CREATE its
  // DESTINATION, NAMING LOOKUP its VALUE; "" for the others.
  std::string value() const;

 private:
  Command command_;
  std::string request_;
  std::size_t sent_ = 0;
  std::size_t replyLines_;
  std::vector<std::string> lines_;
  std::string partial_;
  bool tooLong_ = false;
};

}  // namespace wire
}  // namespace SAM

#endif  // VELQOR_SAM_WIRE_EXCHANGE_HPP
