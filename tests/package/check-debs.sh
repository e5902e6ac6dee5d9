#!/usr/bin/env bash
# Checks the two built packages against the agreed installation: every file where it belongs, in
# the right package, root's, with its mode; the units' and the entry's references met; the
# maintainer scripts in the order the service needs. Run by ./dev.sh deb after lintian.
# usage: check-debs.sh DIR   (DIR holds orvane_*.deb and orvane-window_*.deb)
set -uo pipefail
dir=${1:?usage: check-debs.sh DIR}
failures=0
fail() { echo "check-debs: $*" >&2; failures=$((failures + 1)); }

deb_of() { ls "$dir"/"$1"_*_*.deb 2>/dev/null | head -1; }
service_deb=$(deb_of orvane)
window_deb=$(deb_of orvane-window)
[ -f "$service_deb" ] && [ -f "$window_deb" ] || { echo "check-debs: no packages in $dir" >&2; exit 1; }

# "MODE PATH" of each file (not folders) in a package; every entry must be root's.
listing() {
  dpkg-deb -c "$1" | awk '$2 != "root/root" { print "OWNER " $2 " " $6; next }
                            $1 !~ /^d/ { sub(/^\./, "", $6); print $1 " " $6 }'
}
service_files=$(listing "$service_deb")
window_files=$(listing "$window_deb")
while read -r line; do fail "not root's: $line"; done < <(grep '^OWNER' <<<"$service_files$window_files")

# expect PACKAGE-LISTING MODE PATH...: each path is a file of that package with that mode.
expect() {
  local files=$1 mode=$2 path; shift 2
  for path in "$@"; do
    grep -qxF -- "$mode $path" <<<"$files" ||
      fail "want $mode $path, have: $(grep -F -- " $path" <<<"$files" || echo none)"
  done
}
lib=/usr/lib/orvane
expect "$service_files" -rwxr-xr-x $lib/OrvaneSvr $lib/OrvaneZsm $lib/AutoUpdate
expect "$service_files" -rw------- $lib/conf/conf.xml $lib/conf/client.xml
expect "$service_files" -rw-r--r-- $lib/zuvUzarod.zxm $lib/conf/code.xml /usr/lib/sysusers.d/orvane.conf \
  /lib/systemd/system/orvane.service /lib/systemd/system/orvane-window.service \
  /usr/share/man/man8/OrvaneSvr.8.gz /usr/share/man/man8/AutoUpdate.8.gz
expect "$window_files" -rwxr-xr-x $lib/client
expect "$window_files" -rw-r--r-- /usr/share/applications/orvane-client.desktop \
  /usr/share/icons/hicolor/scalable/apps/orvane.svg /usr/share/polkit-1/actions/org.orvane.update.policy \
  /usr/share/man/man1/client.1.gz

# Nothing of a source installation's extras inside the installation, nothing but the window's
# files in its package.
while read -r line; do fail "left in the installation: $line"; done < <(
  grep -E " $lib/(share|lib)/| $lib/[^/]+\.service$" <<<"$service_files$window_files")
while read -r line; do fail "service file in orvane-window: $line"; done < <(
  grep -E " $lib/" <<<"$window_files" | grep -v " $lib/client$")

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$service_deb" "$scratch/root" && dpkg-deb -x "$window_deb" "$scratch/root"
dpkg-deb -e "$service_deb" "$scratch/control"

# Each unit runs from the installation and names manual pages the packages hold.
for unit in orvane orvane-window; do
  file="$scratch/root/lib/systemd/system/$unit.service"
  grep -q "@ORVANE_DIR@" "$file" && fail "$unit.service keeps a placeholder"
  grep -q "^ExecStart=.*OrvaneSvr" "$file" && grep -q "^[A-Za-z]*=.*$lib\b" "$file" ||
    fail "$unit.service does not start OrvaneSvr of $lib"
  for page in $(sed -n 's/^Documentation=//p' "$file"); do
    [[ $page =~ ^man:([^\(]+)\(([0-9])\)$ ]] || { fail "$unit.service: documentation $page"; continue; }
    [ -f "$scratch/root/usr/share/man/man${BASH_REMATCH[2]}/${BASH_REMATCH[1]}.${BASH_REMATCH[2]}.gz" ] ||
      fail "$unit.service names $page, which no package holds"
  done
done

# The entry starts the installed window and names an icon the package holds; the policy covers
# the installed installer.
entry="$scratch/root/usr/share/applications/orvane-client.desktop"
grep -qx "Exec=\"$lib/client\"" "$entry" || fail "desktop entry does not start $lib/client"
icon=$(sed -n 's/^Icon=//p' "$entry")
[ -f "$scratch/root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "desktop entry's icon '$icon' missing"
grep -q ">$lib/AutoUpdate<" "$scratch/root/usr/share/polkit-1/actions/org.orvane.update.policy" ||
  fail "polkit policy does not name $lib/AutoUpdate"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$entry" || fail "desktop entry does not validate"
fi

# Manual pages format without complaint.
for page in "$scratch"/root/usr/share/man/man*/*.gz; do
  complaints=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$complaints" ] || fail "$(basename "$page"): $complaints"
done

# The accounts exist before the window's service first starts; the headless one is never enabled
# or started by the package, and stops on removal like the window's.
postinst="$scratch/control/postinst"
users_line=$(grep -n "systemd-sysusers" "$postinst" | head -1 | cut -d: -f1)
start_line=$(grep -n "deb-systemd-invoke" "$postinst" | head -1 | cut -d: -f1)
[ -n "$users_line" ] && [ -n "$start_line" ] && [ "$users_line" -lt "$start_line" ] ||
  fail "postinst does not create the accounts before it starts a unit"
grep -q "enable 'orvane-window.service'" "$postinst" || fail "postinst does not enable orvane-window.service"
while read -r line; do fail "postinst may start orvane.service: $line"; done < <(
  grep "deb-systemd-invoke.*'orvane.service'" "$postinst" | grep -v "deb-systemd-invoke try-restart ")
grep -B3 "enable 'orvane.service'" "$postinst" | grep -q "was-enabled" ||
  fail "postinst enables orvane.service without the administrator"
for unit in orvane.service orvane-window.service; do
  grep -q "stop.*$unit" "$scratch/control/prerm" || fail "prerm does not stop $unit"
done

if [ "$failures" -gt 0 ]; then
  echo "check-debs: $failures problem(s)" >&2
  exit 1
fi
echo "check-debs: both packages as agreed"
