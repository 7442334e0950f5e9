#!/bin/sh
# Runs a Windows program of the build under wine, for the tests (CTest's emulator of the
# Windows build): wine-run.sh PROGRAM.exe [ARGUMENTS...]
#
# Also, for CTest's fixtures:
#   wine-run.sh --setup     creates the prefix (wineboot -i) before any test runs in it
#   wine-run.sh --cleanup   ends wine's processes and removes the prefix and its copies
#
# Settings:
#   KORVANE_WINEPREFIX  the prefix, which CTest sets per build tree (build/.../wine-prefix);
#                     --setup and --cleanup delete it, so they take no other. Without it a
#                     program runs in WINEPREFIX, which must then be set: never ~/.wine.
# and, where the caller has not set them:
#   WINEDEBUG         -all,err+module: quiet, but a missing DLL is still named
#   WINEDLLOVERRIDES  no Mono, no Gecko, no desktop entries
#   DISPLAY           unset: nothing may look for an X server
#   KORVANE_WINE_SERIAL  COMn=PATH: COM port n is the serial line (terminal) at PATH
#   KORVANE_WINE_NATIVE  DLLs (setupapi,winusb) that the program takes from its own folder
#                     rather than wine's: only the program's, not wine's background processes
#
# Inside a network namespace of its own (the scenario runner sets KORVANE_SCENARIO_NETNS), the
# program needs a wineserver of that namespace too: wine's sockets are made by the wineserver,
# and one started in another namespace connects to another 127.0.0.1. Since there is one
# wineserver per prefix, the program then runs in a copy of the prefix for that namespace
# (PREFIX.net<number>: hard links and three copied registry files, made in about 0.05 s);
# --cleanup removes the copies too.
set -u

if [ -n "${KORVANE_WINEPREFIX:-}" ]; then
    WINEPREFIX=$KORVANE_WINEPREFIX
elif [ -z "${WINEPREFIX:-}" ] || [ "${1:-}" = --setup ] || [ "${1:-}" = --cleanup ]; then
    echo "wine-run.sh: set KORVANE_WINEPREFIX (or, to run a program, WINEPREFIX)" >&2
    exit 2
fi
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG--all,err+module}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES-mscoree,mshtml=;winemenubuilder.exe=d}"
unset DISPLAY WAYLAND_DISPLAY

# `wine` comes with Debian's wine package; wine64 alone has only its own loader.
if command -v wine >/dev/null 2>&1; then
    wine=wine
    wineserver=wineserver
else
    wine=/usr/lib/wine/wine64
    wineserver=/usr/lib/wine/wineserver64
fi

# Ends the wineservers of the prefix and of its copies, and removes them all.
remove_prefixes() {
    for prefix in "$WINEPREFIX" "$WINEPREFIX".net*; do
        [ -d "$prefix" ] || continue
        WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null
        WINEPREFIX=$prefix "$wineserver" -w
    done
    # Debian's wine keeps the wineservers' sockets in a folder of its own under /tmp, named in
    # the prefix; the copies share the original's.
    server_dir=$(cat "$WINEPREFIX/wineserver" 2>/dev/null)
    case "$server_dir" in
    wine-?*) rm -rf "${TMPDIR:-/tmp}/$server_dir" ;;
    esac
    rm -rf "$WINEPREFIX" "$WINEPREFIX".net*
}

case "${1:-}" in
--setup)
    remove_prefixes
    mkdir -p "$(dirname "$WINEPREFIX")"
    # Says "created the configuration directory" and a harmless syswow64 error on stderr.
    "$wine" wineboot -i 2>/dev/null
    status=$?
    "$wineserver" -w
    if [ $status -ne 0 ] || [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "wine-run.sh: wineboot -i failed ($status) in $WINEPREFIX" >&2
        exit 1
    fi
    echo "wine prefix ready: $WINEPREFIX"
    exit 0
    ;;
--cleanup)
    remove_prefixes
    exit 0
    ;;
esac

if [ $# -eq 0 ]; then
    echo "usage: wine-run.sh PROGRAM.exe [ARGUMENTS...] | --setup | --cleanup" >&2
    exit 2
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-run.sh: no wine prefix at $WINEPREFIX (run wine-run.sh --setup first)" >&2
    exit 2
fi

if [ -n "${KORVANE_SCENARIO_NETNS:-}" ]; then
    # One copy per network namespace, made by its first run and used by the runs after it (a
    # scenario's runs follow one another; its wineserver stays up between them). A namespace's
    # number is reused only once nothing runs in it any more, wineserver included.
    netns=$(readlink /proc/self/ns/net | tr -cd 0-9)
    private="$WINEPREFIX.net$netns"
    if [ ! -f "$private/system.reg" ]; then
        rm -rf "$private"
        mkdir -p "$private" && cp -al "$WINEPREFIX/." "$private/" || exit 2
        # The wineserver rewrites the registry files in place: those are copied, not linked.
        for file in "$private"/*.reg; do
            cp --remove-destination "$WINEPREFIX/${file##*/}" "$file" || exit 2
        done
    fi
    WINEPREFIX=$private
fi
if [ -n "${KORVANE_WINE_SERIAL:-}" ]; then
    port=$(echo "${KORVANE_WINE_SERIAL%%=*}" | tr 'A-Z' 'a-z')
    ln -sfn "$(readlink -f "${KORVANE_WINE_SERIAL#*=}")" "$WINEPREFIX/dosdevices/$port" || exit 2
fi
# Wine's own background processes (the wineserver, services.exe and the rest) are started
# first, with their output going nowhere: started by the program, they would keep its stdout
# and stderr open until they exit, and every capture of its output would wait for them. They
# stay up 5 s after the last program, so that the runs of one scenario find them running
# (0.04 s a run instead of 0.5 s). `wineserver -p5` answers 0 when it started a new server
# and an error when one is running already.
if "$wineserver" -p5 </dev/null >/dev/null 2>&1; then
    "$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1
fi
if [ -n "${KORVANE_WINE_NATIVE:-}" ]; then
    WINEDLLOVERRIDES="$WINEDLLOVERRIDES;$KORVANE_WINE_NATIVE=n"
fi
exec "$wine" "$@"
