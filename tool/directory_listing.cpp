#include "directory_listing.hpp"

#include <velqor/sam.hpp>

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "file_line_reader.hpp"
#include "http_response_reader.hpp"
#include "row_scanner.hpp"
#include "temp_file.hpp"

namespace tessivar {

namespace {

const char kSignatureType[] = "EdDSA_SHA512_Ed25519";

std::string requestFor(const std::string& siteHost) {
  return "GET / HTTP/1.1\r\n"
         "Host: " +
         siteHost +
         "\r\n"
         "Connection: close\r\n"
         "\r\n";
}

// Reads the response from `stream` until its body is complete and saves the body to `page`.
void saveBody(SAM::I2pSocket& stream, TempFile& page) {
  HttpResponseReader response([&page](const char* data, std::size_t size) {
    if (!page.write(data, size)) throw std::runtime_error("error writing temp file");
  });
  while (!response.isDone() && !response.hasFailed()) {
    const std::string bytes = stream.read();
    if (bytes.empty()) {
      response.finish();
    } else {
      response.feed(bytes.data(), bytes.size());
    }
  }
  if (response.hasFailed()) throw std::runtime_error("Error " + response.error());
}

// Scans the saved page line by line; returns the number of rows found.
std::int64_t listRows(TempFile& page, std::ostream& out, std::ofstream& outputFile) {
  if (!page.rewind()) throw std::runtime_error("error ifstream");
  const RowScanner scanner;
  if (!scanner.ok()) throw std::runtime_error("error row pattern: " + scanner.error());
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
    put(out, hosts, groups[0]);
    put(out, hosts, "; ");
    if (outputFile.is_open()) {
      const std::string_view fields[] = {groups[0], "  ", groups[1], "  ", groups[2], "\r\n"};
      for (std::string_view text : fields) put(outputFile, listed, text);
    }
    ++count;
  }
  flush(out, hosts);
  if (outputFile.is_open()) flush(outputFile, listed);
  if (lines.failed()) throw std::runtime_error("error ifstream");
  return count;
}

void run(const RunSettings& settings, std::ostream& out, std::ostream& log) {
  std::ofstream outputFile;
  if (settings.outputPath) {
    outputFile.open(*settings.outputPath, std::ios::out | std::ios::trunc);
    if (!outputFile.is_open()) throw std::runtime_error("error ofstream 1 - Can not open file!");
  }

  log << "Establish a tunnel ..." << std::endl;
  SAM::StreamSession session(settings.nickname, settings.samHost, settings.samPort,
                             settings.destination, settings.i2cpOptions, kSignatureType);

  log << "Naming lookup ..." << std::endl;
  const auto site = session.namingLookup(settings.siteHost);
  if (!site.isOk) throw std::runtime_error("Error namingLookup");

  log << "Connect to " << settings.siteHost << " ..." << std::endl;
  auto connection = session.connect(site.value, false);
  if (!connection.isOk) throw std::runtime_error("Error Connection Result");
  SAM::I2pSocket& stream = *connection.value;

  log << "Write request ..." << std::endl;
  stream.write(requestFor(settings.siteHost));
  if (!stream.isOk()) throw std::runtime_error("Error writing request");

  log << "Read result ..." << std::endl;
  TempFile page;
  if (!page.isOpen()) throw std::runtime_error("error ofstream 2");
  log << "Temp file: " << page.path() << std::endl;
  saveBody(stream, page);
  stream.close();

  log << "Evaluate result ..." << std::endl;
  const std::int64_t count = listRows(page, out, outputFile);
  if (outputFile.is_open()) {
    outputFile.close();
    if (outputFile.fail()) throw std::runtime_error("error writing output file");
  }
  out << std::endl;
  out << count << " eepsites" << std::endl;
  if (out.fail()) throw std::runtime_error("error writing standard output");
}

}  // namespace

int runDirectoryListing(const RunSettings& settings, std::ostream& out, std::ostream& log,
                        std::ostream& err) {
  try {
    run(settings, out, log);
    return kExitSuccess;
  } catch (const std::exception& e) {
    err << "Error: " << e.what() << std::endl;
    return kExitRunFailed;
  }
}

}  // namespace tessivar
