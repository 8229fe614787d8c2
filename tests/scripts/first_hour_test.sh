#!/usr/bin/env bash
# The first hour of a new user, on tiny data (300 training and 100 test images): scripts/demo and
# the commands it suggests, a demo refused for an invalid setting or interrupted (demo-runs/latest
# stays on the last finished run), and every command the README and docs/ show in a code block,
# run as written. Everything runs in a copy of scripts/ whose build step links the built programs.
# Usage: first_hour_test.sh MNIST_MLP_BINARY MNIST_LAB_BINARY
set -u -o pipefail
MLP=$(readlink -f -- "${1:?usage: first_hour_test.sh MNIST_MLP_BINARY MNIST_LAB_BINARY}")
LAB=$(readlink -f -- "${2:?usage: first_hour_test.sh MNIST_MLP_BINARY MNIST_LAB_BINARY}")
command -v parallel >/dev/null && command -v gnuplot >/dev/null || { echo "skip: needs GNU parallel and gnuplot"; exit 77; }
# shellcheck source=tests/scripts/harness.sh
. "$(dirname "${BASH_SOURCE[0]}")/harness.sh"
unset "${!MNIST_MLP_@}" PARALLEL PARALLEL_SSH
R=$T/repo
export HOME=$T/home MNIST_MIRRORS='' MNIST_MD5_FILE=$T/tiny.md5

has() { grep -qE -- "$2" "$1" || { cat "$1"; fail "output lacks: $2"; }; }
latest() { readlink "$R/demo-runs/latest" || true; }

# ---- the repository copy, its data and a binary that can be held ------------------------------
mkdir -p "$R/build/app" "$R/build/lab" "$T/tiny" "$HOME"
cp -r "$ROOT/scripts" "$R/"
python3 - "$T/tiny" <<'EOF'
import random, struct, sys
r = random.Random(7)
for prefix, count in ("train", 300), ("t10k", 100):
    labels = [i % 10 for i in range(count)]
    with open("%s/%s-images.idx3-ubyte" % (sys.argv[1], prefix), "wb") as f:
        f.write(struct.pack(">IIII", 2051, count, 28, 28))
        f.write(bytes(r.randrange(50) + 200 * (p % 10 == label) for label in labels for p in range(784)))
    with open("%s/%s-labels.idx1-ubyte" % (sys.argv[1], prefix), "wb") as f:
        f.write(struct.pack(">II", 2049, count) + bytes(labels))
EOF
(cd "$T/tiny" && md5sum -- *) >"$MNIST_MD5_FILE"   # get-mnist takes them as the published files
mkdir -p "$R/demo-runs/data" && cp "$T/tiny"/* "$R/demo-runs/data/" && cp "$T/tiny"/* "$R/"
printf '#!/bin/sh\nln -sfn "%s" build/app/mnist-mlp && ln -sfn "%s" build/lab/mnist-lab\n' "$T/mnist-mlp" "$LAB" \
  >"$R/scripts/build"
# With $T/hold present, the training of seed 2 waits, as a long one does: a run to interrupt.
cat >"$T/mnist-mlp" <<EOF
#!/bin/sh
if [ "\$1" = --train ] && [ "\${MNIST_MLP_SEED:-}" = 2 ] && [ -e "$T/hold" ]; then touch "$T/held"; exec sleep 30; fi
exec "$MLP" "\$@"
EOF
chmod +x "$R/scripts/build" "$T/mnist-mlp"

# ---- tests -------------------------------------------------------------------------------------
t_demo_honours_the_settings_and_its_suggestions_work() {
  local run line
  (cd "$R" && MNIST_MLP_EPOCHS=2 scripts/demo) >"$T/demo.out" 2>&1 || fail "$(cat "$T/demo.out")"
  run=$(latest); [ -n "$run" ] || fail "no demo-runs/latest"
  [ "$(grep -c '^Epoch' "$R/demo-runs/$run/member-3.log")" = 2 ] || fail "not 2 epochs: $(cat "$R/demo-runs/$run/member-3.log")"
  has "$T/demo.out" "^Summary \(2 epochs per network\)$"
  has "$T/demo.out" "^      build/lab/mnist-lab report demo-runs/$run/ensemble.ens "
  while IFS= read -r line; do
    case $line in
      *scripts/demo*) ;;   # another whole run
      *" page "*) (cd "$R" && timeout 5 bash -c "exec $line --port 0") >"$T/page.out" 2>&1 || true   # it serves until stopped
        has "$T/page.out" "http://[0-9.]+:[0-9]+/" ;;
      *) (cd "$R" && bash -c "$line") >"$T/line.out" 2>&1 || fail "$line: $(cat "$T/line.out")" ;;
    esac
  done < <(sed -n '/^What to try next/,$ s/^      //p' "$T/demo.out")
  [ -s "$R/demo-runs/$run/report/report.json" ] && [ -s "$R/demo-runs/compare.svg" ] || fail "suggested files missing"
}

t_demo_refuses_an_invalid_setting_and_stops_on_ctrl_c_leaving_latest() {
  local before pid rc=0 runs
  before=$(latest) runs=$(ls "$R/demo-runs" | wc -l)
  ! (cd "$R" && MNIST_MLP_EPOCHS=ten scripts/demo) >"$T/bad.out" 2>&1 || fail "ran with MNIST_MLP_EPOCHS=ten"
  has "$T/bad.out" "MNIST_MLP_EPOCHS"; has "$T/bad.out" "nothing was fetched or trained"
  [ "$(ls "$R/demo-runs" | wc -l)" = "$runs" ] || fail "a run folder was made"
  touch "$T/hold"
  set -m   # the run gets a process group of its own that Ctrl-C (SIGINT to the group) reaches
  (cd "$R" && MNIST_MLP_EPOCHS=1 exec scripts/demo) >"$T/int.out" 2>&1 &
  pid=$!
  for _ in $(seq 300); do [ -e "$T/held" ] || sleep 0.1; done
  [ -e "$T/held" ] || fail "seed 2 never started: $(cat "$T/int.out")"
  kill -INT -- "-$pid"; wait "$pid" || rc=$?; rm "$T/hold"
  [ "$rc" = 130 ] || fail "exit status $rc: $(cat "$T/int.out")"
  has "$T/int.out" "demo: interrupted; demo-runs/latest still names the last finished run"
  ! grep -q "Step 4\|training member 2 failed" "$T/int.out" || fail "went on: $(cat "$T/int.out")"
  [ "$(latest)" = "$before" ] || fail "latest moved to $(latest)"
}

# Each command line of the code blocks of the README and docs/ (continuation lines joined, a
# "$ " prompt dropped), skipping usage synopses (words in capitals) and lines of output, runs in
# the repository copy with 1 epoch (and one small hidden layer where the command does not
# choose; epochs and held-out images a command names are scaled to the tiny set). Lines that
# belong to a script of their own ($variables) or write outside the repository (/tmp) are
# left out.
t_readme_and_docs_commands_run_as_written() {
  local line comment seed ran=0 extra=()
  printf ':\n' >"$R/my-hosts"   # the hosts file of the examples: this machine
  cp -r "$ROOT/docs" "$R/"
  while IFS= read -r line; do
    # "# and seeds 2 and 3" after a command: the same command for those seeds
    comment=$(sed -nE 's/.*  +# and seeds ([0-9, and]+).*/\1/p' <<<"$line"); line=${line%%  #*}
    extra=(); for seed in $(grep -oE '[0-9]+' <<<"$comment"); do extra+=("${line//1/$seed}"); done
    [[ ! $(sed -E 's/^([A-Z_]+=[^ ]* +)*//' <<<"$line") =~ [A-Z]{2,}|\[ ]] || continue   # a synopsis
    # sizes made for the full set, scaled to the tiny one: 1 epoch, 50 images held out
    line=$(sed -E 's/MNIST_MLP_EPOCHS=[0-9]+/MNIST_MLP_EPOCHS=1/g; s/MNIST_MLP_VALIDATION=[0-9]+/MNIST_MLP_VALIDATION=50/g' <<<"$line")
    case $line in
      *'$'* | */tmp/*) continue ;;
      *scripts/test* | *scripts/fuzz* | *scripts/bench* | *scripts/count-lines*) continue ;;   # the suite itself, or minutes (variables may come first)
      *" page "*) (cd "$R" && timeout 5 bash -c "exec $line --port 0") >"$T/page.out" 2>&1 || true   # it serves until stopped
        has "$T/page.out" "http://[0-9.]+:[0-9]+/" ;;
      *) (cd "$R" && PATH=$R/build/app:$R/build/lab:$PATH MNIST_MLP_EPOCHS=1 MNIST_MLP_HIDDEN_LAYERS=20 bash -c "$line") >"$T/line.out" 2>&1 ||
        fail "$line: $(tail -n 5 "$T/line.out")" ;;
    esac
    for line in "${extra[@]}"; do
      (cd "$R" && PATH=$R/build/app:$PATH MNIST_MLP_EPOCHS=1 MNIST_MLP_HIDDEN_LAYERS=20 bash -c "$line") >"$T/line.out" 2>&1 ||
        fail "$line: $(tail -n 5 "$T/line.out")"
    done
    ran=$((ran + 1))
  done < <(for file in "$ROOT/README.md" "$ROOT"/docs/*.md; do
    awk '/^    / && (blank || inblock) { inblock = 1; line = line substr($0, 5); if (line ~ /\\$/) { sub(/\\$/, "", line); next }
         print line; line = ""; next } { blank = ($0 == ""); inblock = 0 }' "$file"
  done | sed -E 's/^ *//; s/^\$ //' | grep -E '^(([A-Z_]+=[^ ]* +)*(mnist-mlp |mnist-lab |scripts/|build/)|\(cd )')
  [ "$ran" -ge 14 ] || fail "only $ran commands found"
}

run_tests t_demo_honours_the_settings_and_its_suggestions_work \
  t_demo_refuses_an_invalid_setting_and_stops_on_ctrl_c_leaving_latest t_readme_and_docs_commands_run_as_written
