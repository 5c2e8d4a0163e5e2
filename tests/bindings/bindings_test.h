/* Shared by the C test program and the driver that runs it against the
 * simulator: what the driver sets up, and the clock the C test waits with
 * (C99 has no portable sleep). */
#ifndef ORVANE_BINDINGS_TEST_H
#define ORVANE_BINDINGS_TEST_H

/* The simulator's version text. */
#define BINDINGS_SIM_VERSION "bindings-sim 1.0"

/* Inputs the simulator holds high; all others are low. */
#define BINDINGS_INPUT_HIGH(n) ((n) == 1 || (n) == 5 || (n) == 24)

#ifdef __cplusplus
extern "C" {
#endif

/* Milliseconds on a monotonic clock. */
double bindings_now_ms(void);
/* Sleeps the calling thread. */
void bindings_sleep_ms(int ms);

#ifdef __cplusplus
}
#endif

#endif /* ORVANE_BINDINGS_TEST_H */
