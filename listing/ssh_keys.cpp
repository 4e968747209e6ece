// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "listing/ssh_client.h"
#include "listing/ssh_handles.h"

namespace varnok {

SshKeys::SshKeys() { init_ssh_library(); }
SshKeys::~SshKeys() = default;

void SshKeys::load_private_key(const std::string& path,
                               const std::optional<std::string>& pass_phrase) {
    key_.reset();
    // O_NONBLOCK: a FIFO named as the key must not hold the check at open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st {};
    const bool opened = fd >= 0, regular = opened && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const int error = errno;
    if (opened) ::close(fd);
    if (!opened)
        throw SshError("Cannot read the key file '" + path + "': " + std::strerror(error),
                       FailureKind::Auth);
    if (!regular)
        throw SshError("Cannot read the key file '" + path + "': not a regular file",
                       FailureKind::Auth);
    last_ssh_log().clear();
    ssh_key raw = nullptr;
    if (ssh_pki_import_privkey_file(path.c_str(), pass_phrase ? pass_phrase->c_str() : nullptr,
                                    nullptr, nullptr, &raw) == SSH_OK) {
        key_.reset(raw, KeyFree());
        return;
    }
    throw_unreadable(path, pass_phrase);
}

void SshKeys::import_private_key(const std::string& text, const std::string& path,
                                 const std::optional<std::string>& pass_phrase) {
    key_.reset();
    last_ssh_log().clear();
    ssh_key raw = nullptr;
    if (ssh_pki_import_privkey_base64(text.c_str(), pass_phrase ? pass_phrase->c_str() : nullptr,
                                      nullptr, nullptr, &raw) == SSH_OK) {
        key_.reset(raw, KeyFree());
        return;
    }
    throw_unreadable(path, pass_phrase);
}

void SshKeys::throw_unreadable(const std::string& path,
                               const std::optional<std::string>& pass_phrase) {
    const std::string& log = last_ssh_log();
    const bool pass_problem = log.find("correct password") != std::string::npos ||
                              log.find("bad decrypt") != std::string::npos ||
                              log.find("passphrase") != std::string::npos;
    std::string text = "Cannot load the private key from '" + path + "': ";
    if (pass_phrase && pass_problem) {
        text += "wrong pass phrase";
    } else if (pass_problem) {
        text += "the key is protected by a pass phrase and none was given";
    } else {
        text += "not a private key file that can be read";
    }
    if (!log.empty()) text += " (" + log + ")";
    throw SshError(text, FailureKind::Auth);
}

}  // namespace varnok
