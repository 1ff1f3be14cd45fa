// Reads one HTTP/1.x response from the bytes of a stream and hands on its body.
#ifndef TESSIVAR_HTTP_RESPONSE_READER_HPP
#define TESSIVAR_HTTP_RESPONSE_READER_HPP

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tessivar {

// A push parser: it is fed the bytes of the stream as they come, in pieces of any size, and
// never touches a socket.
//  1. The status line is read first. Any status other than 2xx fails the response at once.
//  2. The body is handed to the sink, decoded when it is chunked, and nothing else is: not
//     the status line, headers, chunk sizes or trailers.
//  3. The body ends after Content-Length bytes, after the last chunk, or at the end of the
//     stream when neither is given (a 204 has none). Bytes after its end are ignored.
//  4. Memory stays bounded: lines of the head and chunk sizes longer than kMaxLineLength
//     fail the response; the body is never held.
//
// Not thread-safe.
class HttpResponseReader {
 public:
  using BodySink = std::function<void(const char* data, std::size_t size)>;

  static constexpr std::size_t kMaxLineLength = 64 * 1024;

  // `sink` receives the body's bytes in order. An exception it throws leaves feed().
  explicit HttpResponseReader(BodySink sink);

  // Takes the next `size` bytes of the stream. Does nothing once isDone() or hasFailed().
  void feed(const char* data, std::size_t size);
  // Tells that the stream has ended. The response is then complete (isDone()) or failed.
  void finish();

  // True once the body is complete: reading the stream may stop.
  bool isDone() const { return state_ == State::kDone; }
  bool hasFailed() const { return state_ == State::kFailed; }
  // Why the response failed, for example "HTTP status 404 Not Found"; empty otherwise.
  const std::string& error() const { return error_; }
  // The status code, once the status line has been read; 0 before.
  int statusCode() const { return statusCode_; }

 private:
  enum class State {
    kStatusLine,
    kHeaderLine,
    kBodyToEnd,
    kBodyWithLength,
    kChunkSizeLine,
    kChunkData,
    kChunkDataEnd,
    kTrailerLine,
    kDone,
    kFailed,
  };

  // Gathers bytes into line_ up to a "\n". Returns the number of bytes used and sets
  // `complete` when line_ now holds a whole line (its "\r\n" or "\n" removed).
  std::size_t takeLine(const char* data, std::size_t size, bool& complete);
  std::size_t takeBody(const char* data, std::size_t size);
  void onLine();
  void onStatusLine();
  void onHeaderLine();
  void onEndOfHead();
  void onChunkSizeLine();
  void fail(const std::string& why);

  BodySink sink_;
  State state_ = State::kStatusLine;
  std::string line_;
  std::string error_;
  int statusCode_ = 0;
  bool receivedAnything_ = false;
  bool hasContentLength_ = false;
  std::uint64_t contentLength_ = 0;
  std::uint64_t remaining_ = 0;  // bytes left of the body or of the current chunk
  std::string transferCodings_;  // every Transfer-Encoding value, joined by ","
};

}  // namespace tessivar

#endif  // TESSIVAR_HTTP_RESPONSE_READER_HPP
