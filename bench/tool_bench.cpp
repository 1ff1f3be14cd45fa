// tessivar benchmarks:
//  1. the row scanner's rate on a 64 MiB page, next to `grep -c -E` on the same file;
//  2. the time to scan single lines of 1, 5 and 10 MB (it should grow linearly);
//  3. the peak memory of the real tessivar binary fetching a 16 MiB and a 64 MiB page from a
//     fake bridge and site in this process (it should not grow with the page);
//  4. the whole run of the tessivar binary on the 64 MiB page, from start to exit, next to
//     `grep -c -E` over the same page once saved (the target is at most twice grep's time);
//  5. (alone with --check) tessivar --check on 200 listed sites of the fake bridge that each
//     answer 50 ms after the request: the check's time with --jobs=64, next to one probe's and
//     to 200 probes one after another (--jobs=1).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fake_bridge.hpp"
#include "fake_site.hpp"
#include "file_line_reader.hpp"
#include "row_scanner.hpp"
#include "tool_page_writer.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double megabytes(std::size_t bytes) { return static_cast<double>(bytes) / 1e6; }

std::size_t fileSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return in ? static_cast<std::size_t>(in.tellg()) : 0;
}

// Scans `path` as the tool does: line by line from the file, groups taken for every row.
long scanFile(const std::string& path, const tessivar::RowScanner& scanner) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return -1;
  tessivar::FileLineReader lines(fileno(file));
  std::vector<std::string_view> groups;
  std::string line;
  long rows = 0;
  std::size_t groupBytes = 0;
  while (lines.next(line)) {
    if (!scanner.search(line, groups)) continue;
    ++rows;
    groupBytes += groups[0].size() + groups[1].size() + groups[2].size();
  }
  std::fclose(file);
  return groupBytes > 0 ? rows : -1;
}

struct Run {
  int exitStatus = -1;
  long peakKilobytes = -1;
  double seconds = 0;
  std::string lastLine;
};

// Measuring mode of this program ("--measure OUT PROGRAM ARG..."): runs PROGRAM (found as
// execvp finds it) with ARG..., standard output to OUT, and prints
// "<exit status> <peak kB> <seconds>", the time from fork to exit.
//
// The peak reported for a child includes the high-water mark of the memory image it had
// before exec, so the child must not start as a copy (or a vfork) of the benchmark with its
// pages in memory. This mode runs in a fresh, small image and forks the program from there.
int measureMode(int argc, char** argv) {
  if (argc < 4) return 2;
  const Clock::time_point start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (out < 0 || null < 0 || dup2(out, 1) < 0 || dup2(null, 2) < 0) _exit(127);
    execvp(argv[3], argv + 3);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return 1;
  std::printf("%d %ld %f\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss,
              secondsSince(start));
  return 0;
}

Run runMeasured(const std::vector<std::string>& arguments, const std::string& outPath) {
  Run run;
  std::string command = "/proc/self/exe --measure '" + outPath + "'";
  for (const auto& a : arguments) command += " '" + a + "'";
  // popen's shell is not /proc/self/exe: name this program by its path instead.
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return run;
  command.replace(0, std::string("/proc/self/exe").size(), "'" + std::string(self, n) + "'");
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  if (std::fscanf(pipe, "%d %ld %lf", &run.exitStatus, &run.peakKilobytes, &run.seconds) != 3) {
    run.exitStatus = -1;
  }
  pclose(pipe);
  std::ifstream out(outPath);
  for (std::string line; std::getline(out, line);) run.lastLine = line;
  return run;
}

Run runTool(std::vector<std::string> arguments, const std::string& outPath) {
  arguments.insert(arguments.begin(), TESSIVAR_BINARY);
  return runMeasured(arguments, outPath);
}

// `grep -c -E` with the row pattern in POSIX ERE ("\/" is plain "/" there), in the C locale
// that main() sets.
Run runGrep(const std::string& path, const std::string& outPath) {
  return runMeasured({"grep", "-c", "-E",
                      "<td><a href=\"http://(.*)/\\?i2paddresshelper=(.*)\">a</a> "
                      "<a href=\"http://(.*)/\">b</a></td>",
                      path},
                     outPath);
}

void compareWithGrep(const std::string& page, const tessivar::RowScanner& scanner,
                     const std::string& outPath) {
  const std::size_t bytes = fileSize(page);
  std::printf("Scanning a page of %.1f MB (rows with 524-character helpers):\n", megabytes(bytes));
  double bestScan = 1e9, bestGrep = 1e9;
  long rows = 0, grepRows = 0;
  for (int round = 0; round < 3; ++round) {
    Clock::time_point start = Clock::now();
    rows = scanFile(page, scanner);
    bestScan = std::min(bestScan, secondsSince(start));
    const Run grep = runGrep(page, outPath);
    grepRows = std::atol(grep.lastLine.c_str());
    bestGrep = std::min(bestGrep, grep.seconds);
  }
  const double scanRate = megabytes(bytes) / bestScan;
  const double grepRate = megabytes(bytes) / bestGrep;
  std::printf("  RowScanner     %8.1f MB/s  (%ld rows, best of 3, groups taken)\n", scanRate, rows);
  std::printf("  grep -c -E     %8.1f MB/s  (%ld rows, best of 3, process included)\n", grepRate,
              grepRows);
  std::printf("  ratio          %8.2f of grep's rate (target >= 0.50)\n", scanRate / grepRate);
}

void scanLongLines(const tessivar::RowScanner& scanner) {
  std::printf("Single long lines:\n");
  const std::string opening =
      "<td><a href=\"http://h/?i2paddresshelper=v\">a</a> <a href=\"http://";
  std::vector<std::string_view> groups;
  for (std::size_t mb : {1, 5, 10}) {
    const std::size_t length = mb * 1000 * 1000;
    std::string noMatch;
    while (noMatch.size() < length) noMatch += opening;
    noMatch.resize(length);
    const std::string helper(length - 200, 'Q');
    const std::string match = TestPageWriter::row(1, helper);

    Clock::time_point start = Clock::now();
    const bool found = scanner.search(noMatch, groups);
    const double noMatchSeconds = secondsSince(start);
    start = Clock::now();
    const bool foundRow = scanner.search(match, groups) && groups[1].size() == helper.size();
    const double matchSeconds = secondsSince(start);
    std::printf(
        "  %2zu MB  unclosed row openings: %7.1f ms (%.2f ns/byte, %s)"
        "   one row with a huge helper: %7.1f ms (%.2f ns/byte, %s)\n",
        mb, noMatchSeconds * 1e3, noMatchSeconds * 1e9 / static_cast<double>(length),
        found ? "MATCHED?!" : "no match", matchSeconds * 1e3,
        matchSeconds * 1e9 / static_cast<double>(match.size()), foundRow ? "row" : "MISSED?!");
  }
}

void measureToolMemory(const std::string& dir, const std::string& smallPage,
                       const std::string& largePage, const std::string& outPath) {
  std::printf("Peak memory (maximum resident set) of the tessivar binary:\n");
  const Run version = runTool({"--version"}, outPath);
  std::printf("  --version only             %7.1f MB\n", version.peakKilobytes / 1024.0);
  for (const std::string& page : {smallPage, largePage}) {
    velqor_test::FakeBridge site;
    velqor_test::serveFileAsSite(site, page);
    const Run run =
        runTool({"--sam=127.0.0.1:" + std::to_string(site.port()), dir + "/list.txt"}, outPath);
    std::printf(
        "  page of %5.1f MB           %7.1f MB  (exit %d, %.2f s, \"%s\", list file %.1f MB)\n",
        megabytes(fileSize(page)), run.peakKilobytes / 1024.0, run.exitStatus, run.seconds,
        run.lastLine.c_str(), megabytes(fileSize(dir + "/list.txt")));
    std::remove((dir + "/list.txt").c_str());
  }
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void compareWholeRunWithGrep(const std::string& dir, const std::string& page,
                             const std::string& outPath) {
  const int rounds = 5;
  std::printf("Whole run on the %.1f MB page (median of %d, taken in turns):\n",
              megabytes(fileSize(page)), rounds);
  velqor_test::FakeBridge site;
  velqor_test::serveFileAsSite(site, page);
  const std::string listPath = dir + "/list.txt";
  std::vector<double> toolSeconds, grepSeconds;
  Run tool, grep;
  for (int round = 0; round < rounds; ++round) {
    tool = runTool({"--sam=127.0.0.1:" + std::to_string(site.port()), listPath}, outPath);
    std::remove(listPath.c_str());
    toolSeconds.push_back(tool.seconds);
    grep = runGrep(page, outPath);
    grepSeconds.push_back(grep.seconds);
  }
  const double toolTime = median(toolSeconds), grepTime = median(grepSeconds);
  std::printf("  tessivar       %8.3f s  (exit %d, \"%s\"; fetch, save, scan, list file)\n",
              toolTime, tool.exitStatus, tool.lastLine.c_str());
  std::printf("  grep -c -E     %8.3f s  (%s rows, over the saved page)\n", grepTime,
              grep.lastLine.c_str());
  std::printf("  ratio          %8.2f of grep's time (target <= 2.00)\n", toolTime / grepTime);
}

// A valid public destination of its own for each `n` below 4096: the test key's with its
// first two characters changed.
std::string siteDestination(std::size_t n) {
  static const char base64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-~";
  return std::string{base64[n / 64 % 64], base64[n % 64]} + velqor_test::testKeyPub().substr(2);
}

// A fake bridge whose directory lists `sites` eepsites, each answering `delay` after the
// request; the directory itself answers at once.
void serveSlowSites(velqor_test::FakeBridge& bridge, std::size_t sites,
                    std::chrono::milliseconds delay) {
  std::string page;
  for (std::size_t i = 0; i < sites; ++i) page += TestPageWriter::row(i, siteDestination(i));
  const std::string directory = velqor_test::testKeyPub();
  bridge.on("NAMING LOOKUP", "NAMING REPLY RESULT=OK NAME=site VALUE=" + directory + "\n");
  bridge.on("STREAM CONNECT", [page, delay, directory](velqor_test::BridgeConnection& conn,
                                                       const std::string& line) {
    const bool isDirectory = line.find("DESTINATION=" + directory + " ") != std::string::npos;
    conn.send("STREAM STATUS RESULT=OK\n");
    for (std::string got = conn.readLine(); !got.empty() && got != "\r\n";) got = conn.readLine();
    if (isDirectory) {
      conn.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(page.size()) + "\r\n\r\n" +
                page);
    } else {
      std::this_thread::sleep_for(delay);
      conn.send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    }
    conn.readAll();  // until the client closes the stream
    conn.close();
  });
}

void benchmarkCheck(const std::string& outPath) {
  const std::size_t sites = 200;
  const std::chrono::milliseconds delay(50);
  std::printf("tessivar --check, sites answering %lld ms after the request (medians of 3):\n",
              static_cast<long long>(delay.count()));
  const auto median3 = [&](std::size_t listed, std::vector<std::string> options) {
    velqor_test::FakeBridge bridge;
    serveSlowSites(bridge, listed, delay);
    options.insert(options.begin(), "--sam=127.0.0.1:" + std::to_string(bridge.port()));
    std::vector<double> seconds;
    Run run;
    for (int round = 0; round < 3; ++round) {
      run = runTool(options, outPath);
      seconds.push_back(run.seconds);
    }
    std::printf("  %3zu sites %-28s %7.3f s  (exit %d, \"%s\")\n", listed,
                options.size() > 1 ? options.back().c_str() : "listed only", median(seconds),
                run.exitStatus, run.lastLine.c_str());
    return median(seconds);
  };
  const double listing = median3(sites, {});
  const double one = median3(1, {"--check", "--format=json", "--jobs=64"}) - median3(1, {});
  const double parallel = median3(sites, {"--check", "--format=json", "--jobs=64"}) - listing;
  const double sequential = median3(sites, {"--check", "--format=json", "--jobs=1"}) - listing;
  std::printf("  one probe                  %7.3f s\n", one);
  std::printf("  200 probes, --jobs=64      %7.3f s  (%.1f probes' time)\n", parallel,
              parallel / one);
  std::printf("  200 probes, --jobs=1       %7.3f s  (%.1f probes' time)\n", sequential,
              sequential / one);
  std::printf("  ratio --jobs=64 / --jobs=1 %7.3f  (200 sequential probes: %.3f s)\n",
              parallel / sequential, 200 * one);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--measure") return measureMode(argc, argv);
  const char* tmp = std::getenv("TMPDIR");
  std::string dirTemplate =
      std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/tessivar-bench-XXXXXX";
  if (mkdtemp(dirTemplate.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = dirTemplate;
  setenv("TMPDIR", dir.c_str(), 1);  // the tool's own temporary copy goes here as well
  setenv("LC_ALL", "C", 1);          // grep then matches bytes, as the tool does

  const std::string outPath = dir + "/stdout.txt";  // of the programs run and measured
  if (argc > 1 && std::string(argv[1]) == "--check") {
    benchmarkCheck(outPath);
    std::remove(outPath.c_str());
    rmdir(dir.c_str());
    return 0;
  }
  const std::string largePage = dir + "/page-64MiB.html";
  const std::string smallPage = dir + "/page-16MiB.html";
  if (TestPageWriter(64u << 20, 130000).write(largePage) < 0 ||
      TestPageWriter(16u << 20, 32500).write(smallPage) < 0) {
    std::printf("could not write the test pages in %s\n", dir.c_str());
    return 1;
  }

  const tessivar::RowScanner scanner;
  compareWithGrep(largePage, scanner, outPath);
  scanLongLines(scanner);
  measureToolMemory(dir, smallPage, largePage, outPath);
  compareWholeRunWithGrep(dir, largePage, outPath);

  std::remove(outPath.c_str());
  std::remove(largePage.c_str());
  std::remove(smallPage.c_str());
  rmdir(dir.c_str());
  return 0;
}
