#pragma once

#include <string>

// The process's own resource use in the series every Prometheus client
// library exposes (process_cpu_seconds_total, process_resident_memory_bytes,
// process_virtual_memory_bytes, process_open_fds, process_max_fds,
// process_start_time_seconds), read from /proc/self at the moment of the
// request, so that the stock process panels and alerts work on the gateway
// too. Series whose source cannot be read are left out.
std::string renderProcessMetrics();

// Whether the admin server's /metrics carries them after the registry's
// series: the daemon turns this on at start-up; in-process servers of the
// tests leave it off and serve the registry alone.
void setProcessMetricsExposed(bool on);
bool processMetricsExposed();
