// An echo server and its clients over I2P in one asio event loop, with completion handlers
// (C++17): two sessions are made at once, the server accepts streams one after another and sends
// back what each peer sends, and the client opens --streams streams, each sending one line and
// reading it back.
//
//   asio_echo [--sam=HOST:PORT] [--options=TEXT] [--streams=N]
//   asio_echo --sam=127.0.0.1:7656 --options="inbound.length=0 outbound.length=0
//   i2cp.leaseSetType=1"
//
// Exit status 0 when every line came back, 1 when something failed (the reason is printed),
// 2 for a usage error.
#include <velqor/asio.hpp>

#include <array>
#include <asio/io_context.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

namespace {

namespace va = SAM::asio;
using asio::ip::tcp;

const char kUsage[] =
    "usage: asio_echo [--sam=HOST:PORT] [--options=TEXT] [--streams=N]\n"
    "  --sam      the SAM bridge (default 127.0.0.1:7656)\n"
    "  --options  I2CP options of both sessions (on velqor-sandbox: its SESSION_OPTIONS)\n"
    "  --streams  how many streams the client opens at once (default 3)\n";

struct Run {
  asio::io_context io;
  va::session_settings settings;
  int streams = 3;
  int answered = 0;
  int status = 0;
  std::unique_ptr<va::stream_session> server, client;

  void fail(const std::string& what, const SAM::Error& why) {
    std::cerr << "asio_echo: " << what << ": " << why.reason << "\n";
    status = 1;
    io.stop();
  }

  // Accepts one stream, and once it has come starts the next accept and echoes this one.
  void acceptNext() {
    auto why = std::make_shared<SAM::Error>();
    server->async_accept(*why, [this, why](std::error_code ec, tcp::socket stream, std::string) {
      if (ec) return fail("accept", *why);
      acceptNext();
      echo(std::make_shared<tcp::socket>(std::move(stream)), std::make_shared<std::string>());
    });
  }
  void echo(std::shared_ptr<tcp::socket> stream, std::shared_ptr<std::string> buffer) {
    buffer->resize(4096);
    stream->async_read_some(asio::buffer(*buffer), [=](std::error_code ec, std::size_t n) {
      if (ec) return;  // the peer's end
      asio::async_write(*stream, asio::buffer(*buffer, n), [=](std::error_code ec, std::size_t) {
        if (!ec) echo(stream, buffer);
      });
    });
  }

  // A client's stream: connect, send a line, read it back.
  void connect(int number) {
    auto why = std::make_shared<SAM::Error>();
    const std::string& to = server->session().getMyDestination().pub;
    client->async_connect(to, *why, [this, why, number](std::error_code ec, tcp::socket s) {
      if (ec) return fail("connect", *why);
      auto stream = std::make_shared<tcp::socket>(std::move(s));
      auto line =
          std::make_shared<std::string>("hello from stream " + std::to_string(number) + "\n");
      asio::async_write(*stream, asio::buffer(*line), [=](std::error_code ec, std::size_t) {
        if (ec) return fail("send", {SAM::ErrorCode::IO, {}, ec.value(), ec.message()});
        auto back = std::make_shared<std::string>();
        // The stream is held by the handler until the line is back.
        asio::async_read_until(
            *stream, asio::dynamic_buffer(*back), '\n',
            [this, stream, back](std::error_code ec, std::size_t) {
              if (ec) return fail("echo", {SAM::ErrorCode::IO, {}, ec.value(), ec.message()});
              std::cout << "echoed: " << *back << std::flush;
              if (++answered == streams) io.stop();
            });
      });
    });
  }

  // Both sessions at once: each takes about 20 s on i2pd.
  void start() {
    auto why = std::make_shared<std::array<SAM::Error, 2>>();
    const auto made = [this, why](int which) {
      return [this, why, which](std::error_code ec, va::stream_session s) {
        if (ec) return fail(which == 0 ? "server session" : "client session", (*why)[which]);
        (which == 0 ? server : client) = std::make_unique<va::stream_session>(std::move(s));
        if (!server || !client) return;
        std::cout << "server at " << SAM::b32Address(server->session().getMyDestination().pub)
                  << "\n";
        acceptNext();
        for (int i = 0; i < streams; ++i) connect(i);
      };
    };
    va::async_create_stream_session(io.get_executor(), settings, (*why)[0], made(0));
    va::async_create_stream_session(io.get_executor(), settings, (*why)[1], made(1));
  }
};

bool startsWith(const std::string& text, const std::string& prefix, std::string& rest) {
  if (text.compare(0, prefix.size(), prefix) != 0) return false;
  rest = text.substr(prefix.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Run run;
  run.settings.nickname = "asio-echo";
  run.settings.limits.connect = std::chrono::seconds(10);
  run.settings.limits.reply = std::chrono::minutes(3);  // creating a session builds tunnels
  run.settings.limits.read = std::chrono::minutes(2);   // a peer's line, and an accept's peer
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string value;
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (startsWith(arg, "--sam=", value) && value.find(':') != std::string::npos) {
      run.settings.host = value.substr(0, value.rfind(':'));
      run.settings.port = static_cast<uint16_t>(std::atoi(value.c_str() + value.rfind(':') + 1));
    } else if (startsWith(arg, "--options=", value)) {
      run.settings.options = value;
    } else if (startsWith(arg, "--streams=", value) && std::atoi(value.c_str()) > 0) {
      run.streams = std::atoi(value.c_str());
    } else {
      std::cerr << kUsage;
      return 2;
    }
  }
  run.start();
  run.io.run();
  return run.status;
}
