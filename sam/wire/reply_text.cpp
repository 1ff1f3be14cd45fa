#include "sam/wire/reply_text.hpp"

#include <velqor/message.hpp>

#include <cstring>

#include "sam/wire/i2p_base64.hpp"

namespace SAM {

namespace {

constexpr std::size_t longestKeptRun = 23;
constexpr std::size_t longestText = 160;

// Keys may come in I2P's base64 or in the standard one, which has "+" and "/" instead of "-"
// and "~": runs of either are cut.
bool isBase64Character(char c) { return I2pBase64::isTextCharacter(c) || c == '+' || c == '/'; }

}  // namespace

std::string scrubbed(const std::string& text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size() && out.size() < longestText) {
    std::size_t run = i;
    while (run < text.size() && isBase64Character(text[run])) ++run;
    if (run - i > longestKeptRun) {
      out += "...";
      i = run;
      continue;
    }
    for (; i < run; ++i) out += text[i];
    if (i < text.size() && !isBase64Character(text[i])) {
      const unsigned char c = static_cast<unsigned char>(text[i++]);
      out += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
  }
  if (out.size() > longestText) out.resize(longestText);
  return out;
}

std::string describeReply(const std::string& reply) {
  if (reply.empty()) return "no reply";
  const std::string result = Message::getValue(reply, "RESULT");
  if (result.empty()) {
    const std::size_t end = reply.find('\n');
    return "unexpected reply \"" + scrubbed(reply.substr(0, end)) + "\"";
  }
  // Scrubbed as a whole: "RESULT=" next to a value could make a long run of a short one.
  std::string text = "RESULT=" + result;
  const std::string message = Message::getValue(reply, "MESSAGE");
  if (!message.empty()) text += " MESSAGE=\"" + message + "\"";
  return scrubbed(text);
}

}  // namespace SAM
