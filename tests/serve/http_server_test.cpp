// SPDX-License-Identifier: Apache-2.0
#include "serve/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>

#include "tests/loopback_listener.h"
#include "tests/param_fixture.h"

namespace varnok::testing {
namespace {

const std::string kWebConfig = std::string(VARNOK_TEST_DATA) + "/serve/web_config.yml";

/// The first line of what the server answers to raw bytes.
std::string raw_status(int port, const std::string& bytes) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    std::string got;
    char buf[256];
    for (ssize_t n; got.find("\r\n") == std::string::npos && (n = ::read(fd, buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return got.substr(0, got.find("\r\n"));
}

struct Served {
    std::string path = std::filesystem::temp_directory_path() /
                       ("varnok-http-" + std::to_string(getpid()) + ".yml");
    SessionPool pool{{std::chrono::seconds(60), std::chrono::seconds(30), 4}};
    std::unique_ptr<HttpServer> server;
    explicit Served(const std::string& yaml) {
        std::ofstream(path) << yaml;
        auto load = [p = path] {
            std::ifstream in(p);
            return parse_serve_config(std::string(std::istreambuf_iterator<char>(in), {}));
        };
        server = std::make_unique<HttpServer>(pool, load(), load);
    }
    ~Served() { std::filesystem::remove(path); }
    httplib::Result get(const std::string& url) {
        httplib::Client client("127.0.0.1", server->port());
        client.set_read_timeout(30, 0);
        return client.Get(url.c_str());
    }
};

std::string rules(const std::string& port) {
    const std::string login = "#PWD=" + EncodePassword(fx("VARNOK_SSH_PASSWORD")) +
                              "#PORT=" + port + "#OS=BSD#COL=5#SGN=LT#NUM=1";
    return "    rules:\n      - {name: sshd, param: '#USR=" + fx("VARNOK_SSH_USER") + login +
           "#PRO=sshd#'}\n      - {name: absent, param: '#USR=" + fx("VARNOK_SSH_USER") + login +
           "#PRO=absent#'}\n";
}

TEST(HttpServer, ProbesTheTargetAndRefusesBadRequests) {
    LoopbackListener silent;
    const std::string known_hosts = fx("VARNOK_SSH_LOGINS") + ".http_known_hosts";
    Served s("http_listen: 127.0.0.1:0\nhost_keys: {check: accept-new, known_hosts: " +
             known_hosts + "}\nmodules:\n  bsd:\n    allowed_targets: [127.0.0.1]\n" +
             rules(fx("VARNOK_SSH_PORT_BSD")) +
             "  silent:\n    timeout: 2\n    allowed_targets: [127.0.0.1]\n" +
             rules(std::to_string(silent.port())));
    auto ok = s.get("/probe?module=bsd&target=127.0.0.1");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
    for (const char* line : {"\nprobe_success 1\n", "\nvarnok_rule_status{rule=\"sshd\"} 0\n",
                             "\nvarnok_rule_status{rule=\"absent\"} 2\n", "\nvarnok_processes 8\n"})
        EXPECT_NE(ok->body.find(line), std::string::npos) << line << ok->body;
    auto quiet = s.get("/probe?module=silent&target=127.0.0.1&debug=true");
    EXPECT_NE(quiet->body.find("\nvarnok_failure{reason=\"timeout\"} 1\n"), std::string::npos)
        << quiet->body;
    EXPECT_EQ(quiet->body.rfind("Logs for the probe:\nrule sshd on 127.0.0.1: UNKNOWN", 0), 0u);

    const std::pair<std::string, int> refusals[] = {{"/probe?module=bsd", 400},
                                                    {"/probe?module=nope&target=127.0.0.1", 400},
                                                    {"/probe?module=bsd&target=10.0.0.1", 403},
                                                    {"/nowhere", 404}};
    for (const auto& [url, status] : refusals) EXPECT_EQ(s.get(url)->status, status) << url;
    const std::pair<std::string, std::string> raw[] = {
        {"GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"POST /-/reload HTTP/1.1\r\nContent-Length: 9999999\r\n\r\n",
         "HTTP/1.1 413 Payload Too Large"},
        {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
         "HTTP/1.1 200 OK"}};
    for (const auto& [bytes, status] : raw) EXPECT_EQ(raw_status(s.server->port(), bytes), status);

    // A bad config is refused and the old one keeps answering.
    std::ofstream(s.path) << "modules: [";
    httplib::Client client("127.0.0.1", s.server->port());
    EXPECT_EQ(client.Post("/-/reload")->status, 500);
    EXPECT_NE(s.get("/metrics")->body.find("\nvarnok_config_last_reload_successful 0\n"),
              std::string::npos);
    EXPECT_EQ(s.get("/probe?module=silent")->status, 400);
    std::filesystem::remove(known_hosts);
}

TEST(HttpServer, RefusesAHostKeyItDoesNotKnowAndWantsBasicAuth) {
    Served s("http_listen: 127.0.0.1:0\nweb_config_file: " + kWebConfig +
             "\nhost_keys: {check: 'yes', known_hosts: /dev/null}\n"
             "modules:\n  bsd:\n    allowed_targets: [127.0.0.1]\n" +
             rules(fx("VARNOK_SSH_PORT_BSD")));
    auto refused = s.get("/metrics");
    EXPECT_EQ(refused->status, 401);
    EXPECT_EQ(refused->get_header_value("WWW-Authenticate"), "Basic realm=\"varnok\"");
    httplib::Client client("127.0.0.1", s.server->port());
    client.set_basic_auth("prometheus", "s3cret");
    auto probe = client.Get("/probe?module=bsd&target=127.0.0.1");
    EXPECT_NE(probe->body.find("\nprobe_success 0\n"), std::string::npos);
    EXPECT_NE(probe->body.find("\nvarnok_failure{reason=\"hostkey\"} 1\n"), std::string::npos);
}

TEST(HttpServer, SpeaksOnlyTlsWithTheGivenCertificate) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("varnok-tls-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string cert = dir / "cert.pem", key = dir / "key.pem", other = dir / "other.pem";
    ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                           "-days 1 -subj /CN=varnok -addext subjectAltName=IP:127.0.0.1 -keyout " +
                           key + " -out " + cert +
                           " 2>/dev/null && openssl genpkey -algorithm EC "
                           "-pkeyopt ec_paramgen_curve:P-256 -out " +
                           other)
                              .c_str()),
              0);
    const auto serve_tls = [&](const std::string& key_file) {
        std::ifstream users(kWebConfig);
        std::ofstream(dir / "web.yml")
            << "tls_server_config:\n  cert_file: " << cert << "\n  key_file: " << key_file << "\n"
            << users.rdbuf();
        return std::make_unique<Served>(
            "http_listen: 127.0.0.1:0\nweb_config_file: " + (dir / "web.yml").string() + "\n");
    };
    EXPECT_THROW(serve_tls(other), std::runtime_error);
    const auto s = serve_tls(key);
    httplib::SSLClient tls("127.0.0.1", s->server->port());
    tls.set_ca_cert_path(cert.c_str());
    tls.enable_server_certificate_verification(true);
    auto refused = tls.Get("/metrics");
    ASSERT_TRUE(refused) << httplib::to_string(refused.error());
    EXPECT_EQ(refused->status, 401);
    tls.set_basic_auth("prometheus", "s3cret");
    auto metrics = tls.Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->status, 200);
    EXPECT_NE(metrics->body.find("\nvarnok_config_last_reload_successful 1\n"), std::string::npos);
    // Plain HTTP to it gets no answer at all.
    EXPECT_FALSE(s->get("/metrics"));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace varnok::testing
