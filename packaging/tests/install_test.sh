#!/usr/bin/env bash
# install_test.sh BUILD SOURCE: installs BUILD into a temporary prefix and checks that the
# programs run from there, that man pages, completions, units and docs are in place, that the
# man pages format without warnings, and that the bash completions complete.
set -euo pipefail
build=$1
source_dir=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" > "$prefix/install.log" ||
  { cat "$prefix/install.log"; fail "cmake --install"; }

for program in dim_dns ZOL_server echo_server rwreg chainmux kesh_ctrl dimctl fpgaload stapl \
    boardsim; do
  [ -x "$prefix/bin/$program" ] || fail "$program not installed"
  out=$("$prefix/bin/$program" --version 2>&1) || fail "$program --version: $out"
  [[ "$out" == *"$program"* ]] || fail "$program --version printed '$out'"
  [ -f "$prefix/share/man/man1/$program.1" ] || fail "no man page for $program"
done
for page in "$source_dir"/man/*.1; do
  warnings=$(groff -man -ww -z "$page" 2>&1) || fail "groff failed on $page"
  [ -z "$warnings" ] || fail "$page: $warnings"
done
out=$(MANWIDTH=80 man -l "$prefix/share/man/man1/dimctl.1" 2>&1)
[[ "$out" == *"dimctl watch"* ]] || fail "man -l dimctl.1 shows no watch: $out"

for unit in zol-dns zol-server; do
  f=$prefix/lib/systemd/system/$unit.service
  [ -f "$f" ] || fail "no unit $unit"
  grep -q '^Restart=on-failure$' "$f" || fail "$unit: no Restart=on-failure"
  grep -q '^EnvironmentFile=-/etc/default/zol$' "$f" || fail "$unit: no EnvironmentFile"
done
grep -q '^ExecStart=/.*/ZOL_server$' "$prefix/lib/systemd/system/zol-server.service" ||
  fail "zol-server: ExecStart"
for v in LB_DEVICE DIM_DNS_NODE DIM_DNS_PORT; do
  grep -q "^$v=" "$prefix/share/zol/zol.env" || fail "zol.env lacks $v"
done
[ -f "$prefix/share/doc/zol_board_software/README.md" ] || fail "README not installed"

# Completions, as bash would load them: complete a subcommand, an option and a file.
completion() {  # completion SCRIPT WORD...: the words bash would offer for the last word
  bash -c '
    script=$1; shift
    source "$script"
    COMP_WORDS=("$@"); COMP_CWORD=$(( $# - 1 ))
    fn=$(complete -p "$1" | sed -n "s/.*-F \([^ ]*\).*/\1/p")
    "$fn" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$@"
}
comp=$prefix/share/bash-completion/completions
[ "$(completion "$comp/dimctl" dimctl wa)" = watch ] || fail "dimctl wa"
[ "$(completion "$comp/dimctl" dimctl watch KeshV2_00 0x2000 --c)" = --csv ] ||
  fail "dimctl watch --c"
[ "$(completion "$comp/boardsim" boardsim trace o | sort | tr '\n' ' ')" = "off on " ] ||
  fail "boardsim trace o"
[ "$(completion "$comp/stapl" stapl in)" = info ] || fail "stapl in"
touch "$prefix/design.jbc" "$prefix/notes.txt"
[ "$(cd "$prefix" && completion "$comp/fpgaload" fpgaload -TKeshV2_00 de)" = design.jbc ] ||
  fail "fpgaload file"
echo "install test: programs, man pages, units and completions in place"
