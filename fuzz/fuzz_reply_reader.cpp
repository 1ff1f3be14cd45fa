// What the library reads from the bridge: Message::checkAnswer and Message::getValue on any
// bytes, with keys taken from the input itself and values of any bytes planted into well-formed
// replies; the description of a reply in reasons, which must never carry a key; and the public
// destination derived from a private one, over I2P base64 that round-trips.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <velqor/sam.hpp>

#include "fuzz_require.hpp"
#include "sam/i2p_base64.hpp"
#include "sam/reply_text.hpp"

namespace {

using SAM::Message;

// The words of the first line that look like keys: what precedes "=" in each word.
std::vector<std::string> keysIn(const std::string& answer) {
  std::vector<std::string> keys;
  const std::string line = answer.substr(0, answer.find('\n'));
  std::size_t begin = 0;
  while (begin < line.size() && keys.size() < 8) {
    std::size_t end = line.find(' ', begin);
    if (end == std::string::npos) end = line.size();
    const std::size_t equals = line.find('=', begin);
    if (equals < end) keys.push_back(line.substr(begin, equals - begin));
    begin = end + 1;
  }
  return keys;
}

// A key that a reply can carry: not empty, and none of space, "=", '"' or a line break.
bool isPlainKey(const std::string& key) {
  return !key.empty() && key.find_first_of(" =\"\r\n") == std::string::npos;
}

std::string quoted(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

void checkStatus(const std::string& answer) {
  const Message::eStatus status = Message::checkAnswer(answer);
  FUZZ_REQUIRE(status >= Message::OK && status <= Message::ALREADY_ACCEPTING);
  FUZZ_REQUIRE(status != Message::SOCKET_NOT_OK);
  FUZZ_REQUIRE((status == Message::NO_ANSWER) == answer.empty());
  FUZZ_REQUIRE((status == Message::OK) == (Message::getValue(answer, "RESULT") == "OK"));
}

void checkValue(const std::string& answer, const std::string& key) {
  const std::string value = Message::getValue(answer, key);
  FUZZ_REQUIRE(value.find('\n') == std::string::npos);
  // A key never contains a space, "=" or a line break, so such a key is never found.
  if (key.empty() || key.find_first_of(" =\n") != std::string::npos) FUZZ_REQUIRE(value.empty());
  // Only the first line counts, and its "\n" only ends it.
  const std::size_t newline = answer.find('\n');
  if (newline != std::string::npos) {
    FUZZ_REQUIRE(Message::getValue(answer.substr(0, newline), key) == value);
    FUZZ_REQUIRE(Message::getValue(answer.substr(0, newline + 1) + "X " + key + "=Y", key) ==
                 value);
  }
  // A leading word without "=" changes nothing.
  FUZZ_REQUIRE(Message::getValue("REPLY " + answer, key) == value);
}

// Plants `value` (any bytes but "\n") under a plain key into a reply, among decoys that a
// careless reader would take for the key, and reads it back.
void checkPlanted(const std::string& key, std::string value) {
  if (!isPlainKey(key)) return;
  for (char& c : value) {
    if (c == '\n') c = '.';
  }
  const std::string decoys =
      "X" + key + "=tail Y" + key + "=" + quoted(" " + key + "=inside ") + " ";
  const std::string inQuotes = "R " + decoys + key + "=" + quoted(value) + " " + key + "2=1\n";
  FUZZ_REQUIRE(Message::getValue(inQuotes, key) == value);
  FUZZ_REQUIRE(Message::getValue(inQuotes, key + "2") == "1");

  if (value.find(' ') == std::string::npos && (value.empty() || value[0] != '"')) {
    const std::string plain = "R " + decoys + key + "=" + value + "\n";
    FUZZ_REQUIRE(Message::getValue(plain, key) == value);
    FUZZ_REQUIRE(Message::getValue(plain + " " + key + "=later", key) == value);
  }
}

// What a reason says of a reply is one printable line without a run of base64 long enough to
// be a piece of a key, whatever the bridge sent (it may echo a SESSION CREATE line).
void checkDescription(const std::string& answer) {
  const std::string text = SAM::describeReply(answer);
  std::size_t run = 0;
  for (char c : text) {
    FUZZ_REQUIRE(c >= 0x20 && c < 0x7f);
    run = std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-~=+/", c) ? run + 1 : 0;
    FUZZ_REQUIRE(run < 24);
  }
}

// A private destination's public part: its first 387 bytes plus the certificate length at
// bytes 385-386, when the text decodes and is that long; else the first 516 characters.
void checkDerivation(const std::string& priv) {
  const std::string pub = SAM::derivePublicDestination(priv);
  const auto bytes = SAM::I2pBase64::decode(priv);
  if (bytes) FUZZ_REQUIRE(SAM::I2pBase64::encode(*bytes).size() == priv.size());
  std::size_t length = 0;
  if (bytes && bytes->size() >= 387) {
    length = 387 + (static_cast<unsigned char>((*bytes)[385]) << 8 |
                    static_cast<unsigned char>((*bytes)[386]));
  }
  if (length != 0 && bytes->size() >= length) {
    FUZZ_REQUIRE(SAM::I2pBase64::decode(pub) == bytes->substr(0, length));
    FUZZ_REQUIRE(SAM::derivePublicDestination(pub) == pub);
  } else {
    FUZZ_REQUIRE(pub == priv.substr(0, 516));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string answer(reinterpret_cast<const char*>(data), size);
  checkStatus(answer);
  checkDescription(answer);
  checkDerivation(answer);
  const std::string encoded = SAM::I2pBase64::encode(answer);
  FUZZ_REQUIRE(SAM::I2pBase64::decode(encoded) == answer);
  checkDerivation(encoded);
  for (const char* key : {"RESULT", "VALUE", "DESTINATION", "MESSAGE", "VERSION", "PUB", "PRIV"}) {
    checkValue(answer, key);
  }
  // Planting the whole input under every key would cost time without reaching more code.
  const std::string value = answer.substr(0, 256);
  for (const std::string& key : keysIn(answer)) {
    checkValue(answer, key);
    checkPlanted(key, value);
  }
  checkPlanted("VALUE", value);
  return 0;
}
