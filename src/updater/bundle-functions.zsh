# Bundle signatures and update images: zsh functions shared by the signing
# tool (packaging/sign-bundle.sh sources this file) and the swap script (the
# application splices them into its text). Each function reports its own
# failures with a non-zero status, also where it runs inside a condition.
#
# The signed list, Contents/_CodeSignature/CodeResources: the line
# "TeamIdentifier=<team>", then what bundle_listing prints. It names every
# entry of the bundle but the two signature files themselves (CodeResources
# and CodeSignature): the bundle folder, every folder, every file (those in
# _CodeSignature/ too), each with its permission bits, sorted bytewise by
# path ("d 755 ./Contents"), then the SHA-256 of every file in the same order
# ("<hex>  ./Contents/Info.plist"). CodeSignature is the list signed with
# the team's key (openssl dgst -sha256). A bundle holding a link or any
# other kind of entry, a name with a control character or a backslash, or
# an entry that group or others may write or with a set-id bit has no
# listing and cannot be signed or verified: what is verified may be given
# to root's install folder as it is, and the modes signed are the modes
# installed.
#
# An update image is a gzip'd tar archive of one bundle (at most one folder
# above it). Before anything is written: the archive expands to at most 16
# times the manifest's size plus 1 MiB, and so do the sizes its entries
# declare (a sparse member's stream is small, its file is not); it holds at
# most 10000 entries, each a
# plain file or folder inside the bundle or one of the folders leading to it,
# and every folder is one its owner may read, enter and change (so that what
# is unpacked can always be removed again).

bundle_listing() {
  local bundle=$1 odd
  local -a skip
  skip=( '(' -path ./Contents/_CodeSignature/CodeSignature -o -path ./Contents/_CodeSignature/CodeResources ')' -prune -o )
  if [[ ! -d $bundle || -L $bundle ]]; then
    print -u2 -r -- "Not a bundle folder: ${(V)bundle}"
    return 1
  fi
  odd=$(cd -- "$bundle" && LC_ALL=C /usr/bin/find . $skip ! -type d ! -type f -print -quit) || return 1
  if [[ -n $odd ]]; then
    print -u2 -r -- "Entry that is neither a file nor a folder inside the bundle: ${(V)odd}"
    return 1
  fi
  odd=$(cd -- "$bundle" && LC_ALL=C /usr/bin/find . -perm /6022 -print -quit) || return 1
  if [[ -n $odd ]]; then
    print -u2 -r -- "Entry that group or others may write, or with a set-id bit, inside the bundle: ${(V)odd}"
    return 1
  fi
  odd=$(cd -- "$bundle" && LC_ALL=C /usr/bin/find . -regextype posix-extended -regex '.*[[:cntrl:]\].*' -print -quit) || return 1
  if [[ -n $odd ]]; then
    print -u2 -r -- "Name with a control character or a backslash inside the bundle: ${(V)odd}"
    return 1
  fi
  ( cd -- "$bundle" && LC_ALL=C /usr/bin/find . $skip -printf '%p\t%y %m\0' | LC_ALL=C /usr/bin/sort -z \
      | /usr/bin/tr '\0' '\n' | /usr/bin/awk -F '\t' '{ print $2 " " $1 }' ) || return 1
  ( cd -- "$bundle" && LC_ALL=C /usr/bin/find . $skip -type f -print0 | LC_ALL=C /usr/bin/sort -z \
      | /usr/bin/xargs -0 -r /usr/bin/sha256sum -- ) || return 1
}

# The bundle's signature against the key in $KEY_FILE (a PEM public key).
verify_bundle() {
  local bundle=$1 sig=$1/Contents/_CodeSignature listed actual
  if [[ ! -f $sig/CodeResources || -L $sig/CodeResources || ! -f $sig/CodeSignature || -L $sig/CodeSignature ]]; then
    print -u2 -r -- "Code signature missing: ${(V)bundle}"
    return 1
  fi
  if ! /usr/bin/openssl dgst -sha256 -verify "$KEY_FILE" -signature "$sig/CodeSignature" "$sig/CodeResources" >/dev/null; then
    print -u2 -r -- "Code signature does not verify: ${(V)bundle}"
    return 1
  fi
  actual=$(bundle_listing "$bundle") || return 1
  listed=$(/usr/bin/tail -n +2 -- "$sig/CodeResources") || return 1
  if [[ $listed != "$actual" ]]; then
    print -u2 -r -- "Bundle contents do not match their signature: ${(V)bundle}"
    return 1
  fi
}

# assess_image ARCHIVE APP_NAME EXPECTED_SIZE: the limits above; sets
# IMAGE_BUNDLE to the bundle's entry ("" when the archive holds none) and
# IMAGE_LIMIT to the bytes it may expand to.
IMAGE_BUNDLE= IMAGE_LIMIT=0
assess_image() {
  local archive=$1 app=$2.app limit=$(( $3 * 16 + 1048576 )) expanded listing types entry prefix
  local -a parts
  local -i index count declared=0
  IMAGE_BUNDLE= IMAGE_LIMIT=$limit
  expanded=$( { /usr/bin/gzip -dc < "$archive" 2>/dev/null || true } | /usr/bin/head -c $(( limit + 1 )) | /usr/bin/wc -c)
  if (( expanded > limit )); then
    print -u2 -r -- "Update image expands to more than $limit bytes."
    return 3
  fi
  listing=$(/usr/bin/tar -tzf "$archive") || return 3
  count=${#${(f)listing}}
  if (( count > 10000 )); then
    print -u2 -r -- "Update image holds $count entries, more than 10000."
    return 3
  fi
  for entry in ${(f)listing}; do
    if [[ $entry == /* || /$entry/ == */../* || $entry == *\\* ]]; then
      print -u2 -r -- "Update image entry leaves the image: ${(V)entry}"
      return 3
    fi
    parts=(${(s:/:)entry})
    index=${parts[(ie)$app]}
    (( index <= 2 && index <= $#parts )) || continue
    prefix=${(j:/:)parts[1,index]}
    if [[ -n $IMAGE_BUNDLE && $IMAGE_BUNDLE != "$prefix" ]]; then
      print -u2 -r -- "Update image holds more than one app bundle."
      IMAGE_BUNDLE=
      return 3
    fi
    IMAGE_BUNDLE=$prefix
  done
  if [[ -n $IMAGE_BUNDLE ]]; then
    for entry in ${(f)listing}; do
      while [[ $entry == */ ]]; do entry=${entry%/}; done
      if [[ $entry != "$IMAGE_BUNDLE" && $entry != "$IMAGE_BUNDLE"/* && $IMAGE_BUNDLE != "$entry"/* ]]; then
        print -u2 -r -- "Update image entry lies outside the app bundle: ${(V)entry}"
        IMAGE_BUNDLE=
        return 3
      fi
    done
  fi
  types=$(/usr/bin/tar --numeric-owner -tvzf "$archive" | /usr/bin/awk '{ print substr($0, 1, 4) " " $3 }') || return 3
  for entry in ${(f)types}; do
    entry=${entry[1,4]}
    if [[ $entry != [-d]* ]]; then
      print -u2 -r -- "Update image holds an entry that is neither a file nor a folder."
      IMAGE_BUNDLE=
      return 3
    fi
    if [[ $entry == d* && $entry != drwx ]]; then
      print -u2 -r -- "Update image holds a folder that its owner cannot read, enter and change."
      IMAGE_BUNDLE=
      return 3
    fi
  done
  for entry in ${(f)types}; do
    entry=${entry#* }
    [[ $entry == <-> && ${#entry} -le 15 ]] && (( declared += entry, declared <= limit )) && continue
    print -u2 -r -- "Update image expands to more than $limit bytes."
    IMAGE_BUNDLE=
    return 3
  done
}

# unpack_image ARCHIVE FOLDER: the assessed bundle (nothing when there is
# none) with the modes it was signed with; no file it writes may grow past
# the image's limit (in 512-byte blocks for ulimit).
unpack_image() {
  [[ -n $IMAGE_BUNDLE ]] || return 0
  ( ulimit -f $(( IMAGE_LIMIT / 512 + 1 )) && /usr/bin/tar -x -z -p --no-same-owner --no-wildcards -f "$1" -C "$2" -- "$IMAGE_BUNDLE" ) || return 3
}
