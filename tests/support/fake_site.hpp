// A directory site behind the fake bridge, for running the real tessivar binary against a page
// of any size.
#ifndef VELQOR_TESTS_FAKE_SITE_HPP
#define VELQOR_TESTS_FAKE_SITE_HPP

#include <string>

#include "fake_bridge.hpp"

namespace velqor_test {

// Makes `bridge` answer NAMING LOOKUP with testKeyPub() and serve every STREAM CONNECT as the
// site: it reads the HTTP request, sends the file at `pagePath` as a 200 response with a
// Content-Length (a 500 response when the file cannot be read), and ends the stream.
void serveFileAsSite(FakeBridge& bridge, const std::string& pagePath);

}  // namespace velqor_test

#endif  // VELQOR_TESTS_FAKE_SITE_HPP
