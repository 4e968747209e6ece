// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include <string>

namespace varnok {

/// A throwaway OpenSSH sshd on 127.0.0.1 with generated keys that lets the current user log in
/// with a generated key; stopped and removed when destroyed.
class DemoServer {
  public:
    /// Starts the server; throws std::runtime_error with the reason when it cannot.
    DemoServer();
    ~DemoServer();
    DemoServer(const DemoServer&) = delete;
    DemoServer& operator=(const DemoServer&) = delete;

    /// The TCP port it listens on.
    int port() const { return port_; }
    /// The private key file that logs the current user in.
    std::string key_file() const { return dir_ + "/user_key"; }
    /// The current user's login name.
    std::string user() const { return user_; }

  private:
    void start();
    void stop() noexcept;

    std::string dir_;
    std::string user_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace varnok
