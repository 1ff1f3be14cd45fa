// The echo server and its clients of asio_echo.cpp, written with C++20 coroutines
// (asio::use_awaitable): each step is awaited, and a failure comes as a std::system_error whose
// code is velqor's (SAM::asio::error), with the library's reason beside it.
//
//   asio_echo_coro [--sam=HOST:PORT] [--options=TEXT] [--streams=N]
//
// Exit status 0 when every line came back, 1 when something failed, 2 for a usage error.
#include <velqor/asio.hpp>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/read_until.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

namespace va = SAM::asio;
using asio::awaitable;
using asio::use_awaitable;
using asio::ip::tcp;

const char kUsage[] =
    "usage: asio_echo_coro [--sam=HOST:PORT] [--options=TEXT] [--streams=N]\n"
    "  --sam      the SAM bridge (default 127.0.0.1:7656)\n"
    "  --options  I2CP options of both sessions (on velqor-sandbox: its SESSION_OPTIONS)\n"
    "  --streams  how many streams the client opens at once (default 3)\n";

// Sends back what the peer sends, until its end.
awaitable<void> echo(tcp::socket stream) {
  char buffer[4096];
  for (;;) {
    std::error_code ec;
    const std::size_t n = co_await stream.async_read_some(asio::buffer(buffer),
                                                          asio::redirect_error(use_awaitable, ec));
    if (ec) co_return;
    co_await asio::async_write(stream, asio::buffer(buffer, n), use_awaitable);
  }
}

// Accepts streams one after another, each echoed in a coroutine of its own.
awaitable<void> serve(va::stream_session& server) {
  for (;;) {
    auto [stream, peer] = co_await server.async_accept(use_awaitable);
    asio::co_spawn(server.get_executor(), echo(std::move(stream)), asio::detached);
  }
}

// One client stream: connect, send a line, read it back.
awaitable<void> ask(va::stream_session& client, std::string destination, int number) {
  tcp::socket stream = co_await client.async_connect(destination, use_awaitable);
  const std::string line = "hello from stream " + std::to_string(number) + "\n";
  co_await asio::async_write(stream, asio::buffer(line), use_awaitable);
  std::string back;
  co_await asio::async_read_until(stream, asio::dynamic_buffer(back), '\n', use_awaitable);
  std::cout << "echoed: " << back << std::flush;
}

// Makes a session, saying which one failed and why.
awaitable<va::stream_session> make(va::session_settings settings, const char* which) {
  SAM::Error why;
  try {
    co_return co_await va::async_create_stream_session(co_await asio::this_coro::executor, settings,
                                                       why, use_awaitable);
  } catch (const std::system_error&) {
    std::cerr << "asio_echo_coro: " << which << " session: " << why.reason << "\n";
    throw;
  }
}

awaitable<int> run(va::session_settings settings, int streams) {
  using namespace asio::experimental::awaitable_operators;
  try {
    // Both sessions at once (each takes about 20 s on i2pd); when one fails, the other is
    // cancelled.
    auto [server, client] = co_await (make(settings, "server") && make(settings, "client"));
    const std::string destination = server.session().getMyDestination().pub;
    std::cout << "server at " << SAM::b32Address(destination) << "\n";
    asio::co_spawn(server.get_executor(), serve(server), asio::detached);
    // The clients at once; the run ends when all of them have had their line back.
    awaitable<void> all = ask(client, destination, 0);
    for (int i = 1; i < streams; ++i) all = std::move(all) && ask(client, destination, i);
    co_await std::move(all);
    co_return 0;
  } catch (const std::system_error& e) {
    std::cerr << "asio_echo_coro: " << e.code().message() << "\n";
    co_return 1;
  }
}

bool startsWith(const std::string& text, const std::string& prefix, std::string& rest) {
  if (text.compare(0, prefix.size(), prefix) != 0) return false;
  rest = text.substr(prefix.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  va::session_settings settings;
  settings.nickname = "asio-echo";
  settings.limits.connect = std::chrono::seconds(10);
  settings.limits.reply = std::chrono::minutes(3);  // creating a session builds tunnels
  settings.limits.read = std::chrono::minutes(2);   // an accept's peer
  int streams = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string value;
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (startsWith(arg, "--sam=", value) && value.find(':') != std::string::npos) {
      settings.host = value.substr(0, value.rfind(':'));
      settings.port = static_cast<uint16_t>(std::atoi(value.c_str() + value.rfind(':') + 1));
    } else if (startsWith(arg, "--options=", value)) {
      settings.options = value;
    } else if (startsWith(arg, "--streams=", value) && std::atoi(value.c_str()) > 0) {
      streams = std::atoi(value.c_str());
    } else {
      std::cerr << kUsage;
      return 2;
    }
  }
  asio::io_context io;
  int status = 1;
  asio::co_spawn(io, run(settings, streams), [&](std::exception_ptr failed, int s) {
    status = failed ? 1 : s;  // both sessions failing comes as asio::multiple_exceptions
    io.stop();                // the server's accept loop would wait on
  });
  io.run();
  return status;
}
