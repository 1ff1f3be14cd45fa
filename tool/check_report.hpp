// The report of tessivar --check: a table, tab-separated lines or JSON Lines.
#ifndef TESSIVAR_CHECK_REPORT_HPP
#define TESSIVAR_CHECK_REPORT_HPP

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "check_target.hpp"
#include "run_settings.hpp"
#include "site_checker.hpp"

namespace tessivar {

// Writes one line per site to `out` as its result comes, in the order of the page:
//  - kTable: a header, then columns HOST STATE STATUS TIME VIA CAUSE aligned (hosts longer
//    than 40 characters cut), the time in seconds; at the end the summary line
//    "N eepsites, M answered" (", K not checked" when some were not).
//  - kTsv: host, state, status, time in milliseconds, via, cause, separated by tabs, "-" for
//    what is missing; no header. The summary line goes to `log`, so that `out` holds only rows.
//  - kJson: one object per site {"host", "state", "status", "time_ms", "via", "cause"} (null
//    for what is missing), then {"eepsites": N, "answered": M, "not_checked": K}.
// States are "up" (a reply came), "down" and "unchecked". Text from the page or the bridge
// never reaches `out` as control bytes: see escapeText() and jsonString().
class CheckReport {
 public:
  CheckReport(std::ostream& out, CheckFormat format, const std::vector<CheckTarget>& targets);

  void add(const CheckTarget& target, const CheckResult& result);
  // The summary line or object.
  void finish(std::ostream& log);

 private:
  // A line of the table, its columns aligned, without blanks at its end.
  std::string row(const std::string& host, const std::string& state, const std::string& status,
                  const std::string& time, const std::string& via, const std::string& cause) const;

  std::ostream& out_;
  const CheckFormat format_;
  std::size_t hostWidth_ = 4;
  std::size_t sites_ = 0;
  std::size_t answered_ = 0;
  std::size_t notChecked_ = 0;
};

// `bytes` with every byte outside printable ASCII written as \xHH, a backslash as \\ and a tab
// as \t: one line, safe on a terminal and in a tab-separated field, and telling every byte.
std::string escapeText(std::string_view bytes);

// `bytes` as a JSON string, quotes included: `"` and `\` escaped, control bytes as \uXXXX,
// and each byte from 0x80 up as the code point of the same value (bytes read as Latin-1, as
// the row pattern reads them), so any bytes give valid JSON that tells every byte.
std::string jsonString(std::string_view bytes);

}  // namespace tessivar

#endif  // TESSIVAR_CHECK_REPORT_HPP
