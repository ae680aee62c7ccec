#!/bin/sh
# Runs scdoc (its path is the argument) on standard input and makes the page's
# first line ask for the tbl preprocessor. scdoc writes its tables with tbl's
# .TS but leaves that line out, and formatters that do not guess (lintian's
# check, man viewers other than man-db's) then leave the tables unrendered.
set -eu
page=$("$1")
case $page in
"'\\\" t"*) ;;
*) printf '%s\n' "'\\\" t" ;;
esac
printf '%s\n' "$page"
