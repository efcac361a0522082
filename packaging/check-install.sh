#!/bin/sh
# Installs a build into a scratch DESTDIR and checks the result: every expected file is
# there, every installed program and library finds its shared libraries in the installed
# tree (never in the build tree), the installed orvad runs, the orvad unit starts the
# installed orvad, every unit (*.service) starts an installed program and passes
# `systemd-analyze verify` where that exists, and every man page (man1/*.1, man8/*.8)
# formats without warnings.
# Usage: check-install.sh CMAKE BUILD_DIR ORVAD MAN_PAGE UNIT [OTHER_FILE...]
# The paths are where the files go without DESTDIR. Libraries that a switch provides (a
# vendor switch library) are looked for in $ORVAD_SYSTEM_LIBRARY_PATH, as the system would.
# Exits 77 (skipped) when groff is missing, after every other check has passed.
set -eu
export LD_LIBRARY_PATH="${ORVAD_SYSTEM_LIBRARY_PATH-}"

cmake=$1 build=$2 orvad=$3 manpage=$4 unit=$5
shift 2

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! DESTDIR=$root "$cmake" --install "$build" >"$root.log" 2>&1; then
    cat "$root.log"; rm -f "$root.log"
    echo "FAIL: cmake --install"; exit 1
fi
rm -f "$root.log"

for file in "$@"; do
    [ -f "$root$file" ] || { fail "not installed: $file"; continue; }
    case $(head -c 4 "$root$file" | od -An -c | tr -d ' ') in
    177ELF)
        libs=$(ldd "$root$file" 2>&1) || fail "ldd $file: $libs"
        case $libs in *"not found"*) fail "$file misses a library:
$libs" ;; esac
        case $libs in *"$build"*) fail "$file loads a library from the build tree:
$libs" ;; esac ;;
    esac
done

if "$root$orvad" -h >"$root/usage" 2>&1; then
    [ "$(head -n 1 "$root/usage")" = "orvad [options]" ] || fail "orvad -h printed: $(cat "$root/usage")"
else
    fail "orvad -h exited with $?: $(cat "$root/usage")"
fi

grep -qx "ExecStart=$orvad" "$root$unit" || fail "the unit does not start $orvad: $(grep ExecStart "$root$unit")"

# Each unit: its program is installed; systemd-analyze checks a copy that starts the staged one.
verify=$(command -v systemd-analyze || true)
for file in "$@"; do
    case $file in *.service) ;; *) continue ;; esac
    [ -f "$root$file" ] || continue
    program=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$root$file")
    [ -x "$root$program" ] || { fail "$file starts $program, which is not installed"; continue; }
    [ -n "$verify" ] || continue
    sed "s|^ExecStart=$program|ExecStart=$root$program|" "$root$file" >"$root/${file##*/}"
    warnings=$("$verify" verify --man=no "$root/${file##*/}" 2>&1) || fail "systemd-analyze verify $file: $warnings"
    [ -z "$warnings" ] || fail "systemd-analyze verify $file: $warnings"
done
[ -n "$verify" ] || echo "systemd-analyze not found: units not verified"

if [ "$failures" -ne 0 ]; then echo "$failures failure(s)"; exit 1; fi

if ! command -v groff >/dev/null; then echo "groff not found: man pages not checked"; exit 77; fi
for file in "$manpage" "$@"; do
    case $file in */man1/*.1 | */man8/*.8) ;; *) continue ;; esac
    warnings=$(groff -man -ww -z "$root$file" 2>&1) || true
    [ -z "$warnings" ] || { echo "FAIL: groff on $file:"; echo "$warnings"; exit 1; }
done
echo "installed and checked $# files"
