# SPDX-License-Identifier: GPL-2.0-or-later
# Shared by scripts/valgrind-test and scripts/arm64-system-test: the system
# tests of bexo and bexod (the executables tool_*_test and daemon_*_test)
# with both programs run under a wrapper command (BEXO_SIM_WRAPPER, see
# sim/world.hpp). The world widens its time-outs under a wrapper; a test whose
# result depends on how fast the programs start or run is left out, each one
# named below with the reason.

WRAPPED_LABELS='^(tool|daemon)_'
# The native build with the world and the tests; BEXO_TIERS_BUILD=build lets
# scripts/test share its normal build.
WRAPPED_BUILD_DIR="${BEXO_TIERS_BUILD:-build-tiers}"
WRAPPED_EXCLUDED=()
WRAPPED_REASONS=()

# wrapped_exclude PATTERN REASON: PATTERN is a regular expression for whole
# ctest names (a parameter's "  # GetParam() = ..." may follow).
wrapped_exclude() {
    WRAPPED_EXCLUDED+=("$1")
    WRAPPED_REASONS+=("$2")
}

# Start-up races, under any wrapper: the valgrind or qemu start-up (0.2 to
# 1.5 s instead of a few milliseconds) moves the moment the test aims at.
wrapped_exclude_start_up_races() {
    wrapped_exclude 'DaemonSignals\.SigtermDuringStartUpStopsTheInvocationWithItsSequence' \
        "a shell sends SIGTERM 0.5 s after starting 'bexod -start', aimed at its one-second pause after the unit copy"
    wrapped_exclude 'Signals/DaemonSignalBeforeTheBus\.SkipsTheBoardStepsAndDoesTheRest/Sig(term|hup)' \
        "a shell sends the signal 0.5 s after starting 'bexod -restart', aimed at its one-second pause before the bus"
    local clock
    for clock in FirstSecondOfWindow LastSecondOfWindow AcceptedPowerOffIsNotRepeated \
        FieldsBeyondTheBufferIgnored BeforeTheWindow; do
        wrapped_exclude "Clocks/DaemonDailyShutdown\\.FiresOnlyInsideItsTenSecondWindow/$clock" \
            "the faked clock starts with the process a second or two from the window's edge; the seconds the first cycles see depend on the start-up"
    done
    wrapped_exclude 'DaemonDailyShutdown\.(ARefusedPowerOffIsAskedAgainNotDecidedAgain|UnreadableLineGoesToTheDailyCheck)' \
        "the faked clock starts a second before the window, and the window counts only after a cycle saw a time outside it: the first cycle must come within that second"
    wrapped_exclude 'DaemonSupply\.StatusLoopDuringTheCountdownSharesTheBus' \
        "it bounds the daemon's countdown passes while bexo -status runs in a loop, and needs whole boxes within 12 s; wrapped runs are several times slower"
    wrapped_exclude 'Export/DaemonBusHeld\.AStoppedToolDelaysTheDaemonOnceAndByLittle/(NutExport(On|Off)|StoppedInTheQueueWithNutExport)' \
        "it bounds in seconds how long a bexo stopped while it holds the bus or waits in its queue delays the daemon's 'C' and 'I'; wrapped runs are several times slower"
}

# wrapped_build: configures the normal build and builds the test executables
# (named as their sources tests/system/tool_*_test.cpp, daemon_*_test.cpp)
# with what they need, and bexo-sim.
wrapped_build() {
    local targets=(bexo-sim) source
    for source in "$BEXO_ROOT"/tests/system/tool_*_test.cpp "$BEXO_ROOT"/tests/system/daemon_*_test.cpp; do
        targets+=("$(basename "$source" .cpp)")
    done
    cmake -S "$BEXO_ROOT" -B "$BEXO_ROOT/$WRAPPED_BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        "${BEXO_CONFIGURE_OPTIONS[@]}" >/dev/null \
        && cmake --build "$BEXO_ROOT/$WRAPPED_BUILD_DIR" -j "$BEXO_JOBS" --target "${targets[@]}"
}

wrapped_exclude_regex() {
    local IFS='|'
    echo "^(${WRAPPED_EXCLUDED[*]})( |\$)"
}

# wrapped_print_exclusions BUILD_DIR: the left-out tests with their reasons.
wrapped_print_exclusions() {
    local i names
    echo "Left out as timing-sensitive under a wrapper:"
    for i in "${!WRAPPED_EXCLUDED[@]}"; do
        names="$(ctest --test-dir "$BEXO_ROOT/$1" -N -L "$WRAPPED_LABELS" \
            -R "^(${WRAPPED_EXCLUDED[$i]})( |\$)" | sed -n 's/^ *Test *#[0-9]*: \([^ ]*\).*/\1/p')"
        if [ -z "$names" ]; then
            echo "  (no such test: ${WRAPPED_EXCLUDED[$i]})"
            continue
        fi
        echo "$names" | sed 's/^/  /'
        echo "      because ${WRAPPED_REASONS[$i]}"
    done
}

# wrapped_count BUILD_DIR [ctest selection...]: number of tests selected.
wrapped_count() {
    local dir="$1"
    shift
    ctest --test-dir "$BEXO_ROOT/$dir" -N -L "$WRAPPED_LABELS" "$@" | sed -n 's/^Total Tests: //p'
}

# run_wrapped_tests BUILD_DIR JOBS: the selected tests in parallel; ctest's
# output goes to the terminal and to BUILD_DIR/wrapped-tests.log.
run_wrapped_tests() {
    local dir="$1" jobs="$2"
    ctest --test-dir "$BEXO_ROOT/$dir" -L "$WRAPPED_LABELS" -E "$(wrapped_exclude_regex)" \
        -j "$jobs" --output-on-failure --timeout 600 2>&1 | tee "$BEXO_ROOT/$dir/wrapped-tests.log"
    return "${PIPESTATUS[0]}"
}
