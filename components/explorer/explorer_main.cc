// explorer.exe: stands in for the desktop shell of a logged-on user.
//
// It does nothing but exist: programs that start processes "on the user's
// desktop" look for the running explorer.exe and take its account. It
// sleeps in sigwait (no polling, no CPU) until it is terminated, and ends
// cleanly on SIGTERM, SIGINT or SIGHUP (a log-off).
#include <signal.h>

int main() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return 1;
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  return 0;
}
