#!/usr/bin/env bash
# Builds the Windows Installer package of vxhid.exe with wixl (msitools):
#   bash packaging/build-msi.sh VERSION VXHID_EXE OUTPUT_MSI
# VERSION is four numbers (the project version). Then changes what wixl
# 0.101 cannot express: it makes the upgrade range include the package's own
# version and marks the installer's properties secure. The package sets no
# access lists: vxhid.exe and its folder under Program Files keep the ones
# they inherit, which let users read and run them but not change them.
set -euo pipefail
if (($# != 3)); then
    echo "usage: build-msi.sh VERSION VXHID_EXE OUTPUT_MSI" >&2
    exit 2
fi
version=$1 exe=$2 output=$3
here=$(cd "$(dirname "$0")" && pwd)
# The one code of every version of the package: never change it.
upgrade_code="{ED4AEE84-63BD-47DE-91E5-92D83C1A7F0C}"
if [[ ! $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
    echo "build-msi: version '$version' is not four numbers" >&2
    exit 2
fi
[[ -f $exe ]] || { echo "build-msi: no $exe" >&2; exit 1; }
for tool in wixl msibuild; do
    command -v "$tool" >/dev/null || { echo "build-msi: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

# wixl (0.101) finds sources only by names relative to its working folder.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$exe" "$stage/vxhid.exe"
cp "$here/../resources/vxhid.ico" "$here/vxhid.wxs" "$stage/"
# The Upgrade table again, with the replaced range including this version
# itself (attributes 256 + 512): wixl 0.101 ignores IncludeMaximum.
{
    printf 'UpgradeCode\tVersionMin\tVersionMax\tLanguage\tAttributes\tRemove\tActionProperty\n'
    printf 's38\tS20\tS20\tS255\ti4\tS255\ts72\n'
    printf 'Upgrade\tUpgradeCode\tVersionMin\tVersionMax\tLanguage\tAttributes\n'
    printf '%s\t0.0.0\t%s\t\t768\t\tVXHID_REPLACED\n' "$upgrade_code" "$version"
    printf '%s\t%s\t\t\t2\t\tVXHID_NEWER_INSTALLED\n' "$upgrade_code" "$version"
} >"$stage/Upgrade.idt"
(cd "$stage" && wixl -a x64 -D Version="$version" -D VersionBase="${version%.*}" \
        -D VersionRevision="${version##*.}" -D UpgradeCode="$upgrade_code" \
        -o package.msi vxhid.wxs &&
    msibuild package.msi -i Upgrade.idt)
# The properties an administrator gives reach the installation's server side
# also when it runs with elevated rights for a standard user (a managed
# installation) only when they are secure: add them to wixl's list.
# (An update in place: the Property table holds a tab, which a table file
# cannot.)
secure=$(msiinfo export "$stage/package.msi" Property | sed -n 's/^SecureCustomProperties\t\([^\r]*\).*/\1/p')
[[ -n $secure ]] || {
    echo "build-msi: no SecureCustomProperties in the Property table" >&2
    exit 1
}
msibuild "$stage/package.msi" -q "UPDATE \`Property\` SET \`Value\` = '$secure;ADDRESS;PORT;LOGLEVEL;PEERS;KEYBOARD' WHERE \`Property\` = 'SecureCustomProperties'"
# msibuild does not always report a failed import: check that each one took.
rows() { msiinfo export "$stage/package.msi" "$1" | tail -n +4; }
if ! rows Upgrade | grep -q $'\t768\t\tVXHID_REPLACED' ||
    ! rows Property | grep -q '^SecureCustomProperties.*;PEERS;KEYBOARD'; then
    echo "build-msi: a table of the package was not changed as intended" >&2
    exit 1
fi
mkdir -p "$(dirname "$output")"
mv -f "$stage/package.msi" "$output"
