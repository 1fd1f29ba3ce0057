#pragma once

// Tells the service manager how the daemon is doing (systemd's sd_notify), so
// that a unit of Type=notify counts the daemon as started only once it
// accepts connections. Without libsystemd at build time, and when the daemon
// was not started by systemd (no NOTIFY_SOCKET), these do nothing.

// Both listeners accept connections.
void notifyServiceReady();
// The daemon has begun its orderly stop.
void notifyServiceStopping();
