// The service's state for systemd (a unit of Type=notify): READY once the
// DICOM port listens, WATCHDOG from the 5 s timer, STOPPING at shutdown.
// Without NOTIFY_SOCKET in the environment nothing is sent; the watchdog is
// fed only when systemd asked for it (WATCHDOG_USEC, and WATCHDOG_PID when
// set names this process). Never throw; a failed send changes nothing.
#ifndef VANTOR_HOST_SYSTEMD_NOTIFY_H_
#define VANTOR_HOST_SYSTEMD_NOTIFY_H_

namespace vantor {

// "READY=1" with a STATUS naming the port and the caption.
void NotifyReady() noexcept;

// "WATCHDOG=1" when the watchdog is enabled for this process.
void NotifyWatchdog() noexcept;

// "STOPPING=1".
void NotifyStopping() noexcept;

}  // namespace vantor

#endif  // VANTOR_HOST_SYSTEMD_NOTIFY_H_
