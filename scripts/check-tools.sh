#!/usr/bin/env bash
# Checks that every external command the scripts and tests call comes from a
# Debian package that scripts/setup.sh installs (listed there, pulled in by a
# listed one, or part of every Debian system), so that a tool installed by
# hand on one machine cannot hide a step a fresh machine lacks.
#   check-tools.sh [SETUP_SCRIPT]    (default: scripts/setup.sh beside this one)
# Exits 1 naming each command that fails and the package to add.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
setup=${1:-$here/setup.sh}

# The commands, in one place: add a command here when a script or test
# starts to call it. (Shell builtins are not listed.)
commands=(
  # build and test runners
  cmake ctest ninja g++ c++ clang clang++ pkg-config ccache
  # the shell's helpers
  awk sed grep find sort uniq head tail cut tr tee od dd cmp comm stat touch mktemp realpath
  basename dirname date sleep env id ls cp mv rm ln mkdir chmod chown cat install timeout setsid flock
  tar gzip
  # namespaces, mounts, users, devices
  unshare setpriv runuser mount umount chroot udevadm
  # scripts within the tests
  python3 node chromium curl
  # the Windows build and its tests
  x86_64-w64-mingw32-g++ x86_64-w64-mingw32-windres x86_64-w64-mingw32-objdump
  wine wineboot wineserver Xvfb xvfb-run xauth xdpyinfo convert
  # the installer, signatures and the portable zip
  wixl msiinfo msibuild osslsigncode openssl zip unzip softhsm2-util pkcs11-tool
  # the Debian packages and the clean root
  dpkg dpkg-deb dpkg-query dpkg-buildpackage dpkg-parsechangelog debootstrap lintian help2man fakeroot
  # the records' server, the bench's service, network serial ports
  sqlite3 systemd-analyze systemd-sysusers ser2net
)
# Commands outside PATH, by the path the scripts find them at.
command_paths=(/usr/lib/wine/wine64 /usr/lib/postgresql/*/bin/initdb /usr/lib/postgresql/*/bin/pg_ctl)

# The packages setup.sh installs for the test job.
mapfile -t listed < <(bash "$setup" list)
declare -A allowed=()
for p in "${listed[@]}"; do allowed[$p]=1; done

# Their dependencies, read only when some owner is not listed itself.
closure_read=0
read_closure() {
  [ "$closure_read" = 1 ] && return
  closure_read=1
  local p
  while read -r p; do
    allowed[$p]=1
  done < <(apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts --no-breaks \
             --no-replaces --no-enhances "${listed[@]}" 2>/dev/null | grep -v '^ ' | sed 's/:.*//')
}

# Every name a file goes by: the path, each link on the way, the file itself,
# and the other side of the merged /usr (dpkg knows /bin/sh, not /usr/bin/sh).
names_of() {
  local p=$1 n=0
  while :; do
    echo "$p"
    case $p in /usr/bin/* | /usr/sbin/* | /usr/lib/*) echo "${p#/usr}" ;; /bin/* | /sbin/* | /lib/*) echo "/usr$p" ;; esac
    [ -L "$p" ] && [ $n -lt 10 ] || break
    local t; t=$(readlink "$p")
    case $t in /*) p=$t ;; *) p=$(dirname "$p")/$t ;; esac
    n=$((n + 1))
  done
  realpath -e "$1" 2>/dev/null || true
}

# The packages that own any of these names (read from dpkg's lists by one
# query for every name of every command: see read_owners).
declare -A owner_of=()
owners_of() {
  local name
  for name in $(names_of "$1" | sort -u); do
    if [ -n "${owner_of[$name]:-}" ]; then echo "${owner_of[$name]}" | tr ', ' '\n\n'; fi
  done | sed '/^$/d' | sort -u
}
read_owners() {
  local pkgs path
  while IFS= read -r line; do
    pkgs=${line%%: /*}; path=/${line#*: /}
    owner_of[$path]=$(echo "$pkgs" | sed 's/:[a-z0-9]*//g')
  done < <(dpkg-query -S "$@" 2>/dev/null || true)
}

is_base() {
  local q
  q=$(dpkg-query -W -f='${Essential} ${Priority}' "$1" 2>/dev/null) || return 1
  case $q in yes* | *required) return 0 ;; esac
  return 1
}

failed=0
# Where each command is, and every name its file goes by.
declare -A path_of=()
for cmd in "${commands[@]}"; do
  path_of[$cmd]=$(command -v "$cmd" || true)
done
for pattern in "${command_paths[@]}"; do
  for path in $pattern; do path_of[$path]=$path; done
done
mapfile -t all_names < <(for p in "${path_of[@]}"; do if [ -n "$p" ]; then names_of "$p"; fi; done | sort -u)
read_owners "${all_names[@]}"

check() {
  local cmd=$1 path=$2 owners o
  owners=$(owners_of "$path")
  if [ -z "$owners" ]; then
    echo "check-tools: $cmd is $path, which no Debian package installed; the suites must use Debian's (add its package to scripts/setup.sh)" >&2
    failed=1; return
  fi
  for o in $owners; do
    [ -n "${allowed[$o]:-}" ] && return
    is_base "$o" && return
  done
  read_closure
  for o in $owners; do
    [ -n "${allowed[$o]:-}" ] && return
  done
  o=$(echo "$owners" | head -n 1)
  echo "check-tools: $cmd ($path) comes from the package $o, which scripts/setup.sh does not install: add $o to its test list" >&2
  failed=1
}

for cmd in "${commands[@]}"; do
  path=${path_of[$cmd]}
  if [ -z "$path" ]; then
    echo "check-tools: $cmd is not installed: add its package to scripts/setup.sh" >&2
    failed=1; continue
  fi
  check "$cmd" "$path"
done
for pattern in "${command_paths[@]}"; do
  found=0
  for path in $pattern; do
    [ -x "$path" ] || continue
    found=1
    check "$(basename "$path")" "$path"
  done
  [ "$found" = 1 ] || { echo "check-tools: nothing at $pattern: add its package to scripts/setup.sh" >&2; failed=1; }
done

if [ "$failed" = 0 ]; then
  echo "check-tools: ${#commands[@]} commands and ${#command_paths[@]} paths, each from a package scripts/setup.sh installs"
fi
exit "$failed"
