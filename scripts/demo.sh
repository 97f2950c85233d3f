#!/usr/bin/env bash
# The main job, as far as the project can show it: the sensor tool against the virtual sensor (its
# version line, the gate, and a round of taking and resetting ownership on a 4.21 sensor paired by
# password and a 4.40 sensor paired by keys), then a user's road on the in-process stack (a sensor
# arrives and is calibrated; users enroll by swipes, are verified and identified; shut-down), then a
# framework's road through the service process (tcsFPService over the stack and the virtual sensor;
# a program that loads libtovkit.so with dlopen waits for it, opens the device, enrolls, verifies
# and identifies by swipes, and releases the device).
set -euo pipefail
build=${1:-build}
tool="$build/tools/sensor/sensor"
preload="$build/sim/usb/libsim_usb_preload.so"
if [ ! -x "$tool" ] || [ ! -f "$preload" ]; then
    echo "The sensor tool is not built yet; walking a user's road on the in-process stack instead."
    exec "$build/sim/demo/stack_demo"
fi
tool=$(realpath "$tool")
preload=$(realpath "$preload")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: > "$work/settings"

# A virtual sensor's stored state: the state file's magic, then {u32 name length, name, u32 data
# length, data} for each value; here only the version record of a provisioned, unpaired sensor.
make_sensor() {  # directory serial minor usb-variant variant-byte capabilities
    local dir=$1 serial=$2
    mkdir -p "$dir"
    perl -e '
        my ($minor, $variantByte, $caps) = @ARGV;
        my @v = (0) x 36;
        @v[0, 4, 8, 9, 10, 11, 13, 14] = (1, 17, 4, $minor, 1, 4, 1, 0x80);
        @v[16 .. 21] = (0x44, 0x45, 0x4D, 0x4F, 0x30, $minor);
        @v[22, 23] = ($variantByte, $caps);
        my $name = "version";
        print "TOVSIMSTATE1\n", pack("V", length $name), $name, pack("V", 36), pack("C*", @v);
    ' "$3" "$5" "$6" > "$dir/$serial.state"
    printf '%s 0001 %d 1\n' "$serial" "$4" > "$dir/sensors"
}

# The stack keeps its settings in one fixed file: where a private mount namespace can be had, the
# demo's runs use a file of their own in its place.
isolated=0
if unshare --mount true 2>/dev/null && { [ -e /etc/TovanticPersistentData ] || : > /etc/TovanticPersistentData; } 2>/dev/null; then
    isolated=1
fi

run() {  # state directory, then the command line
    local state=$1
    shift
    echo "\$ sensor $*"
    local status=0
    if [ "$isolated" = 1 ]; then
        (cd "$work" && unshare --mount sh -c 'mount --bind "$0" /etc/TovanticPersistentData && exec "$@"' \
            "$work/settings" env TOV_SIM_USB_STATE="$state" LD_PRELOAD="$preload" timeout 120 "$tool" "$@" </dev/null) ||
            status=$?
    else
        (cd "$work" && TOV_SIM_USB_STATE="$state" LD_PRELOAD="$preload" timeout 120 "$tool" "$@" </dev/null) || status=$?
    fi
    echo "(exit status $status)"
    echo
}

echo "== The tool's version line (the end of its usage text)"
{ "$tool" || true; } | tail -n 2
echo

make_sensor "$work/s421" DEMO421 21 3 0 0
make_sensor "$work/s440" DEMO440 40 5 5 16

echo "== Any command line but setowner/resetowner with -doinit is refused"
run "$work/s421" getver -doinit nowait

echo "== A 4.21 sensor, paired by password (the password is word 2, on these lines "-doinit" itself)"
run "$work/s421" setowner -doinit demo -time
run "$work/s421" resetowner -doinit demo -time

echo "== A 4.40 sensor, paired by keys"
run "$work/s440" setowner -doinit -time
run "$work/s440" resetowner -doinit -time

if [ -x "$build/sim/demo/stack_demo" ]; then
    echo "== A user's road on the in-process stack: a sensor arrives; enroll, verify and identify by swipes"
    "$build/sim/demo/stack_demo"
fi

service="$build/sim/service/tcsFPService"
framework="$build/sim/framework/framework_demo"
library="$build/wrappers/fprint/libtovkit.so"
if [ -x "$service" ] && [ -x "$framework" ] && [ -f "$library" ]; then
    echo
    echo "== A framework's road through the service process: tcsFPService runs the stack; libtovkit.so reaches it"
    channel="$work/channel"
    mkdir -p "$channel"
    "$service" "$channel/" "$channel/key_" "$work/sensors" &
    service_pid=$!
    status=0
    timeout 120 "$framework" "$(realpath "$library")" "$work/sensors" TOV00001 "$channel/" "$channel/key_" || status=$?
    kill -TERM "$service_pid"
    wait "$service_pid" || status=$?
    if [ -n "$(ls -A "$channel")" ]; then
        echo "the service left objects behind: $(ls "$channel")"
        status=1
    fi
    exit "$status"
fi
