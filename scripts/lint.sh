#!/bin/sh
# The checks that need no build, in seconds: every C++ file as the root
# .clang-format has it, and every shell script clean under shellcheck (the
# root .shellcheckrc; a finding is fixed in the script, or disabled on its
# line with the reason). Prints each finding; exit 1 on any.
#   scripts/lint.sh            (CI: the lint stage of .ci/run)
# Needs clang-format and shellcheck (apt-get install clang-format shellcheck).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
for tool in clang-format shellcheck; do
    command -v "$tool" >/dev/null 2>&1 || { echo "lint: $tool is missing (apt-get install $tool)" >&2; exit 2; }
done

# files: every file of the repository, NUL-separated, without build folders.
files() {
    if git rev-parse --git-dir >/dev/null 2>&1; then
        git ls-files -z
    else # a copy without its history
        find . -path './build*' -prune -o -path ./.git -prune -o -type f -print0 | sed -z 's|^\./||'
    fi
}

failed=0
echo "lint: clang-format"
files | grep -z -E '\.(cpp|h)$' | xargs -0 clang-format --dry-run -Werror || failed=1

# Shell scripts: *.sh (the sourced libraries too) and files whose first line
# runs sh or bash (the maintainer scripts, the harness's commands, .ci/run).
scripts=$(mktemp)
trap 'rm -f "$scripts"' EXIT
files | tr '\0' '\n' | while IFS= read -r f; do
    [ -f "$f" ] || continue
    case "$f" in
    *.sh) echo "$f" ;;
    *) if head -n 1 "$f" | grep -qE '^#!(/usr)?/bin/(env )?(ba|da)?sh( |$)'; then echo "$f"; fi ;;
    esac
done >"$scripts"
echo "lint: shellcheck ($(wc -l <"$scripts") scripts)"
tr '\n' '\0' <"$scripts" | xargs -0 shellcheck -f gcc || failed=1

if [ "$failed" -ne 0 ]; then
    echo "lint: FAILED (clang-format -i <file> fixes the format; shellcheck's wiki explains each SC code)"
    exit 1
fi
echo "lint: clean"
