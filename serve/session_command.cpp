// SPDX-License-Identifier: Apache-2.0
#include "serve/session_command.h"

#include <algorithm>

#include "listing/host_key_policy.h"
#include "listing/ssh_client.h"

namespace varnok {

int ms_left(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void wait_for(std::vector<pollfd>& fds, int timeout_ms) {
    if (fds.empty()) {
        ::poll(nullptr, 0, std::min(timeout_ms, 10));
    } else {
        ::poll(fds.data(), fds.size(), timeout_ms);
    }
}

std::string timed_out(int seconds, const std::string& doing, const std::string& where) {
    return "Timed out after " + std::to_string(seconds) + " seconds while " + doing + " (" + where +
           ")";
}

CommandOutcome run_command(SshSession& session, const std::string& command,
                           std::chrono::steady_clock::time_point deadline, int seconds,
                           const std::string& where) {
    CommandOutcome out;
    CapturedListing& l = out.listing;
    const auto fail = [&](FailureKind kind, std::string text) {
        l.failure = kind;
        l.error = std::move(text);
        out.broken = true;
        return out;
    };
    if (!session.start_command(
            command, [&l](const char* data, size_t size) { l.received.append(data, size); }))
        return fail(FailureKind::Listing,
                    "Cannot open a channel on " + where + ": " + session.error());
    const auto wait_for_server = [&] {
        std::vector<pollfd> fds;
        session.prepare_poll(fds);
        const int left = ms_left(deadline);
        if (left == 0) return false;
        wait_for(fds, left);
        return true;
    };
    SshStep step;
    while ((step = session.open_channel()) == SshStep::Again) {
        if (!wait_for_server())
            return fail(FailureKind::Timeout,
                        timed_out(seconds, "starting the listing command", where));
    }
    if (step == SshStep::Failed)
        return fail(FailureKind::Listing,
                    "The server " + where + " refused a session channel: " + session.error());
    while ((step = session.exec()) == SshStep::Again) {
        if (!wait_for_server())
            return fail(FailureKind::Timeout,
                        timed_out(seconds, "starting the listing command", where));
    }
    if (step == SshStep::Failed)
        return fail(
            FailureKind::Listing,
            "The server " + where + " refused to run the listing command: " + session.error());
    for (;;) {
        const CommandState state = session.read();
        if (l.received.size() > SshClient::kMaxReceived) {
            l.received.resize(SshClient::kMaxReceived);
            out = fail(FailureKind::Listing, "The listing from " + where + " was longer than " +
                                                 std::to_string(SshClient::kMaxReceived >> 20) +
                                                 " MiB; the check stopped reading it");
            out.broken = false;
            break;
        }
        if (state == CommandState::Ended) break;
        if (state != CommandState::Running) {
            std::string text =
                "The connection to " + where + " was closed before the listing ended";
            if (const std::string detail = session.error(); !detail.empty())
                text += " (" + detail + ")";
            return fail(FailureKind::Connect, text);
        }
        if (!wait_for_server()) {
            out = fail(FailureKind::Timeout, timed_out(seconds, "reading the listing", where));
            out.broken = false;
            break;
        }
    }
    session.end_command();
    return out;
}

std::optional<Refusal> open_session(LoginTarget target,
                                    std::chrono::steady_clock::time_point deadline, int seconds,
                                    std::unique_ptr<SshSession>& out,
                                    std::vector<std::string>& warnings) {
    const std::string where = remote_words(target.host, target.port);
    // Time spent waiting for a login slot may have used it all: nothing was resolved yet.
    if (ms_left(deadline) == 0)
        return Refusal{FailureKind::Timeout, timed_out(seconds, "connecting", where)};
    SshClient events;
    events.Warning = [&warnings](const std::string& text) { warnings.push_back(text); };
    SshPhase phase = SshPhase::Idle;
    SessionOpener opener(events, std::move(target), [&phase](SshPhase p) { phase = p; });
    try {
        opener.start(deadline);
    } catch (const SshError& e) {
        return Refusal{e.kind(), e.what()};
    }
    for (;;) {
        std::vector<pollfd> fds;
        int timeout = ms_left(deadline);
        opener.prepare_poll(fds, timeout, ms_left(deadline));
        if (ms_left(deadline) == 0) {
            opener.close();
            static constexpr const char* kWords[] = {"connecting", "resolving the host name",
                                                     "connecting", "waiting for the SSH handshake",
                                                     "logging in"};
            const size_t at = std::min<size_t>(static_cast<size_t>(phase), 4);
            return Refusal{FailureKind::Timeout, timed_out(seconds, kWords[at], where)};
        }
        wait_for(fds, std::max(timeout, 0));
        const SessionOpener::State state = opener.advance(fds);
        if (state == SessionOpener::State::Failed) return opener.failure();
        if (state == SessionOpener::State::LoggedIn) {
            out = opener.take_session();
            return std::nullopt;
        }
    }
}

}  // namespace varnok
