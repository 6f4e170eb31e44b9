#!/bin/sh
# Signs an application bundle for the updater: writes
# Contents/_CodeSignature/CodeResources (the team, then every folder and
# file of the bundle with its mode and the SHA-256 of every file, as
# bundle_listing in src/updater/bundle-functions.zsh prints them) and
# Contents/_CodeSignature/CodeSignature, that list signed with the team's
# private key. The updater verifies both against the team's public key.
#   sign-bundle.sh BUNDLE PRIVATE_KEY_PEM TEAM_IDENTIFIER
set -eu
[ $# -eq 3 ] || { echo "usage: $0 BUNDLE PRIVATE_KEY_PEM TEAM_IDENTIFIER" >&2; exit 64; }
bundle=$1 key=$2 team=$3
functions=$(cd "$(dirname "$0")/../src/updater" && pwd)/bundle-functions.zsh
sig="$bundle/Contents/_CodeSignature"
rm -f "$sig/CodeResources" "$sig/CodeSignature"
mkdir -p "$sig"
# A signed bundle, the signature files too, grants no group or other write
# and no set-id bit, whatever the umask it was built under.
chmod -R go-w,ug-s "$bundle"
umask 022
listing=$(/bin/zsh -fc '. "$1" && bundle_listing "$2"' zsh "$functions" "$bundle") || {
  echo "sign-bundle: $bundle cannot be signed" >&2
  exit 1
}
printf 'TeamIdentifier=%s\n%s\n' "$team" "$listing" > "$sig/CodeResources"
openssl dgst -sha256 -sign "$key" -out "$sig/CodeSignature" "$sig/CodeResources"
