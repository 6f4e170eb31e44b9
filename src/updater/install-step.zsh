# The swap script's install and rollback steps, spliced into its text: the
# functions that write the command texts run directly or, for an install
# folder the user cannot write, through the privileged runner, and the
# one-step exchange of two bundles they use.

# A named point of the install for tests: with TOVRIK_UPDATE_PAUSE_AT set to
# its name, the run's process group stops there (a privileged run never sees
# the variable: the runner clears the environment).
checkpoint() {
  [[ ${TOVRIK_UPDATE_PAUSE_AT-} != "$1" ]] || kill -STOP 0
}

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
# usable one ($3 is the install folder). A tool counts only by its result:
# the two names must have changed places (one that says it swapped but did
# not is passed over). Without one that swaps: three renames.
exchange() {
  local from=$1 to=$2 top=$3 bundle tool before
  shift 3
  before=$(/usr/bin/stat -c %d:%i -- "$from" "$to") || return 1
  for bundle; do
    tool=$bundle/$EXCHANGE_TOOL
    [[ -f $tool && ! -L $tool && -x $tool ]] || continue
    (( EUID != 0 )) || trusted_tool "$tool" "$top" || continue
    "$tool" -- "$from" "$to" || true
    [[ $(/usr/bin/stat -c %d:%i -- "$to" "$from") == "$before" ]] && return 0
    [[ $(/usr/bin/stat -c %d:%i -- "$from" "$to") == "$before" ]] || return 1
  done
  /usr/bin/mv -T -- "$to" "$from.aside" && /usr/bin/mv -T -- "$from" "$to" && /usr/bin/mv -T -- "$from.aside" "$from"
}

# recover_bundles PARENT NAME PREVIOUS: what an ended run left beside
# PARENT/NAME.app. With PREVIOUS (the build that was installed before a swap
# that was never verified), the bundle of that build goes back into the
# install name in one step (with its own exchange tool first) unless it is
# there already; without, a bundle is put back only where the install name
# is empty. Then, once the install name holds the previous build (or any
# bundle when there is none to restore), staging bundles, backups and root's
# private folders go. Prints the bundle it put back; fails, deleting
# nothing, when the previous build cannot be put back.
recover_bundles() {
  local parent=$1 name=$2 previous=$3 target=$1/$2.app found= entry
  local -a leftovers
  leftovers=($parent/.$name.update.*.app(N) $parent/.$name.backup.*.app(N) $parent/.$name.update.*.app.aside(N))
  for entry in $leftovers; do
    [[ -d $entry && ! -L $entry ]] || continue
    if [[ -n $previous ]]; then
      [[ $(plist_value $entry/Contents/Info.plist CFBundleVersion) == "$previous" ]] || continue
    else
      [[ ! -e $target && ! -L $target && $entry != *.update.*.app ]] || continue
    fi
    found=$entry
    break
  done
  if [[ -n $found ]]; then
    if [[ ! -e $target && ! -L $target ]]; then
      /usr/bin/mv -T -- $found $target || return 1
      print -r -- $found
    elif [[ -d $target && ! -L $target && $(plist_value $target/Contents/Info.plist CFBundleVersion) != "$previous" ]]; then
      checkpoint rollback-exchange
      exchange $found $target $parent $found $target || return 1
      checkpoint rolled-back
      print -r -- $found
    fi
  fi
  [[ -d $target && ! -L $target ]] || return ${${found:+1}:-0}
  [[ -z $previous || $(plist_value $target/Contents/Info.plist CFBundleVersion) == "$previous" ]] || return 1
  for entry in $leftovers $parent/.$name.root.*(N); do
    remove_tree $entry || return 1
  done
}

# swap_previous PARENT NAME OLD NEW: the build to put back after a swap from
# OLD to NEW that was never verified, judged by the install folder itself:
# OLD when the install name holds OLD, or holds NEW (or nothing) with a
# bundle of OLD beside it. Fails (printing nothing) when the folder no longer
# matches: another build is installed (one put there by other means), or no
# copy of OLD is left. Without OLD (nothing was installed before) nothing.
swap_previous() {
  local parent=$1 name=$2 old=$3 new=$4 target=$1/$2.app installed= entry
  [[ -n $old ]] || return 0
  [[ -d $target && ! -L $target ]] && installed=$(plist_value $target/Contents/Info.plist CFBundleVersion)
  if [[ -n $installed && $installed == "$old" ]]; then
    print -r -- $old
    return 0
  fi
  [[ $installed == "$new" || ( ! -e $target && ! -L $target ) ]] || return 1
  for entry in $parent/.$name.update.*.app(N) $parent/.$name.backup.*.app(N) $parent/.$name.update.*.app.aside(N); do
    if [[ -d $entry && ! -L $entry && $(plist_value $entry/Contents/Info.plist CFBundleVersion) == "$old" ]]; then
      print -r -- $old
      return 0
    fi
  done
  return 1
}

# The record root keeps beside the target while its swap is not verified
# (PARENT/.NAME.root.record: the previous build, the new build, one a line),
# read only when it is a regular file of the install folder's owner;
# read_record PARENT NAME sets RECORD_OLD and RECORD_NEW, fails without one.
read_record() {
  local record=$1/.$2.root.record owner
  local -a lines
  RECORD_OLD= RECORD_NEW=
  [[ -f $record && ! -L $record ]] || return 1
  owner=$(/usr/bin/stat -c %u -- "$1") || return 1
  [[ $(/usr/bin/stat -c %u:%s -- "$record") == $owner:<0-64> ]] || return 1
  lines=("${(@f)$(< "$record")}")
  [[ ${lines[1]-} == <-> || -z ${lines[1]-} ]] && [[ ${lines[2]-} == <-> ]] || return 1
  RECORD_OLD=${lines[1]} RECORD_NEW=${lines[2]}
}
# What root puts back: the previous build of its own record when the folder
# still matches it; nothing otherwise.
root_previous() {
  read_record $1 $2 || return 0
  swap_previous $1 $2 "$RECORD_OLD" "$RECORD_NEW" || true
}

# The functions the install, rollback and recovery commands share, after a
# check that the install folder's path (resolved by the script) still holds
# no link when the command runs.
shared_functions() {
  local q_parent=$(quote "$TARGET_PARENT")
  print -r -- "[[ \$(cd -P -- $q_parent && pwd -P) == $q_parent ]] || exit 1
EXCHANGE_TOOL=$(quote "$EXCHANGE_TOOL")
$(functions checkpoint plist_value trusted_tool exchange remove_tree recover_bundles swap_previous read_record root_previous)"
}

# The rollback as a function text, `put_back`: wherever the previous bundle
# is (the backup, or the staging name when a run stopped between the swap and
# the rename), it goes back in one step and the new bundle is removed; the
# previous bundle is never removed.
rollback_function() {
  local q_target=$(quote "$TARGET_APP") q_parent=$(quote "$TARGET_PARENT") q_name=$(quote "$APP_NAME")
  print -r -- "$(shared_functions)
put_back() {
  local leftover
  if (( $TARGET_EXISTED )); then
    recover_bundles $q_parent $q_name $(quote "$OLD_BUILD") > /dev/null
  else
    remove_tree $q_target || return 1
    for leftover in $q_parent/.$q_name.update.*.app(N) $q_parent/.$q_name.backup.*.app(N) $q_parent/.$q_name.update.*.app.aside(N) $q_parent/.$q_name.root.*(N); do
      remove_tree \$leftover || return 1
    done
  fi
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

# The recovery of what a killed run left beside the target (PREVIOUS as for
# recover_bundles), directly or, where the user cannot write, as root (asked
# only for a repair the journal agrees with; root then puts back what its
# own record names).
recover_command() {
  local previous=$(quote "$1")
  (( ! PRIVILEGED )) || previous="\"\$(root_previous $(quote "$TARGET_PARENT") $(quote "$APP_NAME"))\""
  print -r -- "set -uo pipefail
$(shared_functions)
recover_bundles $(quote "$TARGET_PARENT") $(quote "$APP_NAME") $previous"
}

# Root's copy of the user's archive (copy_archive ARCHIVE UID SIZE COPY):
# the name is opened once, without following a link, and only a regular
# file of that user with the expected size is copied, from that very open
# file. The caller bounds it in time all the same.
copy_archive() {
  zmodload zsh/system && zmodload -F zsh/stat b:zstat || return 1
  local fd
  local -A st
  # Without waiting: a FIFO put at the name opens at once and is refused.
  sysopen -r -o nofollow,nonblock,cloexec -u fd -- "$1" || return 1
  zstat -f $fd -H st || return 1
  if (( (st[mode] & 8#170000) != 8#100000 )); then
    print -u2 -r -- "Update archive is not a regular file: ${(V)1}"
    return 1
  fi
  if (( st[uid] != $2 || st[size] != $3 )); then
    print -u2 -r -- "Update archive is not the user's regular file of the expected size: ${(V)1}"
    return 1
  fi
  # At most one byte more than expected is read, so a grown file cannot fill the disk.
  /usr/bin/head -c $(( $3 + 1 )) <&$fd > "$4"
}

# The install, one command text in strict mode (Q_TARGET, Q_STAGING,
# Q_BACKUP and Q_PARENT are the quoted paths, the install folder with its
# links resolved). Run directly, it stages the user's verified copy of the
# bundle. Run as root, it instead copies the archive into a private folder
# beside the target (copy_archive, bounded in time), unpacks its copy there
# within the image limits, and checks size, digest and signature with the
# key it reads itself from the installed bundle. Only the verified bundle is
# given the install folder's owner: the signature covers the modes and
# allows no group or other write and no set-id bit, so the bundle root
# installs is one nobody else may write. The swap uses the installed
# bundle's exchange tool first.
install_command() {
  print -r -- "set -euo pipefail
umask 022
swapped=0 private= record=
$(rollback_function)
$(functions team_of bundle_listing verify_bundle assess_image unpack_image copy_archive)
# A failure after the swap puts the previous bundle back before anything else.
on_exit() {
  local rc=\$1
  if (( rc != 0 )); then
    if (( swapped )); then put_back; else remove_tree $Q_STAGING; [[ -z \$record ]] || /usr/bin/rm -f -- \$record; fi
  fi
  [[ -z \$private ]] || remove_tree \$private
  exit \$rc
}
trap 'on_exit \$?' EXIT
# zsh skips the exit trap when a failing function ends the shell.
trap 'on_exit \$?' ZERR
remove_tree $Q_STAGING
remove_tree $Q_BACKUP"
  if (( PRIVILEGED )); then
    print -r -- "# What earlier runs left beside the target goes, repairing nothing (a
# repair is asked for on its own, before this step, and only where the
# user's journal agrees with root's record); a bundle goes back only into an
# empty install name.
recover_bundles $Q_PARENT $(quote "$APP_NAME") '' > /dev/null
# Root's own record of this swap, kept until it is verified or undone: what
# a later repair as root acts on (never what the user's side says, which can
# only keep root from acting).
if [[ -d $Q_TARGET && ! -L $Q_TARGET ]]; then
  record=$Q_PARENT/.$(quote "$APP_NAME").root.record
  /usr/bin/rm -f -- \$record
  print -rl -- \"\$(plist_value $Q_TARGET/Contents/Info.plist CFBundleVersion)\" $(quote "$NEW_BUILD") > \$record
fi
private=\$(/usr/bin/mktemp -d $Q_PARENT/.$(quote "$APP_NAME").root.XXXXXX)
KEY_FILE=\$private/team-update-key.pem
pinned=$Q_TARGET/Contents/Resources/update-signing-key.pem
[[ -d $Q_TARGET && ! -L $Q_TARGET && -f \$pinned && ! -L \$pinned ]]
trusted_tool \$pinned $Q_PARENT
/usr/bin/cat -- \$pinned > \$KEY_FILE
[[ -f $(quote "$DMG_PATH") && ! -L $(quote "$DMG_PATH") ]]
checkpoint archive-open
copy_text=\$(functions copy_archive)
/usr/bin/timeout -s KILL 120 /bin/zsh -fc \"\$copy_text; copy_archive \\\"\\\$@\\\"\" zsh $(quote "$DMG_PATH") $(quote "$EUID") $(quote "$EXPECTED_SIZE") \$private/update.archive
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
checkpoint staged
swapped=1
if [[ -e $Q_TARGET || -L $Q_TARGET ]]; then
  exchange $Q_STAGING $Q_TARGET $Q_PARENT $Q_TARGET $Q_STAGING || exit 76
  checkpoint exchanged
  /usr/bin/mv -T -- $Q_STAGING $Q_BACKUP
  checkpoint backed-up
else
  /usr/bin/mv -T -- $Q_STAGING $Q_TARGET || exit 76
fi
verify_bundle $Q_TARGET || exit 77
swapped=0"
}
