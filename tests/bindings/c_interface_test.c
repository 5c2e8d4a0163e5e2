/* The C interface from C, against the simulator the driver starts on the library's default controller
 * address. Prints "N passed, N failed"; exits 0 only when nothing failed. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <orvane/orvane_c.h>

#include "bindings_test.h"

static int passed = 0, failed = 0;

static void check(int ok, const char* what, int line) {
    passed += ok;
    failed += !ok;
    if (!ok) printf("%s:%d: check failed: %s\n", __FILE__, line, what), fflush(stdout);
}
#define CHECK(cond) check((cond) != 0, #cond, __LINE__)

#define DEADLINE_MS 10000 /* generous: machines are shared and wine is slow */
/* A text code's answer into the caller's buf. */
#define READ(code, axis) orvane_cmd((code), (axis), "", buf, sizeof buf, NULL)
/* Writes axis 3's parameters: field 4, fields 5..19 (max speed 80.5), and what ends the text. */
#define WRITE_PARAMS(field4, end)              \
    orvane_cmd(ORVANE_CMD_WRITE_PARAMETERS, 3, \
               "0,0,10000,1," field4 ",0,0,0,0,0,0,0,80.5,5,-10000,10000,10,0.2,0.001,10" end, NULL, 0, NULL)

/* Waits until condition() holds; 1 when it did before the deadline. */
static int wait_for(int (*condition)(void)) {
    const double end = bindings_now_ms() + DEADLINE_MS;
    while (!condition()) {
        if (bindings_now_ms() > end) return 0;
        bindings_sleep_ms(5);
    }
    return 1;
}

static int still_at(int axis, double target) {
    int state = 0;
    double p[6] = {0, 0, 0, 0, 0, 0};
    return orvane_get_move_state(axis, &state) == 1 && state == 1 && orvane_get_pos(p) == 1 &&
           fabs(p[axis] - target) <= 0.002;
}

/* What a fresh connection needs before the queries mean anything: the type,
 * the parameters, the version, the levels and the move-state bits (held back
 * for the first status replies). */
static int ready(void) {
    int speed = 0, state = 0;
    char buf[128];
    return orvane_is_connect() == 1 && orvane_get_type() != 0 && orvane_get_max_speed(0, &speed) == 1 && speed == 100 &&
           READ(ORVANE_CMD_VERSION, 0) == 1 && buf[0] != '\0' && READ(ORVANE_CMD_READ_LEVELS, 0) == 1 &&
           buf[0] != '0' && orvane_get_move_state(0, &state) == 1 && state == 1;
}
static int axis0_at_target(void) {
    return still_at(0, 12.5);
}
static int xyz_at_target(void) {
    return still_at(0, 1.0) && still_at(1, 2.0) && still_at(2, 3.0);
}

static void test_before_connecting(void) {
    double value = -7.0, left = -7.0, right = -7.0, positions[6] = {-7, -7, -7, -7, -7, -7};
    int flag = -7, a = -7, b = -7, c = -7;
    char buf[16] = "keep";
    size_t needed = 12345;

    CHECK(strcmp(orvane_version(), ORVANE_TEST_LIBRARY_VERSION) == 0 && strcmp(orvane_last_error(), "") == 0);
    CHECK(orvane_is_connect() == 0 && orvane_get_type() == 0);
    CHECK(orvane_get_acc_time(0, &value) == 0 && value == -7.0 && orvane_get_pos(positions) == 0 &&
          positions[0] == -7.0);
    CHECK(orvane_get_move_state(0, &flag) == 0 && flag == -7);
    CHECK(orvane_set_speed(0, 10.0f) == 0 && orvane_set_output_all(1) == 0 && orvane_set_fly(1, 2, 3) == 0);
    /* Refused while disconnected: the buffer and the size stay as they were. */
    CHECK(orvane_cmd(ORVANE_CMD_VERSION, 0, "", buf, sizeof buf, &needed) == 0 && !strcmp(buf, "keep") &&
          needed == 12345);
    /* These answer without a connection. */
    CHECK(orvane_get_soft_limits(0, &left, &right) == 1 && left == -10000.0 && right == 10000.0);
    CHECK(orvane_get_fly(&a, &b, &c) == 1 && a == 0 && b == 0 && c == 0 && orvane_get_fly_pos(NULL, 0) == 0);
    /* Targets that are not numbers are refused before anything is queued. */
    CHECK(orvane_xyz_move_to(NAN, 0.0, 0.0) == 0 && orvane_xyz_move_to(0.0, INFINITY, 0.0) == 0);
}

static void test_null_pointers(void) {
    int v = 0;
    double number = 0.0, positions[2] = {0.0, 0.0};
    CHECK(orvane_get_acc_time(0, NULL) == 0 && orvane_get_axis_rotation(0, NULL) == 0);
    CHECK(orvane_get_fly(NULL, &v, &v) == 0 && orvane_get_fly(&v, NULL, &v) == 0 && orvane_get_fly(&v, &v, NULL) == 0);
    CHECK(orvane_get_fly_pos(NULL, 2) == 0 && orvane_get_fly_pos(positions, 0) == 0); /* none held yet */
    CHECK(orvane_get_home_state(0, NULL) == 0 && orvane_get_max_speed(0, NULL) == 0);
    CHECK(orvane_get_input_bit(1, NULL) == 0 && orvane_get_input_bits(NULL) == 0);
    CHECK(orvane_get_soft_limits(0, NULL, &number) == 0 && orvane_get_soft_limits(0, &number, NULL) == 0);
    CHECK(orvane_get_move_state(0, NULL) == 0 && orvane_get_pos(NULL) == 0);
    CHECK(orvane_cmd(ORVANE_CMD_VERSION, 0, NULL, NULL, 0, NULL) == 0 &&
          orvane_cmd(ORVANE_CMD_FREE_COMMAND, 0, NULL, NULL, 0, NULL) == 0);
    /* A text code with no buffer but a capacity: refused, not written. */
    CHECK(orvane_cmd(ORVANE_CMD_VERSION, 0, "", NULL, 8, NULL) == 0);
}

static void test_text_buffers(void) {
    const size_t size = strlen(BINDINGS_SIM_VERSION) + 1;
    char buf[64];
    size_t needed = 0;

    /* Size query (no buffer, capacity 0); one byte short: nothing partial, nothing beyond; exactly enough. */
    CHECK(orvane_cmd(ORVANE_CMD_VERSION, 0, "", NULL, 0, &needed) == ORVANE_E_BUFFER_TOO_SMALL && needed == size);
    memset(buf, 'x', sizeof buf), needed = 0;
    CHECK(orvane_cmd(ORVANE_CMD_VERSION, 0, "", buf, size - 1, &needed) == ORVANE_E_BUFFER_TOO_SMALL);
    CHECK(needed == size && buf[0] == '\0' && buf[size - 1] == 'x');
    memset(buf, 'x', sizeof buf), needed = 0;
    CHECK(orvane_cmd(ORVANE_CMD_VERSION, 0, "", buf, size, &needed) == 1 && needed == size);
    CHECK(strcmp(buf, BINDINGS_SIM_VERSION) == 0 && buf[size] == 'x');
    /* needed is optional; text_in is not read by a replacing code. */
    CHECK(orvane_cmd(ORVANE_CMD_VERSION, 0, "ignored", buf, sizeof buf, NULL) == 1 &&
          !strcmp(buf, BINDINGS_SIM_VERSION));
    /* An axis above 5 is refused for every code, whether it uses it or not. */
    strcpy(buf, "keep"), needed = 999;
    CHECK(orvane_cmd(ORVANE_CMD_IO_TEXT, 6, "", buf, sizeof buf, &needed) == 0 && !strcmp(buf, "keep") &&
          needed == 999);
    /* A code without a text leaves buffer and size alone; unknown codes do nothing and return 1. */
    CHECK(orvane_cmd(7, 0, "", buf, sizeof buf, &needed) == 1 && strcmp(buf, "keep") == 0 && needed == 999);
    CHECK(orvane_cmd(7, 0, "", NULL, 0, NULL) == 1);
    /* The I/O text shows the simulator's inputs. */
    CHECK(READ(ORVANE_CMD_IO_TEXT, 0) == 1 && strncmp(buf, "IN=100010000000000000000001", 27) == 0);
    CHECK(READ(ORVANE_CMD_PARAMETER_6_FLAG, 0) == 1 && strcmp(buf, "0") == 0);
    CHECK(READ(ORVANE_CMD_PARAMETER_6_FLAG, -1) == 0);
}

static void test_parameters(void) {
    static const char defaults[] =
        "0,0,10000,1,50,0,0,0,0,0,0.000000,0.000000,100.000000,5.000000,-10000.000000,10000.000000,10.000000,"
        "0.200000,0.001000,10.000000,1.000000";
    char buf[512];
    int speed = 0;

    CHECK(READ(ORVANE_CMD_READ_PARAMETERS, 3) == 1 && strcmp(buf, defaults) == 0);
    CHECK(READ(ORVANE_CMD_READ_PARAMETERS, -1) == 0 && READ(ORVANE_CMD_READ_PARAMETERS, 6) == 0);
    /* Write: max speed (field 12) of axis 3 becomes 80.5. */
    CHECK(WRITE_PARAMS("50", ",1") == 1);
    CHECK(orvane_get_max_speed(3, &speed) == 1 && speed == 80);
    CHECK(READ(ORVANE_CMD_READ_PARAMETERS, 3) == 1 && strstr(buf, ",0.000000,80.500000,5.000000,"));
    /* Not 21 fields: refused. */
    CHECK(WRITE_PARAMS("50", "") == 0);
    CHECK(WRITE_PARAMS("50", ",1,") == 0 && strcmp(orvane_last_error(), "") == 0);
    /* Conversion errors come back as codes with their text; the next call clears it. */
    CHECK(WRITE_PARAMS("x", ",1") == ORVANE_E_INVALID_ARGUMENT);
    CHECK(strcmp(orvane_last_error(), "invalid stoi argument") == 0);
    CHECK(WRITE_PARAMS("99999999999", ",1") == ORVANE_E_OUT_OF_RANGE);
    CHECK(strcmp(orvane_last_error(), "stoi argument out of range") == 0);
    CHECK(READ(ORVANE_CMD_VERSION, 0) == 1 && strcmp(orvane_last_error(), "") == 0);
    CHECK(orvane_get_max_speed(3, &speed) == 1 && speed == 80); /* the failed writes kept it */
}

static void test_motion(void) {
    CHECK(orvane_set_speed(0, -50.0f) == 1); /* stored as 50 */
    CHECK(orvane_set_speed(0, 0.0f) == 0 && orvane_set_speed(6, 1.0f) == 0 && orvane_set_speed(-1, 1.0f) == 0);
    CHECK(orvane_set_speed(1, 50.0f) == 1 && orvane_set_speed(2, 50.0f) == 1);
    CHECK(orvane_single_move_to(0, NAN) == 0 && orvane_single_move_to(0, INFINITY) == 0);
    CHECK(orvane_single_move_to(6, 1.0) == 0 && orvane_single_move_to(0, 12.5) == 1);
    CHECK(!still_at(0, 0.0)); /* until the controller has reported again */
    CHECK(wait_for(axis0_at_target));
    CHECK(orvane_xyz_move_to(1.0, 2.0, 3.0) == 1 && wait_for(xyz_at_target));
}

int main(void) {
    test_before_connecting();
    CHECK(orvane_initial() == 1);
    CHECK(wait_for(ready));
    test_null_pointers();
    test_text_buffers();
    test_parameters();
    test_motion();
    CHECK(orvane_close() == 1);
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
