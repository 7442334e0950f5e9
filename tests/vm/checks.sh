# Check bookkeeping shared by the VM tier's scripts (sourced, bash).
#
#   check NAME COMMAND...   runs COMMAND with its output captured; prints "ok N - NAME" or
#                           "FAIL N - NAME" followed by the captured output, indented
#   skip_check NAME REASON  counts a check that could not run here, with the reason
#   pass NAME / fail NAME TEXT   record a result decided by the caller
#   finish_checks           prints "N passed, N failed[, N skipped]"; exits 0 only if none failed

checks_passed=0
checks_failed=0
checks_skipped=0
checks_total=0
checks_log="$(mktemp "${TMPDIR:-/tmp}/checks.XXXXXX")"

pass() {
    checks_total=$((checks_total + 1))
    checks_passed=$((checks_passed + 1))
    printf 'ok %d - %s\n' "$checks_total" "$1"
}

fail() {
    checks_total=$((checks_total + 1))
    checks_failed=$((checks_failed + 1))
    printf 'FAIL %d - %s\n' "$checks_total" "$1"
    if [[ -n "${2:-}" ]]; then
        printf '%s\n' "$2" | sed 's/^/    | /'
    fi
}

skip_check() {
    checks_total=$((checks_total + 1))
    checks_skipped=$((checks_skipped + 1))
    printf 'skip %d - %s (%s)\n' "$checks_total" "$1" "$2"
}

check() {
    local name="$1"
    shift
    if "$@" >"$checks_log" 2>&1; then
        pass "$name"
    else
        fail "$name" "$(tail -n 60 "$checks_log")"
    fi
}

finish_checks() {
    rm -f "$checks_log"
    if ((checks_skipped)); then
        printf '%d passed, %d failed, %d skipped\n' "$checks_passed" "$checks_failed" \
            "$checks_skipped"
    else
        printf '%d passed, %d failed\n' "$checks_passed" "$checks_failed"
    fi
    ((checks_failed == 0))
}
