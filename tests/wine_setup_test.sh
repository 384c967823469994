#!/bin/sh
# The Wine prefix set-up (wine-run.sh --setup) against a wineboot that fails
# now and then, played by a stand-in: each try must come after the previous
# wineserver has been ended and waited for, on a prefix made anew; two
# failures in a row must not fail the set-up, three must, printing what
# wineboot said the last time.
#   sh wine_setup_test.sh PATH/TO/wine-run.sh
set -u
run_sh=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/ombrel wine setup.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

# The stand-ins note each call in one journal, so that the order shows.
cat >"$work/wine" <<'EOF'
#!/bin/sh
case "$1" in
  wineboot)
    n=$(($(cat "$STANDIN_DIR/tries" 2>/dev/null || echo 0) + 1))
    echo "$n" >"$STANDIN_DIR/tries"
    if [ -e "$WINEPREFIX/left-by-wineboot" ]; then
      echo "boot on a used prefix" >>"$STANDIN_DIR/journal"
    fi
    touch "$WINEPREFIX/left-by-wineboot"
    echo "boot" >>"$STANDIN_DIR/journal"
    if [ "$n" -le "$STANDIN_FAILURES" ]; then
      echo "wineboot failure number $n"
      exit 3
    fi
    ;;
  sc) echo "STATE : 4  RUNNING" ;;
esac
exit 0
EOF
cat >"$work/wineserver" <<'EOF'
#!/bin/sh
echo "server $1" >>"$STANDIN_DIR/journal"
EOF
chmod +x "$work/wine" "$work/wineserver"

failed=0
# failures, expected exit, expected journal (one line per call, joined by
# spaces), a text the output must hold.
while IFS='|' read -r failures want_rc want_journal want_text; do
  rm -f "$work/tries" "$work/journal"
  out=$(OMBREL_WINE="$work/wine" OMBREL_WINESERVER="$work/wineserver" \
    OMBREL_WINEPREFIX="$work/prefix" STANDIN_DIR="$work" STANDIN_FAILURES="$failures" \
    sh "$run_sh" --setup 2>&1)
  rc=$?
  journal=$(tr '\n' ' ' <"$work/journal" | sed 's/ $//')
  if [ "$rc" != "$want_rc" ] || [ "$journal" != "$want_journal" ]; then
    echo "FAILED with $failures failures: exit $rc (wanted $want_rc), calls: $journal"
    echo "  wanted calls: $want_journal"
    failed=1
  fi
  case "$out" in
    *"$want_text"*) ;;
    *)
      echo "FAILED with $failures failures: the output lacks \"$want_text\": $out"
      failed=1
      ;;
  esac
done <<'EOF'
0|0|server -k server -w boot server -k server -w server -p|
2|0|server -k server -w boot server -k server -w boot server -k server -w boot server -k server -w server -p|
3|1|server -k server -w boot server -k server -w boot server -k server -w boot server -k server -w|wineboot failure number 3
EOF
[ "$failed" -eq 0 ] && echo "the set-up survives two failed wineboots and reports the third"
exit "$failed"
