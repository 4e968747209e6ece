// SPDX-License-Identifier: Apache-2.0
#include "serve/http_server.h"

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <charconv>
#include <cmath>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "serve/exposition.h"
#include "serve/http_routes.h"
#include "serve/web_watch.h"

namespace varnok {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

/// Request line and headers at most; more is answered 431 and the connection dropped.
constexpr uint32_t kHeaderLimit = 1 << 20;
/// A request's body at most: a short form.
constexpr uint64_t kBodyLimit = 64 * 1024;
/// What each connection may hold for its request freely: far more than any real request needs.
constexpr size_t kFreeBytes = 64 * 1024;
/// What all connections together may hold beyond that, so that many connections each sending
/// almost 1 MiB of headers cannot hold 1 MiB each; a connection that would pass it is answered
/// 503 and dropped.
constexpr size_t kSharedBytes = 32u << 20;
/// What one read asks for while a header comes in.
constexpr size_t kReadChunk = 16 * 1024;
/// Time for a request's line and headers from the connection's opening (or from the last
/// answer, so that an idle keep-alive connection is dropped as well).
constexpr auto kRequestTime = std::chrono::seconds(5);
constexpr auto kWriteTime = std::chrono::seconds(10);
/// Enough for every probe of a scrape interval to wait on its own host at once.
constexpr size_t kWorkers = 64;

/// What a connection hands a complete request to; reply may be called on any thread.
struct Dispatcher {
    std::atomic<int> open{0};             ///< connections alive
    std::atomic<size_t> shared_bytes{0};  ///< what connections hold beyond kFreeBytes
    virtual void dispatch(HttpRequest req, std::shared_ptr<const WebSide> side,
                          std::function<void(HttpResponse)> reply) = 0;

  protected:
    ~Dispatcher() = default;
};

/// One client connection, plain or TLS; every call on the I/O thread.
template <class Stream>
class Connection : public std::enable_shared_from_this<Connection<Stream>> {
  public:
    static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

    Connection(tcp::socket socket, Dispatcher& server, std::shared_ptr<const WebSide> side)
        : server_(server), side_(std::move(side)), stream_(open_stream(std::move(socket))) {
        ++server_.open;
        beast::error_code ignored;
        const auto peer = beast::get_lowest_layer(stream_).socket().remote_endpoint(ignored);
        peer_ = peer.address().to_string() + ":" + std::to_string(peer.port());
        beast::get_lowest_layer(stream_).expires_after(kRequestTime);
    }
    ~Connection() {
        --server_.open;
        server_.shared_bytes -= charged_;
    }

    void start() {
        if constexpr (kTls)
            stream_.async_handshake(net::ssl::stream_base::server,
                                    [self = this->shared_from_this()](beast::error_code ec) {
                                        if (!ec) self->read();
                                    });
        else
            read();
    }

  private:
    Stream open_stream(tcp::socket socket) {
        if constexpr (kTls)
            return Stream(std::move(socket), *side_->tls);
        else
            return Stream(std::move(socket));
    }

    void read() {
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(kBodyLimit);
        read_some();
    }

    // The header a piece at a time, fed to the parser by hand: Beast's own reads keep reading
    // until the whole header is in, and what the buffer holds must be counted as it grows.
    void read_some() {
        stream_.async_read_some(buffer_.prepare(kReadChunk), [self = this->shared_from_this()](
                                                                 beast::error_code ec, size_t n) {
            if (ec) return self->refuse(ec == net::error::eof ? http::error::end_of_stream : ec);
            self->buffer_.commit(n);
            if (!self->charge()) return self->refuse_busy();
            beast::error_code parsed;
            self->buffer_.consume(self->parser_->put(self->buffer_.data(), parsed));
            if (parsed && parsed != http::error::need_more) return self->refuse(parsed);
            if (self->parser_->is_header_done()) return self->on_header({});
            self->read_some();
        });
    }

    // Counts the buffer beyond kFreeBytes against the connections' shared share; false when it
    // would pass it.
    bool charge() {
        const size_t held = buffer_.capacity() > kFreeBytes ? buffer_.capacity() - kFreeBytes : 0;
        server_.shared_bytes += held;
        server_.shared_bytes -= charged_;
        charged_ = held;
        return server_.shared_bytes <= kSharedBytes;
    }

    void refuse_busy() {
        log_refusal(peer_, 503, "", "", "the connections hold too much unread header");
        HttpResponse res =
            text_response(http::status::service_unavailable, "too many large requests\n");
        res.keep_alive(false);
        write(std::move(res));
    }

    void on_header(beast::error_code ec) {
        if (ec) return refuse(ec);
        arrival_ = std::chrono::steady_clock::now();
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](beast::error_code ec, size_t) {
                             self->on_request(ec);
                         });
    }

    void on_request(beast::error_code ec) {
        if (ec) return refuse(ec);
        buffer_.shrink_to_fit();
        charge();
        HttpRequest req{parser_->release(), arrival_, peer_};
        auto self = this->shared_from_this();
        server_.dispatch(std::move(req), side_, [self](HttpResponse res) {
            auto executor = self->stream_.get_executor();
            net::post(executor, [self = std::move(self), res = std::move(res)]() mutable {
                self->write(std::move(res));
            });
        });
    }

    /// A request that broke a limit or is not HTTP is answered and the connection dropped; a
    /// timeout or a closed connection just ends it.
    void refuse(beast::error_code ec) {
        const auto kind =
            ec == http::error::header_limit ? http::status::request_header_fields_too_large
            : ec == http::error::body_limit ? http::status::payload_too_large
            : ec.category() == http::make_error_code(http::error::bad_method).category() &&
                    ec != http::error::end_of_stream && ec != http::error::partial_message
                ? http::status::bad_request
                : http::status::unknown;
        if (kind == http::status::unknown) return;
        log_refusal(peer_, static_cast<int>(kind), "", "", ec.message());
        HttpResponse res = text_response(kind, ec.message() + "\n");
        res.keep_alive(false);
        write(std::move(res));
    }

    void write(HttpResponse res) {
        res_ = std::move(res);
        res_->prepare_payload();
        beast::get_lowest_layer(stream_).expires_after(kWriteTime);
        http::async_write(stream_, *res_,
                          [self = this->shared_from_this()](beast::error_code ec, size_t) {
                              self->on_write(ec);
                          });
    }

    void on_write(beast::error_code ec) {
        if (!ec && res_->keep_alive()) {
            beast::get_lowest_layer(stream_).expires_after(kRequestTime);
            return read();
        }
        beast::get_lowest_layer(stream_).socket().shutdown(tcp::socket::shutdown_send, ec);
    }

    Dispatcher& server_;
    std::shared_ptr<const WebSide> side_;  // holds the TLS context the stream uses
    Stream stream_;
    beast::flat_buffer buffer_{kHeaderLimit + kBodyLimit + 64 * 1024};
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<HttpResponse> res_;
    std::chrono::steady_clock::time_point arrival_;
    size_t charged_ = 0;  // of the server's shared_bytes
    std::string peer_;
};

}  // namespace

std::chrono::milliseconds probe_time_limit(double module_seconds, const std::string& scrape_header,
                                           std::chrono::milliseconds offset) {
    double limit = module_seconds;
    double scrape = 0;
    const char* end = scrape_header.data() + scrape_header.size();
    const auto parsed = std::from_chars(scrape_header.data(), end, scrape);
    if (parsed.ec == std::errc() && parsed.ptr == end && std::isfinite(scrape) && scrape > 0) {
        const double left = scrape - std::chrono::duration<double>(offset).count();
        limit = std::min(limit, left > 0 ? left : scrape / 2);
    }
    return std::chrono::milliseconds(std::llround(limit * 1000));
}

std::pair<std::string, int> split_listen_address(const std::string& address) {
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos)
        throw std::runtime_error("listen address \"" + address + "\" has no port");
    std::string host = address.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string port_text = address.substr(colon + 1);
    const int port = std::atoi(port_text.c_str());
    if (std::to_string(port) != port_text || port < 0 || port > 65535)
        throw std::runtime_error("listen address \"" + address + "\" has no valid port");
    return {host.empty() ? "0.0.0.0" : host, port};
}

struct HttpServer::Impl final : Dispatcher {
    HttpRoutes routes;
    // Declared first, destroyed by hand after the threads end (see ~HttpServer).
    std::unique_ptr<net::io_context> io = std::make_unique<net::io_context>(1);
    std::optional<tcp::acceptor> acceptor;
    std::optional<net::steady_timer> pause;
    net::thread_pool workers{kWorkers};
    WebWatch web;
    int max_connections;
    std::atomic<bool> stopping{false};
    std::thread thread;

    Impl(SessionPool& pool, ServeConfig config, ConfigLoader load)
        : routes(pool, config, std::move(load)),
          web(config.web_config_file),
          max_connections(config.http_max_connections) {}

    void accept() {
        acceptor->async_accept([this](beast::error_code ec, tcp::socket socket) {
            if (ec == net::error::operation_aborted) return;
            if (ec) {
                // Out of descriptors, most likely: wait a little rather than spin.
                pause->expires_after(std::chrono::milliseconds(100));
                return pause->async_wait([this](beast::error_code e) {
                    if (!e) accept();
                });
            }
            if (open < max_connections) {
                auto side = web.current();
                if (side->tls)
                    std::make_shared<Connection<beast::ssl_stream<beast::tcp_stream>>>(
                        std::move(socket), *this, side)
                        ->start();
                else
                    std::make_shared<Connection<beast::tcp_stream>>(std::move(socket), *this, side)
                        ->start();
            }
            accept();
        });
    }

    /// The answer, or 500 when making it threw: an exception must not end the thread.
    HttpResponse answer(const HttpRequest& req, const WebSide& side) {
        try {
            return routes.answer(req, side.auth);
        } catch (const std::exception& e) {
            log_refusal(req.peer, 500, "", "", e.what());
            return text_response(http::status::internal_server_error, "internal error\n");
        }
    }

    void dispatch(HttpRequest req, std::shared_ptr<const WebSide> side,
                  std::function<void(HttpResponse)> reply) override {
        if (!routes.slow(req, side->auth)) return reply(answer(req, *side));
        net::post(workers, [this, req = std::move(req), side = std::move(side),
                            reply = std::move(reply)] {
            reply(stopping ? text_response(http::status::service_unavailable, "stopping\n")
                           : answer(req, *side));
        });
    }
};

HttpServer::HttpServer(SessionPool& pool, ServeConfig config, ConfigLoader load) {
    const auto [host, port] = split_listen_address(config.http_listen);
    const std::string listen = config.http_listen;
    impl_ = std::make_unique<Impl>(pool, std::move(config), std::move(load));
    Impl& d = *impl_;
    try {
        const tcp::endpoint endpoint(net::ip::make_address(host), static_cast<uint16_t>(port));
        d.acceptor.emplace(*d.io, endpoint);
    } catch (const std::exception&) {
        throw std::runtime_error("cannot listen on \"" + listen + "\"");
    }
    d.pause.emplace(*d.io);
    d.accept();
    d.thread = std::thread([&d] { d.io->run(); });
}

HttpServer::~HttpServer() {
    Impl& d = *impl_;
    d.io->stop();
    d.thread.join();
    // Probes under way end by their deadlines, those not begun at once; the answers find the
    // loop stopped and are dropped with it.
    d.stopping = true;
    d.workers.join();
    d.pause.reset();
    d.acceptor.reset();
    d.io.reset();
}

int HttpServer::port() const { return impl_->acceptor->local_endpoint().port(); }

bool HttpServer::tls() const { return impl_->web.tls(); }

bool HttpServer::reload(std::string* error) { return impl_->routes.reload(error); }

}  // namespace varnok
