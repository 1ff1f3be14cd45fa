#include "check_report.hpp"

#include <algorithm>
#include <cstdio>

namespace tessivar {

namespace {

constexpr std::size_t kMaxHostWidth = 40;

const char* stateName(CheckResult::State state) {
  switch (state) {
    case CheckResult::State::kUp:
      return "up";
    case CheckResult::State::kDown:
      return "down";
    case CheckResult::State::kNotChecked:
      break;
  }
  return "unchecked";
}

std::string hexByte(const char* format, unsigned char byte) {
  char text[8];
  std::snprintf(text, sizeof text, format, byte);
  return text;
}

// The host as a table cell: escaped, and cut to the column with "..." at its end.
std::string cell(const std::string& host) {
  std::string text = escapeText(host);
  if (text.size() > kMaxHostWidth) text = text.substr(0, kMaxHostWidth - 3) + "...";
  return text;
}

std::string padded(std::string text, std::size_t width, bool right = false) {
  if (text.size() >= width) return text;
  const std::string fill(width - text.size(), ' ');
  return right ? fill + text : text + fill;
}

std::string seconds(std::chrono::milliseconds time) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(time.count()) / 1000);
  return text;
}

}  // namespace

std::string escapeText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte >= 0x7f) {
      out += hexByte("\\x%02x", byte);
    } else {
      out += c;
    }
  }
  return out;
}

std::string jsonString(std::string_view bytes) {
  std::string out = "\"";
  for (char c : bytes) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7f) {
      out += hexByte("\\u%04x", byte);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

CheckReport::CheckReport(std::ostream& out, CheckFormat format,
                         const std::vector<CheckTarget>& targets)
    : out_(out), format_(format) {
  if (format_ != CheckFormat::kTable) return;
  for (const CheckTarget& target : targets) {
    hostWidth_ = std::max(hostWidth_, cell(target.host).size());
  }
  out_ << row("HOST", "STATE", "STATUS", "TIME", "VIA", "CAUSE") << '\n' << std::flush;
}

void CheckReport::add(const CheckTarget& target, const CheckResult& result) {
  ++sites_;
  if (result.state == CheckResult::State::kUp) ++answered_;
  if (result.state == CheckResult::State::kNotChecked) ++notChecked_;
  const bool hasTime = result.firstByte.count() >= 0;
  const bool probed = result.state != CheckResult::State::kNotChecked;
  const std::string via = probed ? viaName(target.via) : "-";
  const std::string status = result.status != 0 ? std::to_string(result.status) : "-";
  switch (format_) {
    case CheckFormat::kJson:
      out_ << "{\"host\":" << jsonString(target.host) << ",\"state\":\"" << stateName(result.state)
           << "\",\"status\":" << (result.status != 0 ? status : "null")
           << ",\"time_ms\":" << (hasTime ? std::to_string(result.firstByte.count()) : "null")
           << ",\"via\":" << (via != "-" ? jsonString(via) : "null")
           << ",\"cause\":" << (result.cause.empty() ? "null" : jsonString(result.cause)) << "}\n";
      break;
    case CheckFormat::kTsv:
      out_ << escapeText(target.host) << '\t' << stateName(result.state) << '\t' << status << '\t'
           << (hasTime ? std::to_string(result.firstByte.count()) : "-") << '\t' << via << '\t'
           << (result.cause.empty() ? "-" : escapeText(result.cause)) << '\n';
      break;
    default:
      out_ << row(cell(target.host), stateName(result.state), status,
                  hasTime ? seconds(result.firstByte) : "-", via, escapeText(result.cause))
           << '\n';
  }
  out_ << std::flush;  // a script reading the lines sees each as it comes
}

std::string CheckReport::row(const std::string& host, const std::string& state,
                             const std::string& status, const std::string& time,
                             const std::string& via, const std::string& cause) const {
  std::string line = padded(host, hostWidth_) + "  " + padded(state, 9) + "  " +
                     padded(status, 6, true) + "  " + padded(time, 8, true) + "  " +
                     padded(via, 6) + "  " + cause;
  line.erase(line.find_last_not_of(' ') + 1);
  return line;
}

void CheckReport::finish(std::ostream& log) {
  if (format_ == CheckFormat::kJson) {
    out_ << "{\"eepsites\":" << sites_ << ",\"answered\":" << answered_
         << ",\"not_checked\":" << notChecked_ << "}" << std::endl;
    return;
  }
  std::ostream& summary = format_ == CheckFormat::kTsv ? log : out_;
  summary << sites_ << " eepsites, " << answered_ << " answered";
  if (notChecked_ > 0) summary << ", " << notChecked_ << " not checked";
  summary << std::endl;
}

}  // namespace tessivar
