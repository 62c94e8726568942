# shellcheck shell=bash
# What a script needs from Debian, installed when it is missing: sourced by
# every script under scripts/ that installs anything.
#
#   need_cmd PACKAGE [COMMAND...]  PACKAGE, unless one of the commands (default:
#                                  the package's name; a path counts when it
#                                  is executable) is there
#   need_pkg PACKAGE...            each package dpkg does not list as installed
#   need_file PACKAGE FILE...      PACKAGE, unless one of the files exists
#   need_arch ARCH                 as root, adds ARCH as a foreign architecture
#                                  of dpkg when a missing package is ARCH's
#                                  (PACKAGE:ARCH), so that apt-get finds it;
#                                  call it after the checks, before need_install
#   need_root [NOTE]               as root: nothing; otherwise, when anything
#                                  is missing, names it (and NOTE) and exits 1
#   need_install                   installs what is missing with apt-get, as
#                                  root; otherwise need_root's message and exit 1
#
# The checks only collect: nothing is installed before need_install, so a
# script that is not run as root says everything it lacks at once. Messages
# and apt-get's output go to standard error, so that a script's own output
# (the performance table, say) stays clean. They start with need_name,
# "scripts/<name>" unless the script sets it.

need_name=${need_name:-scripts/$(basename "$0")}
need_missing=()

need_add() { # need_add PACKAGE: once, however many checks ask for it
  [[ " ${need_missing[*]} " == *" $1 "* ]] || need_missing+=("$1")
}

need_cmd() {
  local package=$1 cmd
  shift
  [ $# -gt 0 ] || set -- "$package"
  for cmd in "$@"; do
    command -v "$cmd" >/dev/null 2>&1 && return 0
  done
  need_add "$package"
}

need_pkg() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q ' installed$' ||
      need_add "$package"
  done
}

need_file() {
  local package=$1 file
  shift
  for file in "$@"; do
    [ -e "$file" ] && return 0
  done
  need_add "$package"
}

need_arch() {
  local arch=$1
  [[ " ${need_missing[*]} " == *":$arch "* ]] || return 0
  [ "$(dpkg --print-architecture)" != "$arch" ] || return 0
  ! dpkg --print-foreign-architectures | grep -qx "$arch" || return 0
  need_root "(after dpkg --add-architecture $arch)"
  echo "$need_name: adding $arch as a foreign architecture of dpkg" >&2
  dpkg --add-architecture "$arch"
}

need_root() {
  [ ${#need_missing[@]} -gt 0 ] || return 0
  [ "$(id -u)" -ne 0 ] || return 0
  echo "$need_name: missing ${1:+$1 }${need_missing[*]}; run as root or install them" >&2
  exit 1
}

need_install() {
  [ ${#need_missing[@]} -gt 0 ] || return 0
  need_root ""
  echo "$need_name: installing ${need_missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >&2
  apt-get install -y -qq "${need_missing[@]}" >&2
  need_missing=()
}
