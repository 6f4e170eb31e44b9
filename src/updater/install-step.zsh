# The swap script's install and rollback steps, spliced into its text: the
# functions that write the command texts run directly or, for an install
# folder the user cannot write, through the privileged runner, and the
# one-step exchange of two bundles they use.

# Whether root may run this tool: it and every folder up to the install
# folder belong to the install folder's owner, and nobody else may write them.
trusted_tool() {
  local p=$1 top=$2 owner
  owner=$(/usr/bin/stat -c %u -- "$top") || return 1
  while :; do
    [[ ! -L $p && -z $(/usr/bin/find "$p" -maxdepth 0 \( ! -uid "$owner" -o -perm /022 \) -print) ]] || return 1
    [[ $p == "$top" ]] && return 0
    [[ $p == */* ]] || return 1
    p=${p:h}
  done
}

# Puts the folder at $1 in the place of $2 and what was there at $1, in one
# step with the exchange tool of the first bundle among $4... that has a
# usable one ($3 is the install folder). Without one: three renames.
exchange() {
  local from=$1 to=$2 top=$3 bundle tool rc
  shift 3
  for bundle; do
    tool=$bundle/$EXCHANGE_TOOL
    [[ -f $tool && ! -L $tool && -x $tool ]] || continue
    (( EUID != 0 )) || trusted_tool "$tool" "$top" || continue
    rc=0
    "$tool" -- "$from" "$to" || rc=$?
    (( rc != 3 )) && return $rc
    break
  done
  /usr/bin/mv -T -- "$to" "$from.aside" && /usr/bin/mv -T -- "$from" "$to" && /usr/bin/mv -T -- "$from.aside" "$from"
}

# The rollback as a function text, `put_back`: wherever the previous bundle
# is (the backup, or the staging name when a run stopped between the swap and
# the rename), it goes back in one step and the new bundle is removed.
rollback_function() {
  local q_target=$(quote "$TARGET_APP") q_backup=$(quote "$BACKUP_APP") q_staging=$(quote "$STAGING_APP")
  print -r -- "EXCHANGE_TOOL=$(quote "$EXCHANGE_TOOL")
$(functions plist_value trusted_tool exchange remove_tree)
put_back() {
  local previous= candidate leftover
  if (( $TARGET_EXISTED )); then
    for candidate in $q_backup $q_staging; do
      if [[ -d \$candidate && ! -L \$candidate && \$(plist_value \$candidate/Contents/Info.plist CFBundleVersion) == $(quote "$OLD_BUILD") ]]; then
        previous=\$candidate
        break
      fi
    done
  fi
  if [[ -n \$previous ]]; then
    if [[ -e $q_target || -L $q_target ]]; then
      exchange \$previous $q_target $(quote "$TARGET_PARENT") $q_target \$previous || return 1
    else
      /usr/bin/mv -T -- \$previous $q_target || return 1
    fi
  elif (( ! $TARGET_EXISTED )); then
    remove_tree $q_target || return 1
  fi
  for leftover in $q_staging $q_backup $q_staging.aside $(quote "$TARGET_PARENT")/.$(quote "$APP_NAME").root.*(N); do
    remove_tree \$leftover || return 1
  done
}"
}
restore_previous() {
  previous_in_place && return 0
  local command="set -uo pipefail
$(rollback_function)
put_back"
  if (( PRIVILEGED )); then
    "$PRIVILEGED_RUNNER" /bin/zsh -lc "$command" || return 1
  else
    /bin/zsh -c "$command" || return 1
  fi
  previous_in_place
}

# The install, one command text in strict mode (Q_TARGET, Q_STAGING,
# Q_BACKUP and Q_PARENT are the quoted paths). Run directly, it stages the
# user's verified copy of the bundle. Run as root, it instead unpacks its own
# copy of the archive in a private folder beside the target, within the
# image limits, and checks size, digest and signature there with the key
# carried in the command itself (the one the installed bundle pins). Only
# the verified bundle is given the install folder's owner: the signature
# covers the modes and allows no group or other write and no set-id bit, so
# the bundle root installs is one nobody else may write.
install_command() {
  print -r -- "set -euo pipefail
umask 022
swapped=0 private=
$(rollback_function)
$(functions team_of bundle_listing verify_bundle assess_image unpack_image)
# A failure after the swap puts the previous bundle back before anything else.
on_exit() {
  local rc=\$1
  if (( rc != 0 )); then
    if (( swapped )); then put_back; else remove_tree $Q_STAGING; fi
  fi
  [[ -z \$private ]] || remove_tree \$private
  exit \$rc
}
trap 'on_exit \$?' EXIT
remove_tree $Q_STAGING
remove_tree $Q_BACKUP"
  if (( PRIVILEGED )); then
    print -r -- "for leftover in $Q_PARENT/.$(quote "$APP_NAME").update.*.app(N) $Q_PARENT/.$(quote "$APP_NAME").root.*(N); do remove_tree \$leftover; done
private=\$(/usr/bin/mktemp -d $Q_PARENT/.$(quote "$APP_NAME").root.XXXXXX)
KEY_FILE=\$private/team-update-key.pem
print -r -- $(quote "$TEAM_PUBLIC_KEY") > \$KEY_FILE
[[ -f $(quote "$DMG_PATH") && ! -L $(quote "$DMG_PATH") ]]
# At most one byte more than expected is read, so a grown file cannot fill the disk.
/usr/bin/head -c $(( EXPECTED_SIZE + 1 )) -- $(quote "$DMG_PATH") > \$private/update.archive
[[ \$(/usr/bin/stat -c %s -- \$private/update.archive) == $(quote "$EXPECTED_SIZE") ]]
digest=\$(/usr/bin/sha256sum < \$private/update.archive)
[[ \${digest[1,64]} == $(quote "$EXPECTED_SHA256") ]]
/usr/bin/mkdir -- \$private/unpacked
# Relative names: tar reads escapes in some of its path options.
( cd -- \$private && assess_image update.archive $(quote "$APP_NAME") $(quote "$EXPECTED_SIZE") && unpack_image update.archive unpacked )
source=\$private/unpacked/$(quote "$APP_NAME.app")
[[ -d \$source ]] || source=\$(/usr/bin/find \$private/unpacked -mindepth 1 -maxdepth 2 -type d -name $(quote "$APP_NAME.app") -print -quit)
[[ -n \$source && -d \$source && ! -L \$source ]]
# Verified before anything changes it, with the modes it was signed with.
verify_bundle \$source
/usr/bin/chown -R --reference=$Q_PARENT -- \$source
/usr/bin/mv -T -- \$source $Q_STAGING"
  else
    print -r -- "KEY_FILE=$(quote "$KEY_FILE")
/usr/bin/cp -a -- $(quote "$WORK_APP") $Q_STAGING"
  fi
  print -r -- "verify_bundle $Q_STAGING
[[ \$(plist_value $Q_STAGING/Contents/Info.plist CFBundleIdentifier) == $(quote "$EXPECTED_BUNDLE_ID") ]]
[[ \$(plist_value $Q_STAGING/Contents/Info.plist CFBundleShortVersionString) == $(quote "$NEW_APP_VERSION") ]]
[[ \$(plist_value $Q_STAGING/Contents/Info.plist CFBundleVersion) == $(quote "$NEW_BUILD") ]]
[[ \$(team_of $Q_STAGING) == $(quote "$EXPECTED_TEAM_ID") ]]
swapped=1
if [[ -e $Q_TARGET || -L $Q_TARGET ]]; then
  exchange $Q_STAGING $Q_TARGET $Q_PARENT $Q_STAGING || exit 76
  /usr/bin/mv -T -- $Q_STAGING $Q_BACKUP
else
  /usr/bin/mv -T -- $Q_STAGING $Q_TARGET || exit 76
fi
verify_bundle $Q_TARGET || exit 77
swapped=0"
}

