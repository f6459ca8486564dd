#!/bin/bash
# Builds one Windows Installer package of Sorvanel from sorvanel.wxs beside this script:
#   msi.sh <x64|x86> <version> <folder> <package.msi>
# <folder> holds sorvanel.exe, README.txt, LICENSE.txt and sorvanel.ini.example as they are
# to be installed. Debian's msitools make it: wixl the package, msibuild what wixl 0.101
# cannot write (the recovery actions, an expandable registry value, the vital flag of the
# service, the place of RemoveExistingProducts).
#
# Two runs over the same files give the same bytes: the product code is derived from the
# version and the architecture, the package code from those and the files, the upgrade code
# is fixed for each architecture, and wixl derives each component code from the component's
# folder and key file (the same in every version, different for x64 and x86). The summary's
# times, which wixl takes from the clock, become SOURCE_DATE_EPOCH (else 2026-01-01 00:00
# UTC), and so do the times of the files in the cabinet, whose order is that of
# sorvanel.wxs.
set -euo pipefail
export LC_ALL=C TZ=UTC

if [[ $# -ne 4 || ! "$1" =~ ^(x64|x86)$ ]]; then
  echo "usage: msi.sh <x64|x86> <version> <folder> <package.msi>" >&2
  exit 2
fi
arch=$1 version=$2 files=$3 out=$4
here=$(cd "$(dirname "$0")" && pwd)
epoch=${SOURCE_DATE_EPOCH:-1767225600}

# Windows Installer compares the first three fields of a version: at most 255.255.65535.
if [[ ! "$version" =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] ||
  ((BASH_REMATCH[1] > 255 || BASH_REMATCH[2] > 255 || BASH_REMATCH[3] > 65535)); then
  echo "msi: $version is no version Windows Installer can compare" >&2
  exit 1
fi
for tool in wixl msibuild msiinfo perl; do
  command -v "$tool" >/dev/null || { echo "msi: $tool is missing (Debian: wixl, msitools)" >&2; exit 1; }
done

# One upgrade code per architecture, never to change: every version of a package finds and
# replaces the earlier ones by it.
case $arch in
  x64) upgrade_code=8C4A5F2E-3B71-4D09-A6E2-5F1C9B7D3E48 template="x64;1033" ;;
  x86) upgrade_code=2E7B9C41-6A3D-4F58-B1C0-8D4E2A6F9B17 template="Intel;1033" ;;
esac

# A name-based (version 5) UUID in the namespace of Sorvanel's packages, upper case.
namespace=5D8E3C1A-7F24-4B96-9A0E-C3B2F1D4E567
uuid5() {
  local bytes hash
  bytes=$(sed -E 's/-//g; s/../\\x&/g' <<<"$namespace")
  hash=$({ printf "$bytes"; printf '%s' "$1"; } | sha1sum | cut -c1-32)
  hash=${hash:0:12}5${hash:13:3}$(printf '%x' $(((0x${hash:16:1} & 3) | 8)))${hash:17}
  hash=${hash^^}
  echo "${hash:0:8}-${hash:8:4}-${hash:12:4}-${hash:16:4}-${hash:20:12}"
}
names=(sorvanel.exe README.txt LICENSE.txt sorvanel.ini.example)
product_code=$(uuid5 "product $arch $version")
package_code=$(uuid5 "package $arch $version $(cd "$files" && sha256sum "${names[@]}" | sha256sum | cut -c1-64)")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for name in "${names[@]}"; do
  cp "$files/$name" "$work/$name"
done
touch -d "@$epoch" "$work"/*

# wixl takes the sources relative to the folder it runs in.
started=$(date +%s)
(cd "$work" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" \
  -D ProductCode="$product_code" -D UpgradeCode="$upgrade_code" \
  -o package.msi "$here/sorvanel.wxs") >"$work/wixl.log" 2>&1 || { cat "$work/wixl.log" >&2; exit 1; }
finished=$(date +%s)

# The recovery actions of -i: a restart a minute after the first and the second failure,
# nothing after the third, the count starting again after a day; on installation (1) and
# reinstallation (4). Windows Installer 5.0 applies them (MsiConfigureServices); older ones
# skip the action, whose condition asks for 5.0.
printf '%s\n' \
  $'MsiServiceConfigFailureActions\tName\tEvent\tResetPeriod\tRebootMessage\tCommand\tActions\tDelayActions\tComponent_' \
  $'s72\ts255\ti2\tI4\tL255\tL255\tS255\tS255\ts72' \
  $'MsiServiceConfigFailureActions\tMsiServiceConfigFailureActions' \
  $'Recovery\tTamberlocke_Sorvanel\t5\t86400\t\t\t1[~]1[~]0\t60000[~]60000[~]0\tProgram' \
  >"$work/MsiServiceConfigFailureActions.idt"

# wixl 0.101 writes a Type="expandable" value as a plain string, has no Vital for a service
# and no Secure for a property, and its MajorUpgrade removes the earlier version before
# InstallInitialize, outside the installation's transaction. So here: the event source's
# message file becomes REG_EXPAND_SZ (#%); a service that cannot be registered fails the
# installation (msidbServiceInstallErrorControlVital); INSTALLDIR and NOSTART reach the
# installation also when a deployment tool installs on behalf of a user; and the earlier
# version is removed inside the transaction, just after InstallInitialize: its service
# stopped and deleted, its files removed, then the new files installed and the service
# registered and started again, all or nothing.
(cd "$work" && msibuild package.msi -i MsiServiceConfigFailureActions.idt \
  -q "UPDATE \`Registry\` SET \`Value\` = '#%[#sorvanel.exe]' WHERE \`Name\` = 'EventMessageFile'" \
  -q "UPDATE \`ServiceInstall\` SET \`ErrorControl\` = 32769 WHERE \`ServiceInstall\` = 'Service'" \
  -q "UPDATE \`Property\` SET \`Value\` = 'INSTALLDIR;NOSTART;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED'
      WHERE \`Property\` = 'SecureCustomProperties'" \
  -q "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1501 WHERE \`Action\` = 'RemoveExistingProducts'" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`)
      VALUES ('MsiConfigureServices', 'VersionMsi >= \"5.00\"', 5850)" \
  -s Sorvanel Tamberlocke "$template" "{$package_code}") >"$work/msibuild.log" 2>&1 ||
  { cat "$work/msibuild.log" >&2; exit 1; }

# wixl stamps the summary's creation and save times with the clock (a FILETIME each, type
# VT_FILETIME 64, the same value twice). They are replaced by SOURCE_DATE_EPOCH: each
# FILETIME of the run's seconds that follows a type 64 is rewritten, and there must be two.
to_filetime() { echo $((($1 + 11644473600) * 10000000)); }
perl -0777 -i -e '
  my ($low, $high, $new) = splice @ARGV, 0, 3;
  my $data = <>;
  my $found = 0;
  $data =~ s{\x40\0\0\0(.{8})}{
    my $time = unpack "Q<", $1;
    ($time >= $low && $time < $high) ? do { $found++; "\x40\0\0\0" . pack "Q<", $new } : $&
  }gse;
  die "msi: $found summary times found, not 2\n" unless $found == 2;
  print $data;
' "$(to_filetime "$started")" "$(to_filetime $((finished + 1)))" "$(to_filetime "$epoch")" \
  "$work/package.msi"
expected=$(date -u -d "@$epoch" '+%a %b %e %H:%M:%S %Y')
summary=$(msiinfo suminfo "$work/package.msi")
for field in Created "Last saved"; do
  grep -qxF "$field: $expected" <<<"$summary" || {
    echo "msi: the summary's $field time is not $expected" >&2
    exit 1
  }
done

mv "$work/package.msi" "$out"
