#include "sam/wire/exchange.hpp"

#include <algorithm>
#include <utility>

namespace SAM {
namespace wire {

const char* nameOf(Command command) {
  switch (command) {
    case Command::HELLO:
      return "HELLO";
    case Command::SESSION_CREATE:
      return "SESSION CREATE";
    case Command::NAMING_LOOKUP:
      return "NAMING LOOKUP";
    case Command::DEST_GENERATE:
      return "DEST GENERATE";
    case Command::STREAM_CONNECT:
      return "STREAM CONNECT";
    case Command::STREAM_ACCEPT:
      return "STREAM ACCEPT";
    case Command::STREAM_FORWARD:
      return "STREAM FORWARD";
    case Command::LINE:
      return "read";
    case Command::OTHER:
      break;
  }
  return "request";
}

std::string Exchange::name() const {
  if (command_ != Command::OTHER) return nameOf(command_);
  const std::size_t first = request_.find(' ');
  const std::size_t second = first == std::string::npos ? first : request_.find(' ', first + 1);
  return request_.substr(0, std::min(second, request_.find('\n')));
}

Exchange::Exchange(Command command, std::string requestLine, std::size_t replyLines)
    : command_(command), request_(std::move(requestLine)), replyLines_(replyLines) {}

Exchange::Need Exchange::need() const {
  if (sent_ < request_.size()) return Need::SEND;
  if (!tooLong_ && lines_.size() < replyLines_) return Need::RECEIVE;
  return Need::DONE;
}

std::string_view Exchange::output() const {
  return std::string_view(request_).substr(std::min(sent_, request_.size()));
}

void Exchange::sent(std::size_t n) { sent_ = std::min(sent_ + n, request_.size()); }

std::size_t Exchange::feed(std::string_view bytes) {
  std::size_t taken = 0;
  while (taken < bytes.size() && need() == Need::RECEIVE) {
    const std::string_view rest = bytes.substr(taken);
    const std::size_t newline = rest.find('\n');
    if (newline == std::string_view::npos) {
      partial_.append(rest);
      taken = bytes.size();
      tooLong_ = partial_.size() >= maxLineLength;
      break;
    }
    if (partial_.size() + newline + 1 > maxLineLength) {
      tooLong_ = true;
      break;
    }
    partial_.append(rest.substr(0, newline + 1));
    taken += newline + 1;
    lines_.push_back(std::move(partial_));
    partial_.clear();
  }
  return taken;
}

Message::eStatus Exchange::status() const {
  if (replyLines_ == 0) return Message::OK;
  if (lines_.empty()) return Message::NO_ANSWER;
  const std::string& reply = lines_[0];
  if (command_ == Command::DEST_GENERATE) {
    // The reply of DEST GENERATE carries no RESULT on some bridges: its keys decide.
    const bool whole =
        !Message::getValue(reply, "PUB").empty() && !Message::getValue(reply, "PRIV").empty();
    return whole ? Message::OK : Message::NO_ANSWER;
  }
  return Message::checkAnswer(reply);
}

std::string Exchange::value() const {
  if (lines_.empty()) return "";
  switch (command_) {
    case Command::HELLO:
      return Message::getValue(lines_[0], "VERSION");
    case Command::SESSION_CREATE:
      return Message::getValue(lines_[0], "DESTINATION");
    case Command::NAMING_LOOKUP:
      return Message::getValue(lines_[0], "VALUE");
    default:
      return "";
  }
}

}  // namespace wire
}  // namespace SAM
