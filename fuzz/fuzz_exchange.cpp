// The exchange with the bridge, fed what a bridge sends in pieces of every size: it takes its
// reply lines whole, never a byte past the last one it waits for (those are a stream's), and
// reads the same lines and the same status however the bytes are cut.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_require.hpp"
#include "sam/wire/exchange.hpp"

using SAM::wire::Command;
using SAM::wire::Exchange;

namespace {

// Feeds `bytes` to `exchange` in pieces whose sizes come from `sizes`; returns how many it took.
std::size_t feedInPieces(Exchange& exchange, std::string_view bytes, std::string_view sizes) {
  std::size_t at = 0, taken = 0;
  for (std::size_t k = 0; at < bytes.size(); ++k) {
    const std::size_t piece =
        sizes.empty() ? bytes.size() : 1 + static_cast<unsigned char>(sizes[k % sizes.size()]) % 97;
    const std::string_view part = bytes.substr(at, piece);
    const std::size_t took = exchange.feed(part);
    FUZZ_REQUIRE(took <= part.size());
    taken += took;
    if (took < part.size()) {  // it stopped: at its last line's end, or at a line too long
      FUZZ_REQUIRE(exchange.need() == Exchange::Need::DONE);
      FUZZ_REQUIRE(exchange.feed(bytes.substr(at + took)) == 0);
      break;
    }
    at += piece;
  }
  return taken;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static const Command commands[] = {Command::HELLO, Command::NAMING_LOOKUP, Command::DEST_GENERATE,
                                     Command::STREAM_ACCEPT, Command::LINE};
  const Command command = commands[data[0] % 5];
  const std::size_t replies = data[1] % 3;
  // Then how many bytes give the pieces' sizes, those bytes, and the bytes to feed.
  const std::string_view rest(reinterpret_cast<const char*>(data) + 3, size - 3);
  const std::string_view sizes = rest.substr(0, std::min<std::size_t>(data[2] % 16, rest.size()));
  const std::string_view bytes = rest.substr(sizes.size());

  Exchange whole(command, "", replies), pieces(command, "", replies);
  const std::size_t tookWhole = feedInPieces(whole, bytes, "");
  const std::size_t tookPieces = feedInPieces(pieces, bytes, sizes);
  FUZZ_REQUIRE(tookWhole == tookPieces);
  FUZZ_REQUIRE(whole.lines() == pieces.lines());
  FUZZ_REQUIRE(whole.lineTooLong() == pieces.lineTooLong());

  // What it took is its lines, each ended by its one "\n", and then at most a partial line.
  std::string lines;
  for (const std::string& line : whole.lines()) {
    FUZZ_REQUIRE(!line.empty() && line.back() == '\n' && line.find('\n') == line.size() - 1);
    FUZZ_REQUIRE(line.size() <= Exchange::maxLineLength);
    lines += line;
  }
  FUZZ_REQUIRE(whole.lines().size() <= replies);
  FUZZ_REQUIRE(bytes.substr(0, lines.size()) == lines);
  if (whole.need() == Exchange::Need::DONE && !whole.lineTooLong()) {
    FUZZ_REQUIRE(tookWhole == lines.size() && whole.lines().size() == replies);
    if (replies > 0 && command != Command::DEST_GENERATE && command != Command::LINE) {
      FUZZ_REQUIRE(whole.status() == SAM::Message::checkAnswer(whole.lines()[0]));
    }
  } else if (!whole.lineTooLong()) {
    FUZZ_REQUIRE(tookWhole == bytes.size() && whole.partialLength() == bytes.size() - lines.size());
    FUZZ_REQUIRE(whole.partialLength() < Exchange::maxLineLength);
  }
  return 0;
}
