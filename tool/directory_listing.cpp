#include "directory_listing.hpp"

#include <sys/stat.h>
#include <unistd.h>
#include <velqor/sam.hpp>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "check_report.hpp"
#include "check_target.hpp"
#include "file_line_reader.hpp"
#include "http_response_reader.hpp"
#include "progress_line.hpp"
#include "row_scanner.hpp"
#include "site_checker.hpp"
#include "temp_file.hpp"

namespace tessivar {

namespace {

// A failed run whose cause can be said in a user's words: what() is the "Error: ..." line
// that scripts read, cause() the line before it.
class RunFailure : public std::runtime_error {
 public:
  RunFailure(const std::string& errorLine, std::string cause)
      : std::runtime_error(errorLine), cause_(std::move(cause)) {}
  const std::string& cause() const { return cause_; }

 private:
  std::string cause_;
};

// The text after the last `separator` in `text`, or all of it.
std::string afterLast(const std::string& text, const std::string& separator) {
  const std::size_t at = text.rfind(separator);
  return at == std::string::npos ? text : text.substr(at + separator.size());
}

// The limit of the whole run: each phase gets the time that is left of it, as a deadline that
// ends its every wait (connect, handshake, reply, read, write) by the end of the run.
class RunDeadline {
 public:
  explicit RunDeadline(std::chrono::milliseconds limit) : limit_(limit) {}

  // Limits for a phase: every wait of it ends by the end of the run, or none without a limit.
  // Throws the run's failure, with the cause naming `phase`, once no time is left.
  SAM::TimeLimits limitsFor(const std::string& phase, const char* errorLine) const {
    SAM::TimeLimits limits;
    if (limit_.count() == 0) return limits;
    limits.deadline = start_ + limit_;
    if (Clock::now() >= limits.deadline) throw ranOut(phase, errorLine);
    return limits;
  }

  // When the run ends; the clock's largest time without a limit.
  std::chrono::steady_clock::time_point end() const {
    return limit_.count() == 0 ? Clock::time_point::max() : start_ + limit_;
  }
  bool hasPassed() const { return Clock::now() >= end(); }

  RunFailure ranOut(const std::string& phase, const char* errorLine) const {
    std::ostringstream seconds;
    seconds << std::chrono::duration<double>(limit_).count();
    return RunFailure(errorLine, "the time limit of " + seconds.str() + " s ran out while " +
                                     phase + " (see --timeout)");
  }

  // The run's failure in `phase` after `error`: the run's limit when that ran out, else `cause`.
  RunFailure failure(const std::string& phase, const char* errorLine, const SAM::Error& error,
                     const std::string& cause) const {
    return error.code == SAM::ErrorCode::TIMED_OUT ? ranOut(phase, errorLine)
                                                   : RunFailure(errorLine, cause);
  }

 private:
  using Clock = std::chrono::steady_clock;
  const std::chrono::milliseconds limit_;
  const Clock::time_point start_ = Clock::now();
};

std::string requestFor(const std::string& siteHost) {
  return "GET / HTTP/1.1\r\n"
         "Host: " +
         siteHost +
         "\r\n"
         "Connection: close\r\n"
         "\r\n";
}

// Why a read of the page that got nothing for `stallLimit` fails the run.
std::string stallCause(std::chrono::milliseconds stallLimit, std::uint64_t received) {
  std::ostringstream seconds;
  seconds << std::chrono::duration<double>(stallLimit).count() << " s";
  if (received == 0) {
    return "the site sent nothing for " + seconds.str() +
           " after the stream opened (is it down? see --stall-timeout)";
  }
  return "the page stopped coming: nothing for " + seconds.str() + " after " +
         std::to_string(received) + " bytes (see --stall-timeout)";
}

// Reads the response from `stream` until its body is complete and saves the body to `page`,
// each read within the time left of the run and within `stallLimit` (0: none) of nothing
// coming. Only the peer's end of the stream ends a body
// that runs to the end: a read that fails otherwise fails the run, never cuts the page short.
void saveBody(SAM::I2pSocket& stream, TempFile& page, const RunDeadline& deadline,
              std::chrono::milliseconds stallLimit, ProgressLine* progress) {
  const std::string reading = "reading the page";
  const char* const errorLine = "Error reading result";
  HttpResponseReader response([&page](const char* data, std::size_t size) {
    if (!page.write(data, size)) {
      throw RunFailure("error writing temp file", "cannot write the copy of the page to " +
                                                      page.path() + ": " + std::strerror(errno));
    }
  });
  std::uint64_t received = 0;
  if (progress != nullptr) progress->showBytes(received);
  while (!response.isDone() && !response.hasFailed()) {
    SAM::TimeLimits limits = deadline.limitsFor(reading, errorLine);
    limits.read = stallLimit;  // each read until its first byte
    stream.setTimeLimits(limits);
    const std::string bytes = stream.read();
    if (!bytes.empty()) {
      received += bytes.size();
      if (progress != nullptr) progress->showBytes(received);
      response.feed(bytes.data(), bytes.size());
    } else if (stream.getLastError().code == SAM::ErrorCode::CLOSED) {
      response.finish();
    } else {
      const SAM::Error& error = stream.getLastError();
      if (error.code == SAM::ErrorCode::TIMED_OUT && !deadline.hasPassed()) {
        throw RunFailure(errorLine, stallCause(stallLimit, received));
      }
      throw deadline.failure(reading, errorLine, error, "reading the page failed: " + error.reason);
    }
  }
  if (response.hasFailed()) {
    const int status = response.statusCode();
    throw RunFailure("Error " + response.error(),
                     status != 0 && (status < 200 || status > 299)
                         ? "the site answered with " + response.error()
                         : "the site's reply is not a whole HTTP response: " + response.error());
  }
}

std::string readBackCause(const TempFile& page) {
  return "cannot read back the copy of the page " + page.path() + ": " + std::strerror(errno);
}

// Scans the saved page line by line; returns the number of rows found. Each row's host goes to
// `out`, or, with `targets`, the row's check target to `targets` instead.
std::int64_t listRows(TempFile& page, std::ostream& out, std::ofstream& outputFile,
                      std::vector<CheckTarget>* targets) {
  if (!page.rewind()) throw RunFailure("error ifstream", readBackCause(page));
  const RowScanner scanner;
  if (!scanner.ok()) {
    throw RunFailure("error row pattern: " + scanner.error(), "the row pattern does not compile");
  }
  // The rows' text goes to the streams about 64 KiB at a time: a stream call for each short
  // piece of a row costs more than copying it. A piece longer than that goes straight through.
  constexpr std::size_t kChunk = 64 * 1024;
  const auto flush = [](std::ostream& stream, std::string& pending) {
    stream.write(pending.data(), static_cast<std::streamsize>(pending.size()));
    pending.clear();
  };
  const auto put = [&flush](std::ostream& stream, std::string& pending, std::string_view text) {
    if (pending.size() + text.size() > kChunk) flush(stream, pending);
    if (text.size() > kChunk) {
      stream.write(text.data(), static_cast<std::streamsize>(text.size()));
    } else {
      pending.append(text);
    }
  };
  std::string hosts;
  std::string listed;
  FileLineReader lines(page.fd());
  std::string line;
  std::vector<std::string_view> groups;
  std::int64_t count = 0;
  while (lines.next(line)) {
    if (!scanner.search(line, groups)) continue;
    if (targets != nullptr) {
      targets->push_back(checkTargetOf(groups[0], groups[1], groups[2]));
    } else {
      put(out, hosts, groups[0]);
      put(out, hosts, "; ");
    }
    if (outputFile.is_open()) {
      const std::string_view fields[] = {groups[0], "  ", groups[1], "  ", groups[2], "\r\n"};
      for (std::string_view text : fields) put(outputFile, listed, text);
    }
    ++count;
  }
  flush(out, hosts);
  if (outputFile.is_open()) flush(outputFile, listed);
  if (lines.failed()) throw RunFailure("error ifstream", readBackCause(page));
  return count;
}

// Why the session could not be made, in a user's words. The bridge's address comes first, as
// the commonest cause is a router without its SAM bridge.
std::string sessionCause(const RunSettings& settings, const SAM::Error& error) {
  const std::string bridge = settings.samHost + ":" + std::to_string(settings.samPort);
  switch (error.code) {
    case SAM::ErrorCode::RESOLVE:
      return "the SAM bridge's host name '" + settings.samHost +
             "' does not resolve: " + afterLast(error.reason, ": ");
    case SAM::ErrorCode::CONNECT:
      return "cannot connect to the SAM bridge at " + bridge + ": " +
             std::strerror(error.systemError) +
             (error.systemError == ECONNREFUSED
                  ? " (is the router running, with its SAM bridge enabled?)"
                  : "");
    case SAM::ErrorCode::REFUSED:
      return "the router refused the session: " + afterLast(error.reason, "by the bridge: ");
    default:
      return "the SAM bridge at " + bridge + " failed while creating the session: " + error.reason;
  }
}

std::string lookupCause(const RunSettings& settings, const SAM::Error& error) {
  if (error.status == SAM::Message::INVALID_KEY || error.status == SAM::Message::KEY_NOT_FOUND) {
    const bool isB32 = settings.siteHost.size() > 8 &&
                       settings.siteHost.compare(settings.siteHost.size() - 8, 8, ".b32.i2p") == 0;
    return isB32 ? "the router cannot find " + settings.siteHost + " (is the site up?)"
                 : "the router's address book does not know " + settings.siteHost +
                       "; give the site's .b32.i2p address with --site";
  }
  return "the naming lookup of " + settings.siteHost + " failed: " + error.reason;
}

// Opens `file` where the rows for `path` go. A regular file, or a name where there is none yet,
// gets them through a temporary file `rows` next to it (next to the file a symbolic link names),
// which takes its place at `target` only once the run has succeeded: a failed run leaves an
// existing listing as it was. The listing gets the permissions of the file it replaces, or those
// of a new file (0666 less the umask); a file that the user may not write is refused, as an open
// would refuse it. Anything else (a terminal, /dev/stdout, a FIFO, a symbolic link to nothing)
// gets the rows as they come.
void openOutput(const std::string& path, std::optional<TempFile>& rows, std::string& target,
                std::ofstream& file) {
  struct stat status {};
  const bool exists = ::stat(path.c_str(), &status) == 0;
  const bool dangling = !exists && ::lstat(path.c_str(), &status) == 0;
  int error = 0;
  if ((exists && !S_ISREG(status.st_mode)) || dangling) {
    file.open(path, std::ios::out | std::ios::trunc);
    error = errno;
  } else if (exists && ::access(path.c_str(), W_OK) != 0) {
    error = errno;
  } else {
    char* const resolved = exists ? ::realpath(path.c_str(), nullptr) : nullptr;
    target = resolved != nullptr ? resolved : path;
    std::free(resolved);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    rows.emplace(target, exists ? status.st_mode & 0777 : 0666 & ~mask);
    if (rows->isOpen()) file.open(rows->path(), std::ios::out | std::ios::trunc);
    error = errno;
  }
  if (!file.is_open()) {
    throw RunFailure("error ofstream 1 - Can not open file!",
                     "cannot open the output file " + path + ": " + std::strerror(error));
  }
}

// Probes the listed eepsites through `session` and writes the report to `out`. Sites that do
// not answer are results; the check fails the run only when the run's limit or the session
// ends it, and then after the report.
void checkListed(SAM::StreamSession& session, const std::vector<CheckTarget>& targets,
                 const RunSettings& settings, const RunDeadline& deadline, std::ostream& out,
                 std::ostream& log) {
  const char* const errorLine = "Error checking eepsites";
  CheckFormat format = settings.format;
  if (format == CheckFormat::kAuto) {
    format = settings.outputOnTerminal ? CheckFormat::kTable : CheckFormat::kTsv;
  }
  CheckReport report(out, format, targets);
  const std::string total = std::to_string(targets.size());
  std::optional<ProgressLine> progress;
  progress.emplace(log, settings.progressOnTerminal, "Check " + total + " eepsites ...", false);
  // Lines of the report on the progress line's terminal go between its pauses.
  const bool sameTerminal = settings.progressOnTerminal && settings.outputOnTerminal;
  CheckLimits limits;
  limits.jobs = static_cast<std::size_t>(settings.jobs);
  limits.perProbe = settings.checkTimeout;
  limits.runDeadline = deadline.end();
  const CheckResultSink onResult = [&](std::size_t index, const CheckResult& result) {
    if (sameTerminal) progress->pause();
    report.add(targets[index], result);
    if (sameTerminal) progress->resume();
  };
  const CheckProgressSink onProgress = [&](std::size_t checked, std::size_t up) {
    progress->show(" checked " + std::to_string(checked) + " of " + total + ", " +
                   std::to_string(up) + " up");
  };
  std::string sessionFailure;
  const CheckEnd end = checkSites(session, targets, limits, onResult, onProgress, &sessionFailure);
  progress.reset();
  report.finish(log);
  if (out.fail()) throw RunFailure("error writing standard output", "cannot write standard output");
  if (end == CheckEnd::kRanOutOfTime) throw deadline.ranOut("checking the eepsites", errorLine);
  if (end == CheckEnd::kSessionFailed) {
    throw RunFailure(errorLine,
                     "the SAM session failed while checking the eepsites: " + sessionFailure);
  }
}

void run(const RunSettings& settings, std::ostream& out, std::ostream& log) {
  std::ofstream outputFile;
  std::optional<TempFile> rows;  // the rows until the run has succeeded
  std::string target;
  if (settings.outputPath) openOutput(*settings.outputPath, rows, target, outputFile);
  const RunDeadline deadline(settings.timeout);
  const bool terminal = settings.progressOnTerminal;

  // A session that could not be made fails the run with the lookup's error line, which scripts
  // read as "no session or no such site".
  const std::string creating = "creating the session";
  std::optional<ProgressLine> progress;
  progress.emplace(log, terminal, "Establish a tunnel ...", true);
  SAM::StreamSession session(settings.nickname, settings.samHost, settings.samPort,
                             settings.destination, settings.i2cpOptions,
                             deadline.limitsFor(creating, "Error namingLookup"));
  progress.reset();
  if (session.isSick()) {
    throw deadline.failure(creating, "Error namingLookup", session.getLastError(),
                           sessionCause(settings, session.getLastError()));
  }

  const std::string lookingUp = "looking up " + settings.siteHost;
  progress.emplace(log, terminal, "Naming lookup ...", true);
  session.setTimeLimits(deadline.limitsFor(lookingUp, "Error namingLookup"));
  const auto site = session.namingLookup(settings.siteHost);
  progress.reset();
  if (!site.isOk) {
    throw deadline.failure(lookingUp, "Error namingLookup", session.getLastError(),
                           lookupCause(settings, session.getLastError()));
  }

  const std::string connecting = "connecting to " + settings.siteHost;
  progress.emplace(log, terminal, "Connect to " + settings.siteHost + " ...", true);
  session.setTimeLimits(deadline.limitsFor(connecting, "Error Connection Result"));
  auto connection = session.connect(site.value, false);
  progress.reset();
  if (!connection.isOk) {
    throw deadline.failure(
        connecting, "Error Connection Result", session.getLastError(),
        "the stream to " + settings.siteHost + " failed: " + session.getLastError().reason);
  }
  SAM::I2pSocket& stream = *connection.value;

  const std::string sending = "sending the request";
  log << "Write request ..." << std::endl;
  stream.setTimeLimits(deadline.limitsFor(sending, "Error writing request"));
  stream.write(requestFor(settings.siteHost));
  if (!stream.isOk()) {
    throw deadline.failure(sending, "Error writing request", stream.getLastError(),
                           stream.getLastError().reason);
  }

  log << "Read result ..." << std::endl;
  std::optional<TempFile> page;
  page.emplace();
  if (!page->isOpen()) {
    throw RunFailure("error ofstream 2", "cannot create the copy of the page in " +
                                             TempFile::directory() + ": " + std::strerror(errno));
  }
  log << "Temp file: " << page->path() << std::endl;
  if (terminal) progress.emplace(log, terminal, "Received", false);
  saveBody(stream, *page, deadline, settings.stallTimeout, progress ? &*progress : nullptr);
  progress.reset();
  stream.close();

  log << "Evaluate result ..." << std::endl;
  std::vector<CheckTarget> targets;
  const std::int64_t count = listRows(*page, out, outputFile, settings.check ? &targets : nullptr);
  page.reset();  // the copy is not needed any more
  if (outputFile.is_open()) {
    outputFile.close();
    if (outputFile.fail()) {
      throw RunFailure("error writing output file",
                       "cannot write the output file " + *settings.outputPath);
    }
  }
  if (settings.check) {
    checkListed(session, targets, settings, deadline, out, log);
  } else {
    out << std::endl;
    out << count << " eepsites" << std::endl;
    if (out.fail()) {
      throw RunFailure("error writing standard output", "cannot write standard output");
    }
  }
  if (rows && !rows->renameTo(target)) {
    throw RunFailure("error writing output file",
                     "cannot replace the output file " + target + ": " + std::strerror(errno));
  }
}

}  // namespace

int runDirectoryListing(const RunSettings& settings, std::ostream& out, std::ostream& log,
                        std::ostream& err) {
  try {
    run(settings, out, log);
    return kExitSuccess;
  } catch (const RunFailure& e) {
    err << "tessivar: " << e.cause() << "\n";
    err << "Error: " << e.what() << std::endl;
    return kExitRunFailed;
  } catch (const std::exception& e) {  // memory exhaustion
    err << "tessivar: the run failed: " << e.what() << "\n";
    err << "Error: " << e.what() << std::endl;
    return kExitRunFailed;
  }
}

}  // namespace tessivar
