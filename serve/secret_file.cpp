// SPDX-License-Identifier: Apache-2.0
#include "serve/secret_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace varnok {

std::string SecretFile::open_text(const std::string& path) const {
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", mode);
    return path + " is open to others (mode " + octal + ")";
}

SecretFile read_secret_file(const std::string& path, size_t max_size) {
    SecretFile f;
    // O_NONBLOCK: a FIFO must not hold the reader at open; fstat then refuses it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        f.error = "cannot read " + path + ": " + std::strerror(errno);
        return f;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        f.error = path + " is not a regular file";
    } else if (static_cast<unsigned long long>(st.st_size) > max_size) {
        f.error = path + " is larger than " + std::to_string(max_size / 1024) + " KiB";
    } else {
        f.mode = st.st_mode & 07777;
        // One byte more than allowed: a file that grew since fstat is refused too.
        std::string text(max_size + 1, '\0');
        size_t got = 0;
        while (got < text.size()) {
            const ssize_t n = ::read(fd, &text[got], text.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) f.error = "cannot read " + path + ": " + std::strerror(errno);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        if (f.error.empty() && got > max_size)
            f.error = path + " is larger than " + std::to_string(max_size / 1024) + " KiB";
        text.resize(got);
        if (f.error.empty()) f.text = std::move(text);
    }
    ::close(fd);
    return f;
}

std::optional<std::string> read_key_file(const std::string& path, std::string& why) {
    SecretFile f = read_secret_file(path, 64 * 1024);
    if (f.text && f.open_to_others()) {
        why = "the key file " + f.open_text(path);
        return std::nullopt;
    }
    if (!f.text) why = "the key file: " + f.error;
    return f.text;
}

}  // namespace varnok
