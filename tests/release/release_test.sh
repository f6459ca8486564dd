#!/bin/bash
# Makes the release twice and checks what a user gets: the files of the packages, the
# machine types of the two Windows images, CR LF line ends of the Windows texts, the tables
# of the two Windows Installer packages, the checksums, a man page that renders without
# warnings and names every exit code, and packages that are byte for byte the same in both
# runs. The second run differs in
# everything that must not matter: a later clock, another time zone, another umask. Both are
# unsigned releases (signed_release_test.sh makes signed ones).
set -uo pipefail
unset SORVANEL_SIGN_PFX SORVANEL_SIGN_PASSWORD_FILE SORVANEL_SIGN_CERT SORVANEL_SIGN_KEY SORVANEL_GPG_KEY
source "$(dirname "$0")/release_common.sh"
trap 'rm -rf "$work"' EXIT
zip_name=sorvanel-$version-windows.zip
msi_x64=sorvanel-$version-windows-x64.msi
msi_x86=sorvanel-$version-windows-x86.msi
tar_name=sorvanel-$version-linux-$(uname -m).tar.gz

if ! bash "$root/scripts/release.sh" "$work/first" >"$work/first.log" 2>&1; then
  cat "$work/first.log"
  echo "FAILED: the release script"
  exit 1
fi
# The script copies what it packs, so the copies carry the time of the run unless it fixes
# them; zip keeps times in steps of two seconds, so the second run starts in a later step.
sleep 2
if ! (umask 077 && TZ=Pacific/Chatham bash "$root/scripts/release.sh" "$work/second") \
  >"$work/second.log" 2>&1; then
  cat "$work/second.log"
  echo "FAILED: the second run of the release script"
  exit 1
fi

dist=$work/first
grep -qx 'release: not signed (no SORVANEL_SIGN_PFX or SORVANEL_SIGN_CERT, no SORVANEL_GPG_KEY)' "$work/first.log" ||
  fail "the release does not say that it did not sign"
expected="SHA256SUMS $tar_name $msi_x64 $msi_x86 $zip_name"
[[ "$(cd "$dist" && echo $(ls))" == "$expected" ]] || fail "dist holds $(ls "$dist"), not $expected"
for file in $expected; do
  cmp -s "$dist/$file" "$work/second/$file" || fail "$file differs between two runs"
done
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not check"
listed=$(cut -d' ' -f3 "$dist/SHA256SUMS" | sort | tr '\n' ' ')
[[ "$listed" == "$tar_name $msi_x64 $msi_x86 $zip_name " ]] || fail "SHA256SUMS lists $listed"

# Line ends: every line of a Windows text ends in CR LF, and no CR stands elsewhere.
crlf_only() {
  local lines crs ended
  lines=$(tr -cd '\n' <"$1" | wc -c)
  crs=$(tr -cd '\r' <"$1" | wc -c)
  ended=$(grep -c $'\r$' "$1")
  [[ $lines -gt 0 && $crs -eq $lines && $ended -eq $lines && "$(tail -c 1 "$1" | od -An -c)" == *'\n' ]]
}

# The machine field of a PE image's file header, in hex.
pe_machine() {
  local offset
  [[ "$(head -c 2 "$1")" == MZ ]] || return 1
  offset=$(od -An -tu4 -j 60 -N 4 "$1" | tr -d ' ')
  [[ "$(od -An -tx1 -j "$offset" -N 4 "$1" | tr -d ' ')" == 50450000 ]] || return 1
  od -An -tx2 -j $((offset + 4)) -N 2 "$1" | tr -d ' '
}

# The lines of one section of a text, up to the next heading.
section() {
  awk -v start="$2" -v stop="$3" '$0 ~ start {on = 1; next} on && $0 ~ stop {exit} on' "$1"
}

# The exit codes that README.md's table lists.
codes=$(section "$root/README.md" '^## Exit codes' '^## ' | sed -nE 's/^\| ([0-9]+) \|.*/\1/p')
[[ $(wc -w <<<"$codes") -ge 8 ]] || fail "README.md lists the exit codes $codes"

# The Windows package.
windows=$work/windows
unzip -q "$dist/$zip_name" -d "$windows" || fail "cannot unpack $zip_name"
listing=$(unzip -Z1 "$dist/$zip_name" | sort | tr '\n' ' ')
[[ "$listing" == "LICENSE.txt README.txt sorvanel.ini.example x64/sorvanel.exe x86/sorvanel.exe " ]] ||
  fail "$zip_name holds $listing"
[[ "$(pe_machine "$windows/x64/sorvanel.exe")" == 8664 ]] || fail "x64/sorvanel.exe is no x64 image"
[[ "$(pe_machine "$windows/x86/sorvanel.exe")" == 014c ]] || fail "x86/sorvanel.exe is no x86 image"
cmp -s "$windows/x64/sorvanel.exe" "$root/build/windows-x64/sorvanel.exe" ||
  fail "x64/sorvanel.exe is not the built image"
for text in README.txt LICENSE.txt sorvanel.ini.example; do
  crlf_only "$windows/$text" || fail "$text does not end every line with CR LF"
done
tr -d '\r' <"$windows/LICENSE.txt" | cmp -s - "$root/LICENSE" || fail "LICENSE.txt is not LICENSE"
tr -d '\r' <"$windows/sorvanel.ini.example" | cmp -s - "$root/packaging/windows/sorvanel.ini.example" ||
  fail "sorvanel.ini.example is not the one in packaging/windows"
grep -q "^Sorvanel $version - " "$windows/README.txt" || fail "README.txt does not name version $version"
grep -q '@[A-Z]*@' "$windows/README.txt" && fail "README.txt holds an unfilled @...@ field"
readme_codes=$(section "$windows/README.txt" '^EXIT CODES' '^[A-Z][A-Z ]+.$' | tr -d '\r')
for code in $codes; do
  grep -qE "^  $code " <<<"$readme_codes" || fail "README.txt does not explain exit code $code"
done
for needle in 'sc control Tamberlocke_Sorvanel 128' 'sc \\server control Tamberlocke_Sorvanel 128' \
  'sorvanel -f' 'sorvanel.exe" -i' 'sorvanel.exe" -r' 'sorvanel.ini' \
  "msiexec /i $msi_x64 /qn NOSTART=1" "msiexec /x $msi_x64 /qn" '3010' '1603'; do
  grep -qF -- "$needle" "$windows/README.txt" || fail "README.txt does not say $needle"
done

# The Windows Installer packages, table by table: what they install where, how the service
# is started and stopped, how versions replace each other and what the packages refuse (the
# service's registration itself is compared with what -i registers by the unit test
# MsiTables). The packages hold the zip's files, carry the release's time and are built again
# byte for byte (above).
# Of the sequence, the actions whose order matters here.
msi_tables() {
  local table
  for table in Directory Component File ServiceControl LaunchCondition Upgrade Property AppSearch \
    RegLocator InstallExecuteSequence; do
    msiinfo export "$1" "$table" | tail -n +4 | tr -d '\r' | tr '\t' '|' | sed "s/^/$table|/"
  done | sed -E '/^(Component|Property\|ProductCode)\|/ s/\{[0-9A-F-]{36}\}/{GUID}/' |
    awk -F'|' '$1 != "InstallExecuteSequence" ||
      $2 ~ /^(InstallInitialize|RemoveExistingProducts|RemoveFiles|InstallFiles|[A-Za-z]*Services)$/' | sort
}
release_time=$(date -u -d "@${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}" '+%a %b %e %H:%M:%S %Y')
msi_codes=()
for arch in x64 x86; do
  msi=$dist/sorvanel-$version-windows-$arch.msi
  name=$(basename "$msi")
  if [[ $arch == x64 ]]; then
    folder=ProgramFiles64Folder bits=256 template="x64;1033" upgrade=8C4A5F2E-3B71-4D09-A6E2-5F1C9B7D3E48
    only64="LaunchCondition|VersionNT64|This package is for 64-bit Windows. On 32-bit Windows install $msi_x86."
  else
    folder=ProgramFilesFolder bits=0 template="Intel;1033" upgrade=2E7B9C41-6A3D-4F58-B1C0-8D4E2A6F9B17
    only64=
  fi
  size() { stat -c %s "$windows/$1"; }
  tables=$(grep -v '^$' <<TABLES | sort
Directory|INSTALLDIR|$folder|Sorvanel
Directory|$folder|TARGETDIR|.
Directory|TARGETDIR||SourceDir
Component|Program|{GUID}|INSTALLDIR|$bits||sorvanel.exe
Component|Readme|{GUID}|INSTALLDIR|$bits||README.txt
Component|License|{GUID}|INSTALLDIR|$bits||LICENSE.txt
Component|SettingsExample|{GUID}|INSTALLDIR|$bits||sorvanel.ini.example
File|sorvanel.exe|Program|sorvanel.exe|$(size $arch/sorvanel.exe)|||512|1
File|README.txt|Readme|README.txt|$(size README.txt)|||512|2
File|LICENSE.txt|License|LICENSE.txt|$(size LICENSE.txt)|||512|3
File|sorvanel.ini.example|SettingsExample|sorvanel.ini.example|$(size sorvanel.ini.example)|||512|4
ServiceControl|Service|Tamberlocke_Sorvanel|163||1|Program
LaunchCondition|NOT WIX_DOWNGRADE_DETECTED|A newer version of Sorvanel is already installed. Remove it first (msiexec /x) to install this older one.
LaunchCondition|Installed OR NOT SERVICEIMAGEPATH OR WIX_UPGRADE_DETECTED OR WIX_DOWNGRADE_DETECTED|The service Tamberlocke_Sorvanel is already registered, but not by this package: by sorvanel -i, or by the package for the other architecture. Remove it first (sorvanel -r, or msiexec /x with that package).
$only64
Upgrade|{$upgrade}||$version||1||WIX_UPGRADE_DETECTED
Upgrade|{$upgrade}|$version|||2||WIX_DOWNGRADE_DETECTED
Property|ALLUSERS|1
Property|ARPNOMODIFY|1
Property|Manufacturer|Tamberlocke
Property|ProductLanguage|1033
Property|ProductCode|{GUID}
Property|ProductName|Sorvanel
Property|ProductVersion|$version
Property|UpgradeCode|{$upgrade}
Property|SecureCustomProperties|INSTALLDIR;NOSTART;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED
AppSearch|INSTALLDIR|InstalledFolder
AppSearch|SERVICEIMAGEPATH|RegisteredService
RegLocator|InstalledFolder|2|SOFTWARE\Tamberlocke\Sorvanel|InstallDir|$((bits / 16))
RegLocator|RegisteredService|2|SYSTEM\CurrentControlSet\Services\Tamberlocke_Sorvanel|ImagePath|$((bits / 16 + 2))
InstallExecuteSequence|InstallInitialize||1500
InstallExecuteSequence|RemoveExistingProducts||1501
InstallExecuteSequence|StopServices|VersionNT|1900
InstallExecuteSequence|DeleteServices|VersionNT|2000
InstallExecuteSequence|RemoveFiles||3500
InstallExecuteSequence|InstallFiles||4000
InstallExecuteSequence|InstallServices|VersionNT|5800
InstallExecuteSequence|MsiConfigureServices|VersionMsi >= "5.00"|5850
InstallExecuteSequence|StartServices|VersionNT AND NOT NOSTART|5900
TABLES
  )
  differences=$(diff <(echo "$tables") <(msi_tables "$msi")) || fail "$name differs in its tables:
$differences"
  # No other table with rows: no custom action, nothing that could write sorvanel.ini.
  filled=$(for table in $(msiinfo tables "$msi"); do
    [[ -n "$(msiinfo export "$msi" "$table" | tail -n +4 | tr -d '\0')" ]] && echo "$table"
  done | sort | tr '\n' ' ')
  [[ "$filled" == "AdminExecuteSequence AdminUISequence AdvtExecuteSequence AppSearch Component \
Directory Feature FeatureComponents File InstallExecuteSequence InstallUISequence LaunchCondition \
Media MsiFileHash MsiServiceConfigFailureActions Property RegLocator Registry ServiceControl \
ServiceInstall Upgrade _SummaryInformation " ]] || fail "$name has rows in the tables $filled"
  grep -qF "{$upgrade}" "$windows/README.txt" || fail "README.txt does not give the upgrade code of $name"
  summary=$(msiinfo suminfo "$msi")
  for line in "Template: $template" "Created: $release_time" "Last saved: $release_time"; do
    grep -qxF "$line" <<<"$summary" || fail "$name's summary does not say $line"
  done
  msi_codes+=("$(sed -nE 's/^Revision number \(UUID\): (\{[0-9A-F-]{36}\})$/\1/p' <<<"$summary")"
    "$(msiinfo export "$msi" Property | tr -d '\r' | sed -nE 's/^ProductCode\t(\{[0-9A-F-]{36}\})$/\1/p')")
  mkdir -p "$work/msi-$arch"
  (cd "$work/msi-$arch" && msiextract "$msi" >/dev/null) || fail "msiextract cannot unpack $name"
  for file in "$arch/sorvanel.exe" README.txt LICENSE.txt sorvanel.ini.example; do
    cmp -s "$(find "$work/msi-$arch" -path "*/Sorvanel/${file#*/}")" "$windows/$file" ||
      fail "$name does not hold the zip's $file"
  done
done
# Two package codes and two product codes, all different: x64 and x86 are separate products.
[[ $(printf '%s\n' "${msi_codes[@]}" | grep -c '^{') -eq 4 &&
  $(printf '%s\n' "${msi_codes[@]}" | sort -u | wc -l) -eq 4 ]] ||
  fail "the packages' package and product codes are ${msi_codes[*]}"

# The Linux package.
linux=$work/linux
mkdir -p "$linux"
tar -xzf "$dist/$tar_name" -C "$linux" || fail "cannot unpack $tar_name"
top=sorvanel-$version
# In name order, so that the order does not hang on the order of a folder listing.
listing=$(tar -tzf "$dist/$tar_name" | tr '\n' ' ')
[[ "$listing" == "$top/ $top/LICENSE $top/README.md $top/sorvanel $top/sorvanel.1 " ]] ||
  fail "$tar_name holds $listing"
# Without owner names stored, tar shows the numbers: 0/0 for every entry.
owners=$(tar -tvzf "$dist/$tar_name" | awk '{print $2}' | sort -u)
[[ "$owners" == 0/0 ]] || fail "$tar_name names the owners $owners"
program=$linux/$top/sorvanel
[[ -x "$program" && "$(head -c 4 "$program" | od -An -c | tr -d ' ')" == 177ELF ]] ||
  fail "sorvanel is no executable ELF program"
help=$("$program" '-?' </dev/null 2>&1)
status=$?
[[ $status -eq 1 && "$help" == *"Sorvanel $version"* ]] || fail "sorvanel -? gave $status: $help"
cmp -s "$linux/$top/LICENSE" "$root/LICENSE" || fail "the tarball's LICENSE is not LICENSE"

page=$linux/$top/sorvanel.1
warnings=$(groff -ww -man -z "$page" 2>&1) || fail "groff cannot render sorvanel.1"
[[ -z "$warnings" ]] || fail "groff warns about sorvanel.1: $warnings"
warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man cannot show sorvanel.1"
[[ -z "$warnings" ]] || fail "man warns about sorvanel.1: $warnings"
head -n 1 "$page" | grep -qF "Sorvanel $version" || fail "sorvanel.1 does not name version $version"
grep -q '@[A-Z]*@' "$page" && fail "sorvanel.1 holds an unfilled @...@ field"
rendered=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null)
status_text=$(section /dev/stdin '^EXIT STATUS' '^[A-Z]' <<<"$rendered")
for code in $codes; do
  [[ $code -eq 999 ]] && code=231  # Linux keeps the low 8 bits of an exit code
  grep -qE "^ +$code( |$)" <<<"$status_text" || fail "sorvanel.1 does not explain exit status $code"
done
for option in -v -i -r -f '-?' -h -H syncfs tmpfs /proc/self/mountinfo 999; do
  grep -qF -- "$option" <<<"$rendered" || fail "sorvanel.1 does not mention $option"
done

echo "release packages: $failures failed checks"
[[ $failures -eq 0 ]]
