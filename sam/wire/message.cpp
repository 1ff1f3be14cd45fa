#include <velqor/message.hpp>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <initializer_list>
#include <string_view>

#include "sam/wire/print_error.hpp"

namespace SAM {

namespace {

// An argument with a line break or a zero byte would end the request line early and start a
// second command on the bridge connection.
bool isSafeArgument(const std::string& argument) {
  return argument.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

bool areSafeArguments(std::initializer_list<const std::string*> arguments) {
  for (const std::string* argument : arguments) {
    if (!isSafeArgument(*argument)) {
      print_error("Refused an argument that contains a line break or a zero byte");
      return false;
    }
  }
  return true;
}

const char* silentText(bool silent) { return silent ? "true" : "false"; }

const char* styleText(Message::SessionStyle style) {
  switch (style) {
    case Message::DATAGRAM:
      return "DATAGRAM";
    case Message::RAW:
      return "RAW";
    case Message::STREAM:
      break;
  }
  return "STREAM";
}

}  // namespace

std::string Message::createSAMRequest(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);

  std::string line;
  if (length >= 0) {
    // vsnprintf writes a terminating zero, so format into one byte more than the text needs.
    line.resize(static_cast<std::size_t>(length) + 1);
    if (std::vsnprintf(&line[0], line.size(), format, again) == length) {
      line.resize(static_cast<std::size_t>(length));
    } else {
      line.clear();
    }
  }
  va_end(again);
  if (line.empty() && length != 0) print_error("Failed to format message");
  return line;
}

std::string Message::hello(const std::string& minVer, const std::string& maxVer) {
  static const char helloFormat[] = "HELLO VERSION MIN=%s MAX=%s\n";
  if (!areSafeArguments({&minVer, &maxVer})) return "";
  return createSAMRequest(helloFormat, minVer.c_str(), maxVer.c_str());
}

std::string Message::sessionCreate(SessionStyle style, const std::string& sessionID,
                                   const std::string& nickname, const std::string& destination,
                                   const std::string& options, const std::string& signatureType) {
  static const char sessionCreateFormat[] =
      "SESSION CREATE STYLE=%s ID=%s DESTINATION=%s SIGNATURE_TYPE=%s inbound.nickname=%s %s\n";
  if (!areSafeArguments({&sessionID, &nickname, &destination, &options, &signatureType})) {
    return "";
  }
  return createSAMRequest(sessionCreateFormat, styleText(style), sessionID.c_str(),
                          destination.c_str(), signatureType.c_str(), nickname.c_str(),
                          options.c_str());
}

std::string Message::streamAccept(const std::string& sessionID, bool silent) {
  static const char streamAcceptFormat[] = "STREAM ACCEPT ID=%s SILENT=%s\n";
  if (!areSafeArguments({&sessionID})) return "";
  return createSAMRequest(streamAcceptFormat, sessionID.c_str(), silentText(silent));
}

std::string Message::streamConnect(const std::string& sessionID, const std::string& destination,
                                   bool silent) {
  static const char streamConnectFormat[] = "STREAM CONNECT ID=%s DESTINATION=%s SILENT=%s\n";
  if (!areSafeArguments({&sessionID, &destination})) return "";
  return createSAMRequest(streamConnectFormat, sessionID.c_str(), destination.c_str(),
                          silentText(silent));
}

std::string Message::streamForward(const std::string& sessionID, const std::string& host,
                                   uint16_t port, bool silent) {
  static const char streamForwardFormat[] = "STREAM FORWARD ID=%s PORT=%u HOST=%s SILENT=%s\n";
  if (!areSafeArguments({&sessionID, &host})) return "";
  return createSAMRequest(streamForwardFormat, sessionID.c_str(), static_cast<unsigned>(port),
                          host.c_str(), silentText(silent));
}

std::string Message::namingLookup(const std::string& name) {
  static const char namingLookupFormat[] = "NAMING LOOKUP NAME=%s\n";
  if (!areSafeArguments({&name})) return "";
  return createSAMRequest(namingLookupFormat, name.c_str());
}

std::string Message::destGenerate() {
  static const char destGenerateFormat[] = "DEST GENERATE\n";
  return createSAMRequest("%s", destGenerateFormat);
}

std::string Message::destGenerate(const std::string& signatureType) {
  static const char destGenerateFormat[] = "DEST GENERATE SIGNATURE_TYPE=%s\n";
  if (!areSafeArguments({&signatureType})) return "";
  return createSAMRequest(destGenerateFormat, signatureType.c_str());
}

Message::eStatus Message::checkAnswer(const std::string& answer) {
  if (answer.empty()) return NO_ANSWER;
  static const struct {
    const char* text;
    eStatus status;
  } results[] = {
      {"OK", OK},
      {"DUPLICATED_DEST", DUPLICATED_DEST},
      {"DUPLICATED_ID", DUPLICATED_ID},
      {"I2P_ERROR", I2P_ERROR},
      {"INVALID_ID", INVALID_ID},
      {"INVALID_KEY", INVALID_KEY},
      {"CANT_REACH_PEER", CANT_REACH_PEER},
      {"TIMEOUT", TIMEOUT},
      {"NOVERSION", NOVERSION},
      {"KEY_NOT_FOUND", KEY_NOT_FOUND},
      {"PEER_NOT_FOUND", PEER_NOT_FOUND},
      {"ALREADY_ACCEPTING", ALREADY_ACCEPTING},
  };
  const std::string result = getValue(answer, "RESULT");
  for (const auto& entry : results) {
    if (result == entry.text) return entry.status;
  }
  return UNEXPECTED_RESULT;
}

std::string Message::getValue(const std::string& answer, const std::string& key) {
  if (key.empty()) return "";
  const std::size_t end = std::min(answer.find('\n'), answer.size());
  std::size_t i = 0;
  while (i < end) {
    if (answer[i] == ' ') {
      ++i;
      continue;
    }
    // A word begins here: a key and "=" and a value, or a word without "=" such as "HELLO".
    const std::size_t keyBegin = i;
    while (i < end && answer[i] != '=' && answer[i] != ' ') ++i;
    if (i == end || answer[i] == ' ') continue;
    const bool isWanted = answer.compare(keyBegin, i - keyBegin, key) == 0;
    ++i;  // the "="

    std::string value;
    if (i < end && answer[i] == '"') {
      for (++i; i < end && answer[i] != '"'; ++i) {
        if (answer[i] == '\\' && i + 1 < end) ++i;
        value += answer[i];
      }
      // Skip the closing quote and anything glued to it, up to the next space.
      while (i < end && answer[i] != ' ') ++i;
    } else {
      const std::size_t valueBegin = i;
      while (i < end && answer[i] != ' ') ++i;
      value.assign(answer, valueBegin, i - valueBegin);
    }
    if (isWanted) return value;
  }
  return "";
}

}  // namespace SAM
