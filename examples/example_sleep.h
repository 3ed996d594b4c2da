/* sleep_ms() for the polling loops of the examples: the one thing they need
 * that standard C lacks. Include it before any other header: on POSIX
 * systems it asks for the POSIX interfaces, and that must come first. */
#ifndef VXBRIDGE_EXAMPLE_SLEEP_H
#define VXBRIDGE_EXAMPLE_SLEEP_H

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
static void sleep_ms(unsigned ms) { Sleep(ms); }
#else
#ifndef _POSIX_C_SOURCE
#define _POSIX_C_SOURCE 200809L
#endif
#include <time.h>
static void sleep_ms(unsigned ms) {
  struct timespec pause = {(time_t)(ms / 1000u), (long)(ms % 1000u) * 1000000L};
  nanosleep(&pause, NULL);
}
#endif

#endif /* VXBRIDGE_EXAMPLE_SLEEP_H */
