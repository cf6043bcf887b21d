#!/bin/sh
# Runs cctrace for real on FreeBSD: builds it and the test programs of
# tests/freebsd/ as static FreeBSD/amd64 binaries, puts them on the root
# image of a FreeBSD 12 machine and boots it under QEMU (no KVM needed),
# once with the one-CPU kernel and once with the SMP kernel on two CPUs.
# The machine's init runs every case, prints each database and verdict and
# ends with "N passed, M failed"; the script exits 0 only when no case of
# any boot failed.
#
#   scripts/freebsd-test.sh [-c CASE] [-r ROUNDS] [-k KERNELS] [bench]
#
# -c runs only the cases whose name holds CASE (one word: the kernel's
# environment is split at blanks); -r runs them ROUNDS times;
# -k names the kernels to boot: "kernel", "kernel-smp" or both (default).
# "bench" runs the benchmark bench/tracecost.c in the machine instead (ROUNDS
# rounds, default 5) and prints its figures.
#
# The machine comes from ../shared/freebsd/vm.tar.xz beside the project (its
# vm.md says what it holds), cJSON from Debian's source package; where the
# machine or QEMU is missing the script says so and exits 0 without testing.
# Everything is built in build-freebsd/.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd -P)
kit=$top/../shared/freebsd
case_filter=
rounds=
kernels="kernel kernel-smp"
while getopts c:r:k: opt; do
	case $opt in
	c) case_filter=$OPTARG ;;
	r) rounds=$OPTARG ;;
	k) kernels=$OPTARG ;;
	*) echo "usage: $0 [-c case] [-r rounds] [-k kernels] [bench]" >&2
	   exit 2 ;;
	esac
done
shift $((OPTIND - 1))
run=${1:-tests}

if [ ! -f "$kit/vm.tar.xz" ] || [ ! -f "$kit/sysroot.tar.xz" ]; then
	echo "freebsd-test: no FreeBSD machine in ../shared/freebsd; skipped"
	exit 0
fi
# Source entries first, so that the one update of an install covers them.
command -v apt-get >/dev/null && sh "$top/scripts/deb-src.sh"
sh "$top/scripts/deps.sh" freebsd-vm
for tool in qemu-system-x86_64 xorriso clang ld.lld; do
	if ! command -v $tool >/dev/null; then
		echo "freebsd-test: $tool is not installed; skipped"
		exit 0
	fi
done

work=$top/build-freebsd
mkdir -p "$work"
cd "$work"

# The machine and the FreeBSD headers, unpacked once per kit.
for t in vm sysroot; do
	if [ ! -f "$t.stamp" ] || [ "$kit/$t.tar.xz" -nt "$t.stamp" ]; then
		rm -rf "$t" && mkdir "$t"
		tar -C "$t" -xJf "$kit/$t.tar.xz"
		touch "$t.stamp"
	fi
done
sysroot=$work/sysroot
lib=$work/vm/vm/lib

# fetch_cjson: Debian's cjson source package, its patches applied, in
# cjson-src/; a mirror may lack the newest version, so each one listed is
# tried.
fetch_cjson()
{
	(cd cjson-src && apt-get source -qq cjson >/dev/null 2>&1) && return
	for ver in $(apt-cache showsrc cjson 2>/dev/null |
	    sed -n 's/^Version: //p' | sort -ru); do
		(cd cjson-src && apt-get source -qq "cjson=$ver" \
		    >/dev/null 2>&1) && return
	done
	return 1
}

if [ ! -f cjson/cjson/cJSON.h ]; then
	rm -rf cjson-src && mkdir cjson-src
	fetch_cjson || { apt-get update -qq && fetch_cjson; } || true
	src=$(ls -d cjson-src/cjson-*/ 2>/dev/null | head -1)
	[ -n "$src" ] && [ -f "$src/cJSON.c" ] ||
	    { echo "freebsd-test: cannot fetch cJSON's source" >&2; exit 1; }
	mkdir -p cjson/cjson
	cp "$src/cJSON.c" cjson/
	cp "$src/cJSON.h" cjson/cjson/
	rm -rf cjson-src
fi

cc_freebsd="clang --target=x86_64-unknown-freebsd12 --sysroot=$sysroot -O2"
warn="-Wall -Wextra -Werror"
rm -rf obj root && mkdir -p obj root/bin root/sbin root/dev root/tmp

# link OUTPUT OBJECT... -- LIBRARY...: a static FreeBSD/amd64 program.
link()
{
	out=$1
	shift
	objs=
	while [ "$1" != -- ]; do
		objs="$objs $1"
		shift
	done
	shift
	libs=
	for l in "$@"; do
		libs="$libs $lib/lib$l.a"
	done
	# shellcheck disable=SC2086
	ld.lld -static --eh-frame-hdr -o "$out" "$lib/crt1.o" "$lib/crti.o" \
	    $objs --start-group $libs --end-group "$lib/crtn.o"
}

echo "building cctrace for FreeBSD/amd64"
cd "$top"
version=$(sed -n 's/^project(cctrace VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# shellcheck disable=SC2086
find src -name '*.cc' ! -name '*linux*' | sort | sed 's,^src/,,' |
    xargs -P 2 -I{} sh -c "$cc_freebsd -std=c++20 -stdlib=libc++ $warn \
	-DCCTRACE_VERSION='\"$version\"' \
	-Isrc -I$work/cjson -c -o $work/obj/\$(echo {} | tr / -).o src/{}"
$cc_freebsd -I"$work/cjson/cjson" -c -o "$work/obj/cJSON.o" \
    "$work/cjson/cJSON.c"
link "$work/root/bin/cctrace" "$work"/obj/*.o -- \
    c++ cxxrt gcc_eh m thr c compiler_rt

echo "building the machine's programs"
# shellcheck disable=SC2086
for p in tests/freebsd/init.c tests/freebsd/cc.c tests/freebsd/spawn.c \
    tests/freebsd/endsig.c tests/freebsd/outlive.c \
    tests/freebsd/exit_threads.c tests/freebsd/fileop.c \
    tests/freebsd/ccdriver.c tests/freebsd/fexec.c tests/e2e/sigtest.c \
    tests/e2e/thread_exec.c tests/e2e/spawn_threads.c \
    tests/e2e/leader_exit.c tests/e2e/argfill.c bench/busycc.c \
    bench/tracecost.c; do
	name=$(basename "$p" .c)
	$cc_freebsd $warn -c -o "$work/obj/prog-$name.o" "$p"
	link "$work/root/bin/$name" "$work/obj/prog-$name.o" -- \
	    thr c compiler_rt
done
mv "$work/root/bin/init" "$work/root/sbin/init"
# A compiler driver and a wrapper, by their names.
mv "$work/root/bin/ccdriver" "$work/root/bin/c++"
cp "$work/root/bin/c++" "$work/root/bin/ccache"
clang --target=i386-unknown-freebsd12 -O2 $warn -ffreestanding -fno-pic \
    -fno-stack-protector -nostdlib -c -o "$work/obj/exec32.o" \
    tests/freebsd/exec32.c
ld.lld -m elf_i386_fbsd -static -e _start -o "$work/root/bin/exec32" \
    "$work/obj/exec32.o"

cd "$work"
xorriso -as mkisofs -quiet -R -o root.iso root 2>xorriso.log ||
    { cat xorriso.log >&2; exit 1; }

env="vfs.root.mountfrom=cd9660:/dev/md0 hw.uart.console=io:0x3f8,br:115200"
env="$env kern.panic_reboot_wait_time=0 debug.debugger_on_panic=0"
[ "$run" = bench ] && env="$env cctrace.run=bench"
[ -n "$case_filter" ] && env="$env cctrace.case=$case_filter"
[ -n "$rounds" ] && env="$env cctrace.rounds=$rounds"

status=0
for kernel in $kernels; do
	case $kernel in
	kernel) cpus=1 ;;
	kernel-smp) cpus=2 ;;
	*) echo "freebsd-test: no kernel $kernel" >&2; exit 2 ;;
	esac
	echo "=== FreeBSD 12, $kernel, $cpus CPU(s)"
	start=$(date +%s)
	timeout 900 qemu-system-x86_64 -m 512 -smp $cpus -nographic \
	    -serial mon:stdio -no-reboot -nic none \
	    -kernel vm/vm/boot/mbloader.elf \
	    -initrd "vm/vm/boot/$kernel,root.iso" -append "$env" \
	    </dev/null >"console-$kernel.txt" 2>&1 || true
	tr -d '\r' <"console-$kernel.txt" >"console-$kernel.log"
	# From init's first line on; the whole boot when init never spoke.
	if grep -q '^cctrace tests on\|^tracecost' "console-$kernel.log"; then
		sed -n '/^cctrace tests on\|^tracecost/,$p' \
		    "console-$kernel.log" |
		    grep -v '^Waiting (max\|^Uptime:\|Powering system off'
	else
		cat "console-$kernel.log"
	fi
	echo "=== $kernel: $(($(date +%s) - start)) s"
	[ "$run" = bench ] && continue
	if ! grep -Eq '^[1-9][0-9]* passed, 0 failed$' "console-$kernel.log"; then
		echo "freebsd-test: $kernel: cases failed or the run broke off"
		status=1
	fi
done
exit $status
