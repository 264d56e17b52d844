#!/bin/sh
# Makes one gzipped manual page from a program's own --help and --version with help2man, plus
# the hand-written sections in NAME.h2m (exit status, environment, files). The EXAMPLES come
# from the help's own Examples section. For orlo, whose --help lists the commands only, the
# COMMANDS section is made from each command's help, examples included.
#   make-man.sh HELP2MAN PROGRAM SUMMARY INCLUDE OUTPUT.gz
set -eu
help2man=$1 program=$2 summary=$3 include=$4 output=$5
here=$(cd "$(dirname "$0")" && pwd)
tmp=$output.tmp
trap 'rm -f "$tmp" "$tmp.h2m"' EXIT

includes="--include=$include"
if "$program" --help | grep -qi '^commands:'; then
  echo '[COMMANDS]' >"$tmp.h2m"
  includes="$includes --include=$tmp.h2m"
  for command in $("$program" --help |
      awk 'tolower($0) ~ /^commands:/ { s = 1; next } /^[^ ]/ { s = 0 } s && /^  [^ ]/ { print $1 }'); do
    "$program" "$command" --help | awk -f "$here/commands.awk" >>"$tmp.h2m"
  done
fi
# shellcheck disable=SC2086 # the include options are split on purpose (paths without spaces)
"$help2man" --no-info --section=1 --name="$summary" $includes --output="$tmp" "$program"
gzip -9n <"$tmp" >"$output"
