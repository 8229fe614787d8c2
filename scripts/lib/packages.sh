# Sourced by the scripts: need_packages CHECK:PACKAGE...
# Installs each Debian PACKAGE whose CHECK fails, all in one apt-get call. CHECK is a command
# name, or a path (glob allowed) when it starts with "/": headers and libraries have no command.
# apt-get's output is shown only when it fails. Returns non-zero when it cannot install.

need_packages() {
  local pair check missing=() as_root=() log status
  for pair in "$@"; do
    check=${pair%:*}
    case $check in
      /*) compgen -G "$check" >/dev/null ;;
      *) command -v "$check" >/dev/null 2>&1 ;;
    esac || missing+=("${pair##*:}")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || { echo "need root to install ${missing[*]}" >&2; return 1; }
    as_root=(sudo -n)
  fi
  echo "Installing ${missing[*]}"
  log=$(mktemp "${TMPDIR:-/tmp}/need-packages.XXXXXX") || return 1
  # One index refresh per process tree: scripts that call each other need not repeat it.
  { [ -n "${NEED_PACKAGES_UPDATED:-}" ] || "${as_root[@]}" apt-get update -qq; } >"$log" 2>&1 &&
    export NEED_PACKAGES_UPDATED=1 &&
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >>"$log" 2>&1
  status=$?
  [ "$status" -eq 0 ] || { tail -n 5 "$log" >&2; echo "could not install ${missing[*]}" >&2; }
  rm -f -- "$log"
  return "$status"
}
