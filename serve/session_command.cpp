// SPDX-License-Identifier: Apache-2.0
#include "serve/session_command.h"

#include <algorithm>

#include "listing/host_key_policy.h"
#include "listing/remote_command.h"
#include "listing/ssh_client.h"

namespace varnok {
namespace {

// How long a request waits on a socket that other requests' calls may read from, or for a
// word from the one that waits on it.
constexpr int kSharedWaitMs = 10;

}  // namespace

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

CommandOutcome run_command(SshSession& session, SessionLock& shared,
                           std::unique_lock<std::mutex>& held, const std::string& command,
                           std::chrono::steady_clock::time_point deadline, int seconds,
                           const std::string& where) {
    CommandOutcome out;
    CapturedListing& l = out.listing;
    ++shared.running;
    {
        // Its output arrives inside whichever request's call reads the socket, under the lock.
        RemoteCommand run(
            session, command, where,
            [&l](const char* data, size_t size) { l.received.append(data, size); },
            SshClient::kMaxReceived);
        bool granted = false;
        for (;;) {
            const RemoteCommand::State state = run.advance();
            if (!granted && run.phase() != SshPhase::OpeningChannel &&
                state != RemoteCommand::State::Failed) {
                granted = true;
                shared.most_opened = std::max(shared.most_opened, ++shared.opened);
            }
            if (state == RemoteCommand::State::Ended) break;
            if (state == RemoteCommand::State::Failed) {
                l.failure = run.failure().kind;
                l.error = run.failure().text;
                out.broken = run.broke_session();
                out.refused = run.refused();
                break;
            }
            const int left = ms_left(deadline);
            if (left == 0) {
                l.failure = FailureKind::Timeout;
                l.error = timed_out_text(seconds, run.phase(), where);
                // A channel left half open would leave the session in an unknown state.
                out.broken = run.phase() != SshPhase::Reading;
                break;
            }
            if (!shared.polling) {
                shared.polling = true;
                std::vector<pollfd> fds;
                session.prepare_poll(fds);
                // Alone, nothing but this request reads the socket; with others, one of their
                // calls may take in this one's packets, so it looks again soon.
                const int wait = shared.running > 1 ? std::min(left, kSharedWaitMs) : left;
                held.unlock();
                wait_for(fds, wait);
                held.lock();
                shared.polling = false;
                shared.changed.notify_all();
            } else {
                shared.changed.wait_for(held,
                                        std::chrono::milliseconds(std::min(left, kSharedWaitMs)));
            }
        }
        if (granted) --shared.opened;
    }
    --shared.running;
    shared.changed.notify_all();
    return out;
}

std::optional<Refusal> open_session(LoginTarget target,
                                    std::chrono::steady_clock::time_point deadline, int seconds,
                                    std::unique_ptr<SshSession>& out,
                                    std::vector<std::string>& warnings) {
    const std::string where = remote_words(target.host, target.port);
    // Time spent waiting for a login slot may have used it all: nothing was resolved yet.
    if (ms_left(deadline) == 0)
        return Refusal{FailureKind::Timeout, timed_out_text(seconds, SshPhase::Idle, where)};
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
            return Refusal{FailureKind::Timeout, timed_out_text(seconds, phase, where)};
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
