#!/usr/bin/env bash
# Tests for scripts/train-ensemble on a tiny data set (30 training and 10 test images, 2 epochs):
# members on this machine, members on three "hosts" reached through a stand-in for ssh that runs
# each in its own folder with an empty environment (one host has a corrupt data file), and a run
# killed after its first member, then resumed. Usage: train_ensemble_test.sh MNIST_MLP_BINARY
set -u -o pipefail
REAL=$(readlink -f -- "${1:?usage: train_ensemble_test.sh MNIST_MLP_BINARY}")
command -v parallel >/dev/null && command -v rsync >/dev/null || { echo "skip: needs GNU parallel and rsync"; exit 77; }
# shellcheck source=tests/scripts/harness.sh
. "$(dirname "${BASH_SOURCE[0]}")/harness.sh"
unset "${!MNIST_MLP_@}" PARALLEL PARALLEL_SSH

has() { grep -qE -- "$2" "$1" || { cat "$1"; fail "output lacks: $2"; }; }
members() { od -An -tu4 -j2 -N4 "$1" | tr -d ' '; }   # the member count in an ensemble header
trained() { awk '{ print $1 }' "$T/trains" | sort -n | tr '\n' ' '; }
# ensemble DIR ARGS...: runs the script in DIR (which holds the data) with the logging binary
ensemble() {
  local dir=$1; shift
  (cd "$dir" && HOME=$T/home TRAIN_ENSEMBLE_BINARY=$T/bin/mnist-mlp bash "$ROOT/scripts/train-ensemble" "$@")
}
before_each() { : >"$T/trains"; }

# ---- data, the logging binary and the ssh stand-in ---------------------------------------------
mkdir -p "$T/data" "$T/bin" "$T/home"
python3 - "$T/data" <<'EOF'
import random, struct, sys
r = random.Random(7)
for prefix, count in ("train", 30), ("t10k", 10):
    labels = [i % 10 for i in range(count)]
    with open("%s/%s-images.idx3-ubyte" % (sys.argv[1], prefix), "wb") as f:
        f.write(struct.pack(">IIII", 2051, count, 28, 28))
        f.write(bytes(r.randrange(50) + 200 * (p % 10 == label) for label in labels for p in range(784)))
    with open("%s/%s-labels.idx1-ubyte" % (sys.argv[1], prefix), "wb") as f:
        f.write(struct.pack(">II", 2049, count) + bytes(labels))
EOF
# Logs each --train (seed, folder, passed-through settings, threads). With $T/hold present, seed 2 trains and
# then hangs, as a training does that saved its best epoch so far and goes on: a run to kill. The mark is
# the test's own variable, which the real program would refuse as an unknown setting.
cat >"$T/bin/mnist-mlp" <<EOF
#!/bin/sh
case "\$1" in --train)
  echo "\$MNIST_MLP_SEED \$PWD \${MNIST_MLP_MARK:-unset} \$MNIST_MLP_EPOCHS \$MNIST_MLP_THREADS" >>"$T/trains"
  if [ "\$MNIST_MLP_SEED" = 2 ] && [ -e "$T/hold" ]; then env -u MNIST_MLP_MARK "$REAL" "\$@"; touch "$T/held"; exec sleep 30; fi ;;
esac
exec env -u MNIST_MLP_MARK "$REAL" "\$@"
EOF
# ssh [options] HOST [--] COMMAND...: runs COMMAND in \$T/hosts/HOST with a bare environment
cat >"$T/bin/ssh" <<EOF
#!/bin/bash
while [ "\${1#-}" != "\$1" ]; do case \$1 in -l | -p | -o) shift ;; esac; shift; done
cd "$T/hosts/\$1" || exit 255
shift; [ "\$1" != -- ] || shift
exec env -i SHELL=/bin/bash PATH="\$PATH" HOME="\$PWD" bash -c "\$*"
EOF
chmod +x "$T/bin/mnist-mlp" "$T/bin/ssh"

# ---- tests -------------------------------------------------------------------------------------
t_arguments_and_settings_checked_before_any_work() {
  local args message rc
  mkdir -p "$T/file-here" && printf '# no host\n\n' >"$T/nohosts" && : >"$T/plain"
  while IFS='|' read -r args message; do
    # shellcheck disable=SC2086  # the arguments of each row, split into words on purpose
    rc=0; ensemble "$T/data" $args >"$T/out" 2>&1 || rc=$?
    [ "$rc" = 2 ] && [ "$(wc -l <"$T/out")" = 1 ] || fail "$args: exit status $rc, $(cat "$T/out")"
    has "$T/out" "$message"
    [ ! -s "$T/trains" ] && [ ! -e "$T/data/x-work" ] || fail "$args: work started: $(cat "$T/trains")"
  done <<EOF
0 x.ens|MEMBERS must be a whole number from 1 to 1000, not '0'
1001 x.ens|MEMBERS must be a whole number from 1 to 1000
2 x.ens --jobs|--jobs needs a value
2 x.ens --epoch 3|unknown argument '--epoch'
2 train-labels.idx1-ubyte|is an MNIST data file
2 $T/file-here|is a folder
2 $T/missing/x.ens|its folder $T/missing is missing or read-only
2 x.ens --hosts $T/nohosts|names no host
2 x.ens --hosts $T/none|cannot read the hosts file
2 x.ens --work $T/plain|the work folder $T/plain is a file
EOF
  ! MNIST_MLP_EPOCHS=ten ensemble "$T/data" 2 x.ens >"$T/out" 2>&1 || fail "accepted MNIST_MLP_EPOCHS=ten"
  has "$T/out" "MNIST_MLP_EPOCHS"; has "$T/out" "a setting is invalid \(see the line above\); nothing was started"
  [ ! -s "$T/trains" ] && [ ! -e "$T/data/x-work" ] || fail "trained with an invalid setting"
}

t_local_members_combined_and_kept() {
  MNIST_MLP_MARK=carried ensemble "$T/data" 3 "$T/local.ens" --epochs 2 --jobs 2 >"$T/out" 2>&1 || fail "$(cat "$T/out")"
  local w=$T/local-work half=$(($(nproc) / 2 > 0 ? $(nproc) / 2 : 1))
  [ "$(trained)" = "1 2 3 " ] || fail "trained: $(cat "$T/trains")"
  # two at a time share the cores; the third trains alone, with all of them
  [ "$(awk '$3 == "carried" && $4 == 2 { print $1, $5 }' "$T/trains" | sort | tr '\n' ' ')" = "1 $half 2 $half 3 $(nproc) " ] ||
    fail "settings or threads: $(cat "$T/trains")"
  for pair in 1:2 1:3 2:3; do ! cmp -s "$w/member-${pair%:*}.net" "$w/member-${pair#*:}.net" || fail "members $pair alike"; done
  [ "$(members "$T/local.ens")" = 3 ] || fail "ensemble of $(members "$T/local.ens")"
  for seed in 1 2 3; do has "$T/out" "^$seed +$seed +local +[0-9.]+% +[01] +[0-9]+ s$"; done
  # away from a terminal: each member's start and result, none of the lines meant for the watcher
  has "$T/out" "^seed 3 on local: started$"; has "$T/out" "^seed 3 on local: best [0-9.]+% at epoch [01] \("
  ! grep -q '^@' "$T/out" || fail "the jobs' own lines leaked: $(cat "$T/out")"
  has "$T/out" "^ensemble of 3: [0-9.]+% of 10 test images correct"
  ! command -v gnuplot >/dev/null || has "$w/training.svg" "Test accuracy per epoch"
  cp "$w/member-3.net" "$T/member-3.net" && truncate -s 4992937 "$w/member-3.net"
  # on a terminal (script gives it one): a line per running member, redrawn as its epochs end
  (cd "$T/data" && HOME=$T/home TRAIN_ENSEMBLE_BINARY=$T/bin/mnist-mlp \
    script -qec "bash '$ROOT/scripts/train-ensemble' 3 '$T/local.ens' --epochs 2" /dev/null) >"$T/raw" 2>&1 ||
    fail "rerun: $(cat "$T/raw")"
  tr -d '\r' <"$T/raw" >"$T/out"
  has "$T/out" $'\e\\[1A.*  seed 3 on local: epoch 2 of 2, [0-9.]+% \\(best [0-9.]+%\\), '
  has "$T/out" $'\e\\[J''seed 3 on local: best '; ! grep -q 'ETA\|Computers' "$T/out" || fail "GNU parallel's lines"
  [ "$(trained)" = "1 2 3 3 " ] || fail "a rerun trained more than the cut member: $(cat "$T/trains")"
  cmp "$w/member-3.net" "$T/member-3.net" || fail "the retrained member differs"
  has "$T/out" "^2 +2 +local +[0-9.]+% +[01] +[0-9]+ s$"   # host and time from the first run
}

t_interrupted_run_combines_nothing_and_resumes() {
  local w=$T/resume-work pid rc=0
  touch "$T/hold"
  cp "$T/local.ens" "$T/resume.ens"   # an earlier ensemble of 3 that Ctrl-C must leave as it is
  set -m   # the run gets a process group of its own that Ctrl-C (SIGINT to the group) reaches
  ensemble "$T/data" 3 "$T/resume.ens" --epochs 2 --jobs 1 --work "$w" >"$T/out" 2>&1 &
  pid=$!
  for _ in $(seq 300); do [ -e "$T/held" ] || sleep 0.1; done
  [ -e "$T/held" ] || fail "seed 2 never started: $(cat "$T/out")"
  kill -INT -- "-$pid"; wait "$pid" || rc=$?
  [ "$rc" = 130 ] || fail "exit status $rc after Ctrl-C: $(cat "$T/out")"
  has "$T/out" "interrupted: nothing was combined"
  [ -f "$w/member-1.net" ] && [ ! -e "$w/member-2.net" ] || fail "after the kill: $(ls "$w")"
  cmp "$T/resume.ens" "$T/local.ens" || fail "the earlier ensemble was replaced"
  rm "$T/resume.ens"
  rm "$T/hold"; : >"$T/trains"
  ensemble "$T/data" 3 "$T/resume.ens" --epochs 2 --jobs 1 --work "$w" >"$T/out" 2>&1 || fail "$(cat "$T/out")"
  [ "$(trained)" = "2 3 " ] || fail "trained: $(cat "$T/trains")"
  for seed in 1 2 3; do cmp "$w/member-$seed.net" "$T/local-work/member-$seed.net" || fail "member $seed differs"; done
  cmp "$T/resume.ens" "$T/local.ens" || fail "the ensemble differs from an uninterrupted run's"
}

t_hosts_send_data_return_members_and_report_failures() {
  local w=$T/hosts-work h row seed host ok=0 bad=0
  mkdir -p "$T/hosts/a" "$T/hosts/b" "$T/hosts/bad/mnist-mlp-ensemble"
  printf '1/a\n1/b\n1/bad\n' >"$T/hostlist"
  # Same size and time as the real file, so rsync takes it for sent already; the magic is wrong.
  h=$T/hosts/bad/mnist-mlp-ensemble/train-labels.idx1-ubyte
  { printf '\377'; tail -c +2 "$T/data/train-labels.idx1-ubyte"; } >"$h" && touch -r "$T/data/train-labels.idx1-ubyte" "$h"
  ! MNIST_MLP_MARK=carried MNIST_MLP_VALIDATION=5 PARALLEL_SSH=$T/bin/ssh ensemble "$T/data" 4 "$T/hosts.ens" --epochs 2 \
    --hosts "$T/hostlist" --work "$w" >"$T/out" 2>&1 || fail "exit status 0 with a failed member: $(cat "$T/out")"
  while read -r seed host row; do
    if [ "$row" = failed: ]; then
      [ "$host" = bad ] && bad=$((bad + 1)) || fail "seed $seed failed on $host"
      has "$T/out" "^failed: .*seed $seed on bad"; [ ! -e "$w/member-$seed.net" ] || fail "kept a failed member"
      # the program's own words for the cause, in the member's line and in the table
      has "$T/out" "^seed $seed on bad FAILED \(exit status 1\): Error detected during data load: Invalid"
      has "$T/out" "^[0-9]+ +$seed +bad +failed: Error detected during data load: Invalid"
    else
      ok=$((ok + 1)); h=$T/hosts/$host/mnist-mlp-ensemble
      cmp "$w/member-$seed.net" "$h/member-$seed.net" || fail "member $seed did not come from $host"
      grep -qx "$seed $h carried 2 1" "$T/trains" || fail "seed $seed: $(cat "$T/trains")"
      cmp "$h/train-images.idx3-ubyte" "$T/data/train-images.idx3-ubyte" || fail "data not sent to $host"
    fi
  done < <(awk '$1 ~ /^[0-9]+$/ { print $2, $3, $4 }' "$T/out")
  [ $((ok + bad)) -eq 4 ] && [ "$bad" -ge 1 ] || fail "$ok finished, $bad failed: $(cat "$T/out")"
  [ "$(members "$T/hosts.ens")" = "$ok" ] || fail "ensemble of $(members "$T/hosts.ens"), $ok finished"
  has "$T/out" "^ensemble of $ok: "
  # the members' epoch lines measured their held-out images, and the plot says so
  ! command -v gnuplot >/dev/null || has "$w/training.svg" "Held-out accuracy per epoch"
}

run_tests t_arguments_and_settings_checked_before_any_work t_local_members_combined_and_kept \
  t_interrupted_run_combines_nothing_and_resumes t_hosts_send_data_return_members_and_report_failures
