/* The C interface, used from C as a host would, against the simulator on
 * the library's default controller address (the driver starts it there
 * first). Prints "N passed, N failed"; exits 0 only when nothing failed. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <orvane/orvane_c.h>

#include "bindings_test.h"

static int passed = 0;
static int failed = 0;

#define CHECK(cond)                                                             \
    do {                                                                        \
        if (cond) {                                                             \
            ++passed;                                                           \
        } else {                                                                \
            ++failed;                                                           \
            printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);     \
            fflush(stdout);                                                     \
        }                                                                       \
    } while (0)

/* Generous: machines are shared and wine is slow. */
#define DEADLINE_MS 10000

static int close_to(double a, double b, double tolerance) {
    const double d = a - b;
    return d <= tolerance && -d <= tolerance;
}

/* Waits until condition() holds; 1 when it did before the deadline. */
static int wait_for(int (*condition)(void), int timeout_ms) {
    const double end = bindings_now_ms() + timeout_ms;
    for (;;) {
        if (condition()) return 1;
        if (bindings_now_ms() > end) return 0;
        bindings_sleep_ms(5);
    }
}

/* Field k of a comma-separated text, copied into out (NUL-terminated). */
static void field_at(const char* text, int k, char* out, size_t capacity) {
    size_t n = 0;
    for (; k > 0 && *text != '\0'; ++text) k -= *text == ',';
    while (text[n] != '\0' && text[n] != ',' && n + 1 < capacity) {
        out[n] = text[n];
        ++n;
    }
    out[n] = '\0';
}

/* A text code's result into buf; returns orvane_cmd's result. */
static int read_text(int code, int axis, char* buf, size_t capacity) {
    return orvane_cmd(code, axis, "", buf, capacity, NULL);
}

static double position_of(int axis) {
    double p[6] = {0, 0, 0, 0, 0, 0};
    orvane_get_pos(p);
    return p[axis];
}

static int still(int axis) {
    int state = 0;
    return orvane_get_move_state(axis, &state) == 1 && state == 1;
}

/* ---- Conditions to wait for ---- */

static int connected(void) { return orvane_is_connect() == 1; }
static int type_known(void) { return orvane_get_type() != 0; }
static int params_loaded(void) {
    int speed = 0;
    return orvane_get_max_speed(0, &speed) == 1 && speed == 100;
}
static int version_known(void) {
    char buf[64];
    return read_text(ORVANE_CMD_VERSION, 0, buf, sizeof buf) == 1 && buf[0] != '\0';
}
static int levels_known(void) {
    char buf[128];
    return read_text(ORVANE_CMD_READ_LEVELS, 0, buf, sizeof buf) == 1 && buf[0] != '0';
}
static int axis0_still(void) { return still(0); }
static int axis0_at_target(void) { return still(0) && close_to(position_of(0), 12.5, 0.002); }
static int xyz_at_target(void) {
    return still(0) && still(1) && still(2) && close_to(position_of(0), 1.0, 0.002) &&
           close_to(position_of(1), 2.0, 0.002) && close_to(position_of(2), 3.0, 0.002);
}
/* Waits for the state a fresh connection needs before the queries mean
 * anything: the type, the parameters, and the move-state bits (held back for
 * the first status replies). */
static void wait_until_ready(void) {
    CHECK(wait_for(connected, DEADLINE_MS));
    CHECK(wait_for(type_known, DEADLINE_MS));
    CHECK(wait_for(params_loaded, DEADLINE_MS));
    CHECK(wait_for(axis0_still, DEADLINE_MS));
}

/* ---- Tests ---- */

static void test_library_texts(void) {
    CHECK(orvane_version() != NULL);
    CHECK(strcmp(orvane_version(), ORVANE_TEST_LIBRARY_VERSION) == 0);
    CHECK(orvane_last_error() != NULL);
    CHECK(strcmp(orvane_last_error(), "") == 0);
}

static void test_before_connecting(void) {
    double value = -7.0;
    double left = -7.0, right = -7.0;
    double positions[6] = {-7, -7, -7, -7, -7, -7};
    int flag = -7, a = -7, b = -7, c = -7;
    char buf[16] = "keep";
    size_t needed = 12345;

    CHECK(orvane_is_connect() == 0);
    CHECK(orvane_get_type() == 0);
    CHECK(orvane_get_acc_time(0, &value) == 0 && value == -7.0);
    CHECK(orvane_get_pos(positions) == 0 && positions[0] == -7.0);
    CHECK(orvane_get_move_state(0, &flag) == 0 && flag == -7);
    CHECK(orvane_set_speed(0, 10.0f) == 0);
    CHECK(orvane_set_output_all(1) == 0);
    CHECK(orvane_set_fly(1, 2, 3) == 0);
    /* Refused while disconnected: the buffer and the size stay as they were. */
    CHECK(orvane_cmd(ORVANE_CMD_VERSION, 0, "", buf, sizeof buf, &needed) == 0);
    CHECK(strcmp(buf, "keep") == 0 && needed == 12345);
    /* These answer without a connection. */
    CHECK(orvane_get_soft_limits(0, &left, &right) == 1);
    CHECK(left == -10000.0 && right == 10000.0);
    CHECK(orvane_get_fly(&a, &b, &c) == 1 && a == 0 && b == 0 && c == 0);
    CHECK(orvane_get_fly_pos(NULL, 0) == 0);
    /* Targets that are not numbers are refused before anything is queued. */
    CHECK(orvane_xyz_move_to(NAN, 0.0, 0.0) == 0);
    CHECK(orvane_xyz_move_to(0.0, INFINITY, 0.0) == 0);
}

static void test_null_pointers(void) {
    int value = 0;
    double number = 0.0;
    double positions[2] = {0.0, 0.0};
    CHECK(orvane_get_acc_time(0, NULL) == 0);
    CHECK(orvane_get_axis_rotation(0, NULL) == 0);
    CHECK(orvane_get_fly(NULL, &value, &value) == 0);
    CHECK(orvane_get_fly(&value, NULL, &value) == 0);
    CHECK(orvane_get_fly(&value, &value, NULL) == 0);
    CHECK(orvane_get_fly_pos(NULL, 2) == 0);
    CHECK(orvane_get_fly_pos(positions, 0) == 0); /* none held yet */
    CHECK(orvane_get_home_state(0, NULL) == 0);
    CHECK(orvane_get_input_bit(1, NULL) == 0);
    CHECK(orvane_get_input_bits(NULL) == 0);
    CHECK(orvane_get_soft_limits(0, NULL, &number) == 0);
    CHECK(orvane_get_soft_limits(0, &number, NULL) == 0);
    CHECK(orvane_get_max_speed(0, NULL) == 0);
    CHECK(orvane_get_move_state(0, NULL) == 0);
    CHECK(orvane_get_pos(NULL) == 0);
    CHECK(orvane_cmd(ORVANE_CMD_VERSION, 0, NULL, NULL, 0, NULL) == 0);
    CHECK(orvane_cmd(ORVANE_CMD_FREE_COMMAND, 0, NULL, NULL, 0, NULL) == 0);
    /* A text code with no buffer but a capacity: refused, not written. */
    CHECK(orvane_cmd(ORVANE_CMD_VERSION, 0, "", NULL, 8, NULL) == 0);
}

static void test_text_buffers(void) {
    const size_t version_size = strlen(BINDINGS_SIM_VERSION) + 1;
    char buf[64];
    size_t needed = 0;

    /* Size query: no buffer, capacity 0. */
    CHECK(orvane_cmd(ORVANE_CMD_VERSION, 0, "", NULL, 0, &needed) == ORVANE_E_BUFFER_TOO_SMALL);
    CHECK(needed == version_size);

    /* One byte short: nothing partial, nothing beyond the capacity. */
    memset(buf, 'x', sizeof buf);
    needed = 0;
    CHECK(orvane_cmd(ORVANE_CMD_VERSION, 0, "", buf, version_size - 1, &needed) == ORVANE_E_BUFFER_TOO_SMALL);
    CHECK(needed == version_size);
    CHECK(buf[0] == '\0');
    CHECK(buf[version_size - 1] == 'x');

    /* Exactly the size needed. */
    memset(buf, 'x', sizeof buf);
    needed = 0;
    CHECK(orvane_cmd(ORVANE_CMD_VERSION, 0, "", buf, version_size, &needed) == 1);
    CHECK(strcmp(buf, BINDINGS_SIM_VERSION) == 0);
    CHECK(needed == version_size);
    CHECK(buf[version_size] == 'x');

    /* needed is optional; text_in is not read by a replacing code. */
    CHECK(orvane_cmd(ORVANE_CMD_VERSION, 0, "ignored", buf, sizeof buf, NULL) == 1);
    CHECK(strcmp(buf, BINDINGS_SIM_VERSION) == 0);

    /* An axis above 5 is refused for every code, whether it uses it or not. */
    strcpy(buf, "keep");
    needed = 999;
    CHECK(orvane_cmd(ORVANE_CMD_IO_TEXT, 6, "", buf, sizeof buf, &needed) == 0);
    CHECK(strcmp(buf, "keep") == 0 && needed == 999);

    /* A code without a text leaves buffer and size alone; unknown codes do
     * nothing and return 1. */
    CHECK(orvane_cmd(7, 0, "", buf, sizeof buf, &needed) == 1);
    CHECK(strcmp(buf, "keep") == 0 && needed == 999);
    CHECK(orvane_cmd(7, 0, "", NULL, 0, NULL) == 1);

    /* The I/O text shows the simulator's inputs. */
    CHECK(read_text(ORVANE_CMD_IO_TEXT, 0, buf, sizeof buf) == 1);
    CHECK(strncmp(buf, "IN=100010000000000000000001", 27) == 0);

    CHECK(read_text(ORVANE_CMD_PARAMETER_6_FLAG, 0, buf, sizeof buf) == 1 && strcmp(buf, "0") == 0);
    CHECK(read_text(ORVANE_CMD_PARAMETER_6_FLAG, -1, buf, sizeof buf) == 0);
}

static void test_parameters(void) {
    static const char defaults[] =
        "0,0,10000,1,50,0,0,0,0,0,0.000000,0.000000,100.000000,5.000000,-10000.000000,10000.000000,10.000000,"
        "0.200000,0.001000,10.000000,1.000000";
    char buf[512];
    char field[32];
    int speed = 0;

    CHECK(read_text(ORVANE_CMD_READ_PARAMETERS, 3, buf, sizeof buf) == 1);
    CHECK(strcmp(buf, defaults) == 0);
    CHECK(read_text(ORVANE_CMD_READ_PARAMETERS, -1, buf, sizeof buf) == 0);
    CHECK(read_text(ORVANE_CMD_READ_PARAMETERS, 6, buf, sizeof buf) == 0);

    /* Write: max speed (field 12) of axis 3 becomes 80.5. */
    CHECK(orvane_cmd(ORVANE_CMD_WRITE_PARAMETERS, 3,
                     "0,0,10000,1,50,0,0,0,0,0,0,0,80.5,5,-10000,10000,10,0.2,0.001,10,1", NULL, 0, NULL) == 1);
    CHECK(orvane_get_max_speed(3, &speed) == 1 && speed == 80);
    CHECK(read_text(ORVANE_CMD_READ_PARAMETERS, 3, buf, sizeof buf) == 1);
    field_at(buf, 12, field, sizeof field);
    CHECK(strcmp(field, "80.500000") == 0);

    /* Not 21 fields: refused. */
    CHECK(orvane_cmd(ORVANE_CMD_WRITE_PARAMETERS, 3, "0,0,10000,1,50,0,0,0,0,0,0,0,80.5,5,-10000,10000,10,0.2,0.001,10",
                     NULL, 0, NULL) == 0);
    CHECK(orvane_cmd(ORVANE_CMD_WRITE_PARAMETERS, 3,
                     "0,0,10000,1,50,0,0,0,0,0,0,0,80.5,5,-10000,10000,10,0.2,0.001,10,1,", NULL, 0, NULL) == 0);
    CHECK(strcmp(orvane_last_error(), "") == 0);

    /* Conversion errors come back as codes with their text. */
    CHECK(orvane_cmd(ORVANE_CMD_WRITE_PARAMETERS, 3,
                     "0,0,10000,1,x,0,0,0,0,0,0,0,80.5,5,-10000,10000,10,0.2,0.001,10,1", NULL, 0, NULL) ==
          ORVANE_E_INVALID_ARGUMENT);
    CHECK(strcmp(orvane_last_error(), "invalid stoi argument") == 0);
    CHECK(orvane_cmd(ORVANE_CMD_WRITE_PARAMETERS, 3,
                     "0,0,10000,1,99999999999,0,0,0,0,0,0,0,80.5,5,-10000,10000,10,0.2,0.001,10,1", NULL, 0,
                     NULL) == ORVANE_E_OUT_OF_RANGE);
    CHECK(strcmp(orvane_last_error(), "stoi argument out of range") == 0);
    /* The next call clears it. */
    CHECK(read_text(ORVANE_CMD_VERSION, 0, buf, sizeof buf) == 1);
    CHECK(strcmp(orvane_last_error(), "") == 0);
    /* The failed writes kept the stored value. */
    CHECK(orvane_get_max_speed(3, &speed) == 1 && speed == 80);
}

static void test_motion(void) {
    double positions[6];
    CHECK(orvane_set_speed(0, -50.0f) == 1); /* stored as 50 */
    CHECK(orvane_set_speed(0, 0.0f) == 0);
    CHECK(orvane_set_speed(6, 1.0f) == 0);
    CHECK(orvane_set_speed(-1, 1.0f) == 0);
    CHECK(orvane_set_speed(1, 50.0f) == 1);
    CHECK(orvane_set_speed(2, 50.0f) == 1);

    CHECK(orvane_single_move_to(0, NAN) == 0);
    CHECK(orvane_single_move_to(0, INFINITY) == 0);
    CHECK(orvane_single_move_to(6, 1.0) == 0);
    CHECK(orvane_single_move_to(0, 12.5) == 1);
    CHECK(!still(0)); /* until the controller has reported again */
    CHECK(wait_for(axis0_at_target, DEADLINE_MS));

    CHECK(orvane_xyz_move_to(1.0, 2.0, 3.0) == 1);
    CHECK(wait_for(xyz_at_target, DEADLINE_MS));
    CHECK(orvane_get_pos(positions) == 1);
    CHECK(close_to(positions[0], 1.0, 0.002) && close_to(positions[1], 2.0, 0.002) && close_to(positions[2], 3.0, 0.002));
}

int main(void) {
    test_library_texts();
    test_before_connecting();

    CHECK(orvane_initial() == 1);
    wait_until_ready();
    CHECK(wait_for(version_known, DEADLINE_MS));
    CHECK(wait_for(levels_known, DEADLINE_MS));

    test_null_pointers();
    test_text_buffers();
    test_parameters();
    test_motion();

    CHECK(orvane_close() == 1);
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
