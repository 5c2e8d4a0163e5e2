#!/usr/bin/env bash
# Plants small faults in src/ one at a time, rebuilds the dev build and runs
# the fast native tests against each; a fault is "caught" when some test
# fails (or the build breaks), "survived" when all pass. Every file is put
# back byte for byte after each fault, also on an interrupt (with a new
# time stamp, so that the next build drops what was built from the fault).
#
#   scripts/mutation-check.sh [NAME_REGEX]
#
# Environment: BUILD_DIR (default build/dev, configured already),
# LABELS (ctest label regex, default the fast suites), EXCLUDE_LABELS,
# EXCLUDE_TESTS (test name regex), TEST_TIMEOUT (60), TARGETS.
# Not part of CI: a full run rebuilds the library once per fault.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
build_dir=${BUILD_DIR:-build/dev}
labels=${LABELS:-'unit|link|lifecycle|api|sim'}
# The long suites stay out: the reliability runs (but not their unit part:
# the corpus replays), soak, panel, tools, bindings, package.
exclude=${EXCLUDE_LABELS:-'soak|panel|tools'}
timeout=${TEST_TIMEOUT:-60}
# A test name regex to leave out (ctest -E), e.g. one known to be flaky.
exclude_tests=${EXCLUDE_TESTS:-}
only=${1:-}
log_dir=$(mktemp -d "${TMPDIR:-/tmp}/orvane-mutants.XXXXXX")

# name ||| file ||| exact text ||| replacement (each text must occur once;
# <NL> stands for a line break). Faults in headers come last: each of them
# rebuilds much of the library and the tests.
mutants=$(cat <<'LIST'
send_lock_removed ||| src/link/tcp_client.cpp |||         std::lock_guard lock(send_mutex_);<NL>        const std::shared_ptr ||| const std::shared_ptr
batch_newline_dropped ||| src/state/poll_loop.cpp |||     batch += '\n'; |||
output_frame_newline ||| src/state/poll_loop.cpp ||| link_.send_text(frame + "\n"); ||| link_.send_text(frame);
output_frame_not_in_batch ||| src/state/poll_loop.cpp |||             batch += frame; |||
output_frame_code ||| src/state/poll_loop.cpp ||| std::string frame = "!110:"; ||| std::string frame = "!111:";
output_sent_not_copied ||| src/state/poll_loop.cpp ||| mirror_.output_sent[i].set(wanted); ||| (void)wanted;
link_down_put_back ||| src/state/poll_loop.cpp ||| pending_.put_back(std::string_view(batch).substr(0, queued_length)); ||| (void)queued_length;
final_pass_dropped ||| src/state/poll_loop.cpp ||| if (final_pass_.load() && link_.is_connected()) send_queued ||| if (false && link_.is_connected()) send_queued
final_pass_not_requested ||| src/api/runtime.cpp ||| poll_loop_.request_stop(/*final_pass=*/true); ||| poll_loop_.request_stop(/*final_pass=*/false);
pending_close_removed ||| src/api/runtime.cpp |||     pending_.close();<NL>    wait_generation_ |||     wait_generation_
assembler_tail_kept ||| src/api/runtime.cpp |||         assembler_.reset(); |||
reconnect_levels_kept ||| src/api/runtime.cpp ||| for (std::size_t i = 0; i < io_total; ++i) mirror_.output_level[i].set(0); |||
reconnect_version_kept ||| src/api/runtime.cpp |||     mirror_.version_text.set({}); |||
reconnect_status_count_kept ||| src/api/runtime.cpp |||     mirror_.status_count.set(0); |||
ready_version_length ||| src/api/runtime.cpp ||| mirror_.version_text.size() >= 2; ||| mirror_.version_text.size() >= 1;
ready_speed_threshold ||| src/api/runtime.cpp ||| float_field(field::max_speed)) >= 0.1 && ||| float_field(field::max_speed)) >= 0.0 &&
at_rest_wrong_bit ||| src/api/runtime.cpp ||| !mirror_.axis_state_bits[static_cast<std::size_t>(2 * a)].get()) return false; ||| !mirror_.axis_state_bits[static_cast<std::size_t>(2 * a + 1)].get()) return false;
level_digit_shift ||| src/api/numbered_command.cpp ||| digits += level_digits[level - 1]; ||| digits += level_digits[level];
level_clamp_high ||| src/api/numbered_command.cpp ||| (level > 16 ? 16 : level) ||| (level > 15 ? 15 : level)
level_field_count ||| src/api/numbered_command.cpp ||| if (count_fields(text) != io_total) return 0; ||| if (count_fields(text) < 2) return 0;
params_command_code ||| src/api/numbered_command.cpp ||| CommandText("120").integer(axis) ||| CommandText("121").integer(axis)
hold_off_compare ||| src/state/response_parser.cpp ||| if (held <= ControllerMirror::state_hold_off) { ||| if (held < ControllerMirror::state_hold_off) {
type_three_axes ||| src/state/response_parser.cpp ||| m.axis_count.set(3); ||| m.axis_count.set(6);
type_three_six_axes ||| src/state/response_parser.cpp ||| } else if (type == 2 || type == 3) { ||| } else if (type == 2) {
input_bits_order ||| src/state/response_parser.cpp ||| m.input_bits[8 * j + static_cast<std::size_t>(k)] ||| m.input_bits[8 * j + static_cast<std::size_t>(7 - k)]
encoder_raw_swapped ||| src/state/response_parser.cpp ||| encoder_count_to_position(raw[axis_total + a] ||| encoder_count_to_position(raw[a]
outputs_seed_kept_zero ||| src/state/response_parser.cpp |||             m.output_sent[i].set(0);<NL> |||
saturate_low ||| src/state/number_text.cpp ||| if (value < int32_min) return std::numeric_limits<std::int32_t>::min(); ||| if (value < int32_min) return 0;
saturate_high ||| src/state/number_text.cpp ||| if (value > int32_max) return std::numeric_limits<std::int32_t>::max(); ||| if (value > int32_max) return static_cast<std::int32_t>(value);
reply_code_missing ||| src/state/line_assembler.cpp ||| "520:", "5010:", "2001:"}; ||| "520:", "5010:", "2002:"};
one_decimal_precision ||| src/api/number_format.cpp |||     append_fixed(out, value, 1); |||     append_fixed(out, value, 2);
move_fields_swapped ||| src/api/motion.cpp |||               .one_decimal(static_cast<double>(mirror_.axis_speed[a].get()))<NL>              .six_decimal(position) |||               .six_decimal(position)<NL>              .one_decimal(static_cast<double>(mirror_.axis_speed[a].get()))
speed_cap_missing ||| src/api/motion.cpp |||         mirror_.axis_speed[a].set(speed_limit_while_moving); |||
output_default_level ||| src/api/outputs.cpp ||| constexpr std::int32_t default_level = 16; ||| constexpr std::int32_t default_level = 15;
soft_limit_margin_sign ||| src/api/queries.cpp ||| p.float_field(field::right_soft_limit) - margin ||| p.float_field(field::right_soft_limit) + margin
home_state_wrong_bit ||| src/api/queries.cpp ||| axis_state_bits[2 * static_cast<std::size_t>(axis) + 1].get(); ||| axis_state_bits[2 * static_cast<std::size_t>(axis)].get();
input_bit_index ||| src/api/queries.cpp ||| input_bits[static_cast<std::size_t>(input - 1)] ||| input_bits[static_cast<std::size_t>(input % 24)]
fly_fields_swapped ||| src/api/fly.cpp ||| CommandText("500").integer(first).integer(second) ||| CommandText("500").integer(second).integer(first)
any_axis_off_by_one ||| src/api/runtime.h ||| return axis >= 0 && axis < axis_total; ||| return axis >= 0 && axis <= axis_total;
existing_axis_off_by_one ||| src/api/runtime.h ||| axis < mirror_.axis_count.get(); ||| axis <= mirror_.axis_count.get();
io_number_low ||| src/api/runtime.h ||| return number >= 1 && number <= io_total; ||| return number >= 0 && number <= io_total;
io_number_high ||| src/api/runtime.h ||| return number >= 1 && number <= io_total; ||| return number >= 1 && number < io_total;
hold_off_constant ||| src/state/controller_mirror.h ||| state_hold_off = 20; ||| state_hold_off = 2;
tail_limit_compare ||| src/state/line_assembler.h ||| if (tail_.size() <= tail_limit) return false; ||| if (tail_.size() <= 64) return false;
skip_resume_wrong ||| src/state/line_assembler.h |||             skipping_ = false;<NL>            guessed = true; |||             guessed = true;
LIST
)

originals=$(mktemp -d "${TMPDIR:-/tmp}/orvane-originals.XXXXXX")
restore() {
    local saved
    for saved in "$originals"/*; do
        [[ -e $saved ]] || continue
        cp "$saved" "$(tr '%' '/' <<<"$(basename "$saved")")"
        rm -f "$saved"
    done
}
trap 'restore; exit 130' INT TERM
trap restore EXIT

# Fields of one list line: field N (1..4); " ||| " parts, a line may end
# in " |||" when the replacement is empty.
field() {
    python3 -c 'import sys; l = sys.argv[2]; l = l + " " if l.endswith(" |||") else l; print(l.split(" ||| ")[int(sys.argv[1]) - 1])' "$1" "$2"
}

# Applies one fault; the texts may hold "\n" for a line break. Fails when
# the text does not occur exactly once.
plant() {
    python3 - "$@" <<'PY2'
import sys
path, find, repl = sys.argv[1], sys.argv[2].replace("<NL>", "\n"), sys.argv[3].replace("<NL>", "\n")
text = open(path, encoding="utf-8").read()
count = text.count(find)
if count != 1:
    print(f"pattern found {count} times" if count else "pattern not found", file=sys.stderr)
    sys.exit(3)
open(path, "w", encoding="utf-8").write(text.replace(find, repl))
PY2
}

ctest_args=(--test-dir "$build_dir" -j2 -L "$labels" -LE "$exclude" --timeout "$timeout" --stop-on-failure)
[[ -z $exclude_tests ]] || ctest_args+=(-E "$exclude_tests")

# Only what the selected tests run is rebuilt for each fault (not the tools,
# benchmarks or examples): these targets, those of them the build has.
wanted_targets=${TARGETS:-"orvane orvane-sim api_tests api_export_tests api_sim_tests api_export_sim_tests
    lifecycle_tests unload_tests link_tests test_support_tests parser_tests sim_server_test
    reliability_cmd_corpus_tests"}
known_targets=$(cmake --build "$build_dir" --target help | sed -n 's/^\([A-Za-z0-9_.+-]*\): .*/\1/p')
targets=()
for target in $wanted_targets; do
    grep -qx -- "$target" <<<"$known_targets" && targets+=("$target")
done
build_faulty() {
    if [[ ${#targets[@]} -gt 0 ]]; then
        nice -n 10 cmake --build "$build_dir" -j2 --target "${targets[@]}"
    else
        nice -n 10 cmake --build "$build_dir" -j2
    fi
}

if ! build_faulty >"$log_dir/build-clean.log" 2>&1; then
    echo "mutation-check: the unchanged tree does not build (see $log_dir/build-clean.log)" >&2
    exit 2
fi
if ! ctest "${ctest_args[@]}" >"$log_dir/tests-clean.log" 2>&1; then
    echo "mutation-check: the unchanged tree fails its tests (see $log_dir/tests-clean.log)" >&2
    exit 2
fi

selected=$(sed -nE 's/.* tests failed out of ([0-9]+).*/\1/p' "$log_dir/tests-clean.log" | tail -1)
if [[ ${selected:-0} -lt 20 ]]; then
    echo "mutation-check: only ${selected:-0} tests selected (see $log_dir/tests-clean.log)" >&2
    exit 2
fi
echo "mutation-check: $selected tests (labels '$labels', not '$exclude') against each fault"

caught=0 planted=0 errors=0
printf '%-30s %-9s %6s  %s\n' MUTANT RESULT SECONDS FIRST_FAILURE
while IFS= read -r line; do
    [[ -n ${line// } ]] || continue
    name=$(field 1 "$line") file=$(field 2 "$line") find=$(field 3 "$line") repl=$(field 4 "$line")
    [[ -z $only || $name =~ $only ]] || continue
    saved="$originals/$(tr '/' '%' <<<"$file")"
    cp -p "$file" "$saved"
    if ! plant "$file" "$find" "$repl" 2>"$log_dir/$name.plant"; then
        printf '%-30s %-9s %6s  %s\n' "$name" ERROR - "$(cat "$log_dir/$name.plant")"
        errors=$((errors + 1))
        restore
        continue
    fi
    planted=$((planted + 1))
    start=$(date +%s)
    result=survived first=
    if ! build_faulty >"$log_dir/$name.build" 2>&1; then
        result=caught first="(build fails)"
    elif ! ctest "${ctest_args[@]}" >"$log_dir/$name.log" 2>&1; then
        result=caught
        first=$(grep -m1 -oE '[0-9]+ - [^ ]+ \((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception)' "$log_dir/$name.log" |
            sed -E 's/^[0-9]+ - //')
    fi
    [[ $result == caught ]] && caught=$((caught + 1))
    printf '%-30s %-9s %6s  %s\n' "$name" "$result" "$(( $(date +%s) - start ))" "$first"
    restore
done <<<"$mutants"

# Leave the build matching the sources again.
build_faulty >"$log_dir/build-final.log" 2>&1 || true
echo "mutation-check: logs in $log_dir"
echo "mutation-check: caught $caught of $planted"
[[ $errors -eq 0 ]] || { echo "mutation-check: $errors faults could not be planted" >&2; exit 1; }
