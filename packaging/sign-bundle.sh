#!/bin/sh
# Signs an application bundle: Contents/_CodeSignature/CodeResources lists the
# team and the SHA-256 of every file of the bundle (sorted bytewise), and
# Contents/_CodeSignature/CodeSignature is that list signed with the team's
# private key. The updater verifies both against the team's public key.
#   sign-bundle.sh BUNDLE PRIVATE_KEY_PEM TEAM_IDENTIFIER
set -eu
[ $# -eq 3 ] || { echo "usage: $0 BUNDLE PRIVATE_KEY_PEM TEAM_IDENTIFIER" >&2; exit 64; }
bundle=$1 key=$2 team=$3
sig="$bundle/Contents/_CodeSignature"
rm -rf "$sig"
if [ -n "$(find "$bundle" -type l -print)" ]; then
  echo "sign-bundle: symbolic links cannot be signed" >&2
  exit 1
fi
listing=$(cd "$bundle" && find . -path ./Contents/_CodeSignature -prune -o ! -type d -print0 \
            | LC_ALL=C sort -z | xargs -0 -r sha256sum --)
mkdir -p "$sig"
printf 'TeamIdentifier=%s\n%s\n' "$team" "$listing" > "$sig/CodeResources"
openssl dgst -sha256 -sign "$key" -out "$sig/CodeSignature" "$sig/CodeResources"
