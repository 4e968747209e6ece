// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace varnok {

class SshClient;

/// Lets this thread's pending events run once: the window system's pending events when the
/// window module runs on this thread, then a wait on the live SSH clients' sockets, whose
/// events are raised here, on the calling thread. With a window on the thread the wait lasts a
/// few milliseconds at most; without one it sleeps until a socket is ready or a deadline is due.
void DoEvents();

/// Runs the window system's pending events of the calling thread; false when it has none.
using WindowEventsHook = bool (*)();
/// Installs the hook of the window module (once it is loaded, for every thread).
void set_window_events_hook(WindowEventsHook hook);

/// Makes a connecting client known to this thread's DoEvents.
void register_live_client(SshClient* client);
/// Forgets a client that has ended or is destroyed.
void unregister_live_client(SshClient* client);
/// Number of clients this thread's DoEvents drives.
int live_client_count();

}  // namespace varnok
