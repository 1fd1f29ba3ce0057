#include "base/service_notify.h"

#ifdef PELLIRO_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>

void notifyServiceReady() { sd_notify(0, "READY=1"); }
void notifyServiceStopping() { sd_notify(0, "STOPPING=1"); }
#else
void notifyServiceReady() {}
void notifyServiceStopping() {}
#endif
