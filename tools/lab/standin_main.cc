// spystandin: what the lab plants at the executable paths of spy
// definitions. It only has to exist as a running program with that image
// path, so it waits until it is killed.
#include <unistd.h>

int main() {
  for (;;) ::pause();
}
