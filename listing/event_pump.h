#pragma once

namespace varnok {

class SshClient;

/// Lets this thread's pending events run once: Qt's pending events when a Qt application
/// exists, then a wait of a few milliseconds at most on the live SSH clients' sockets, whose
/// events are raised here, on the calling thread.
void DoEvents();

/// Makes a connecting client known to this thread's DoEvents.
void register_live_client(SshClient* client);
/// Forgets a client that has ended or is destroyed.
void unregister_live_client(SshClient* client);
/// Number of clients this thread's DoEvents drives.
int live_client_count();

}  // namespace varnok
