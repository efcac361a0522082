# golden.sh: the compare step the golden-file runners share (sourced; POSIX sh).
# golden_check EXPECTED ACTUAL [--update]: with --update copies ACTUAL over EXPECTED, to be
# reviewed line by line before it is committed; else shows how the two differ and sets
# golden_failed=1 when they do.
golden_failed=0
golden_check() {
    if [ "${3-}" = --update ]; then
        cp "$2" "$1"
    elif ! diff -u "$1" "$2"; then
        echo "FAIL $(basename "$1" .out)"
        golden_failed=1
    fi
}
