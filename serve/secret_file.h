// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>

namespace varnok {

/// A file that holds a secret (a private key, a parameter string with a password), read with
/// bounds: a regular file of at most max_size bytes; a FIFO or device is refused, not waited on.
struct SecretFile {
    std::optional<std::string> text;  ///< the contents; nullopt when refused
    std::string error;                ///< why it was refused
    unsigned mode = 0;                ///< its permission bits
    /// True when group or others have any access, which OpenSSH refuses for a key.
    bool open_to_others() const { return (mode & 077) != 0; }
    /// "PATH is open to others (mode 0644)".
    std::string open_text(const std::string& path) const;
};

/// Reads path as a secret file of at most max_size bytes.
SecretFile read_secret_file(const std::string& path, size_t max_size);

/// A private key as OpenSSH takes one: at most 64 KiB, closed to group and others; nullopt and
/// why otherwise.
std::optional<std::string> read_key_file(const std::string& path, std::string& why);

}  // namespace varnok
