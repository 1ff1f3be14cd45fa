// What the library reads from the bridge: Message::checkAnswer on any bytes, Message::getValue
// with keys taken from the input itself and values of any bytes planted into well-formed replies,
// and the description of a reply in reasons, which must never carry a key.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <velqor/sam.hpp>

#include "fuzz_require.hpp"
#include "sam/wire/reply_text.hpp"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string answer(reinterpret_cast<const char*>(data), size);
  checkStatus(answer);
  checkDescription(answer);
  // Planting the whole input under every key would cost time without reaching more code.
  const std::string value = answer.substr(0, 256);
  for (const std::string& key : keysIn(answer)) checkPlanted(key, value);
  checkPlanted("VALUE", value);
  return 0;
}
