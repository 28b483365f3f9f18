# shellcheck shell=sh
# Sourced by the scripts that run Windows programs: finds wine.
#   cv_find_wine   sets WINE and WINESERVER (empty when not installed).
# Debian's wine64 package puts both in /usr/lib/wine/, which is not on PATH
# unless the package wine is installed too.
cv_first_executable() { # candidates... -> the first that exists, or nothing
    for _candidate in "$@"; do
        if [ -n "$_candidate" ] && [ -x "$_candidate" ]; then
            echo "$_candidate"
            return 0
        fi
    done
    return 1
}
cv_find_wine() {
    # shellcheck disable=SC2034 # an output of this function, read by the caller
    WINE=$(cv_first_executable /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null || true)" \
        "$(command -v wine 2>/dev/null || true)") || WINE=""
    # shellcheck disable=SC2034 # an output of this function, read by the caller
    WINESERVER=$(cv_first_executable /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver \
        "$(command -v wineserver 2>/dev/null || true)") || WINESERVER=""
}
