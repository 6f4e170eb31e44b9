#!/bin/zsh
# Replaces the installed Tovrik bundle with a verified update, relaunches it
# and keeps the new bundle only once it has written its launch-health marker.
# Fourteen arguments; nothing is read from the environment but TMPDIR.
#
# However it ends (an exit, a failing command, TERM, INT or HUP) the script
# runs `finish` once: it puts the previous bundle back when the new one was
# swapped in but never verified, removes its staging bundle and working
# folders and itself, its journal last, and after a refusal starts the
# installed build again.
# Bundles are swapped with the bundle's one-step exchange tool, so the
# install name never stands empty. One swap of a target runs at a time.
#
# A run killed outright (power loss, the out-of-memory killer) leaves its
# journal in the updates folder; the next run, or the next start of the
# app, puts the previous build back where the swap was never verified and
# removes what the killed run left.
set -euo pipefail
setopt NO_HUP
zmodload zsh/system
zmodload -F zsh/stat b:zstat

SCRIPT_PATH=$0 MOUNT_DIR= APP_WORK_DIR= KEY_FILE= WORK_APP= STAGING_APP= BACKUP_APP= TARGET_PARENT= TARGET_APP= LOG_PATH= HEALTH_MARKER=
NEW_PATTERN= NEW_PID= LAUNCHED_PID= OLD_BUILD= LOCK_FD= OWN_MARKER= PRIVILEGED=0 TARGET_EXISTED=0 JOURNAL=
# Where the run stands: the swap may have happened, the new build was
# verified or the ending was dealt with, the installed build may be restarted,
# the journal is this run's own (an earlier run's is read first), the journal
# must stay for a later run (the previous build is not back).
INSTALL_BEGUN=0 SETTLED=0 RELAUNCH=0 FINISHING=0 OWN_JOURNAL=0 KEEP_JOURNAL=0

log() {
  /usr/bin/mkdir -p -- "${LOG_PATH:h}" 2>/dev/null || true
  ( print -r -- "[$(/usr/bin/date -u +%Y-%m-%dT%H:%M:%SZ)] ${(V)1}" >> "$LOG_PATH" ) 2>/dev/null || true
}

# Removes a folder tree, first making every folder in it open to its owner
# (an unpacked folder of mode 000 would otherwise stay behind).
remove_tree() {
  [[ -n $1 && ( -e $1 || -L $1 ) ]] || return 0
  [[ -L $1 ]] || /usr/bin/chmod -R u+rwX -- "$1" 2>/dev/null || true
  /usr/bin/rm -rf -- "$1" 2>/dev/null
}

# The one ending of every run: $1 is the exit status, $2 the signal that
# stopped the run, if any.
finish() {
  # Once only: the shell's exit trap still fires when this exit ends it.
  (( ! FINISHING )) || exit $1
  FINISHING=1
  trap - INT TERM HUP ZERR
  setopt LOCAL_OPTIONS NO_ERR_EXIT NO_ERR_RETURN
  local code=$1 stopped=${2:-}
  if (( INSTALL_BEGUN && ! SETTLED )) && ! previous_in_place; then
    log "Updated app was not verified; restoring the previous application."
    stop_new_build
    if ! restore_previous; then
      KEEP_JOURNAL=1
      journal repair-failed 1
      log "Automatic rollback failed; the preserved backup is $(preserved_copy)"
    fi
  fi
  # The journal goes last and first says the run has ended: killed at any
  # instant before, the run leaves it naming what is still there, and the
  # next start or run removes that without repairing anything.
  local drop=$(( OWN_JOURNAL && ! KEEP_JOURNAL ))
  (( ! drop )) || journal ended 1 2>/dev/null
  [[ -z $OWN_MARKER ]] || /usr/bin/rm -f -- "$OWN_MARKER" 2>/dev/null
  [[ -z $STAGING_APP ]] || remove_tree "$STAGING_APP"
  [[ -z $MOUNT_DIR ]] || remove_tree "$MOUNT_DIR"
  [[ -z $APP_WORK_DIR ]] || remove_tree "$APP_WORK_DIR"
  /usr/bin/rm -f -- "$SCRIPT_PATH" 2>/dev/null
  (( ! drop )) || /usr/bin/rm -f -- "$JOURNAL" 2>/dev/null
  # A refusal or failure leaves the user with the installed build running
  # again; not when the session is ending (a signal) or it was settled.
  if (( code != 0 && RELAUNCH && ! SETTLED )) && [[ -z $stopped && -d $TARGET_APP && ! -L $TARGET_APP ]]; then
    launch_app "$TARGET_APP" || log "Installed application could not be started again."
  fi
  exit $code
}
stopped_by() {
  log "Update script was stopped by SIG$1."
  finish $2 $1
}
trap 'finish $?' EXIT
trap 'stopped_by TERM 143' TERM
trap 'stopped_by INT 130' INT
trap 'stopped_by HUP 129' HUP
# A failing command: its line (the calling line when inside a function).
trap 'code=$?; line=$LINENO; (( ${#funcfiletrace} )) && line=${funcfiletrace[-1]##*:}
      log "Update script failed at line $line with exit code $code."; finish $code' ZERR
(( $# == 14 )) || exit 64
PROCESS_ID=$1 DMG_PATH=$2 TARGET_APP=$3 APP_NAME=$4 LOG_PATH=$5
EXPECTED_BUNDLE_ID=$6 EXPECTED_TEAM_ID=$7 CURRENT_BUILD=$8 EXPECTED_APP_VERSION=$9
EXPECTED_BUILD=${10} EXPECTED_SIZE=${11} EXPECTED_SHA256=${12} HEALTH_MARKER=${13} HEALTH_TOKEN=${14}
PRIVILEGED_RUNNER=@PRIVILEGED_RUNNER@
TEAM_PUBLIC_KEY='@TEAM_PUBLIC_KEY@'
EXCHANGE_TOOL=Contents/MacOS/tovrik-exchange

# The value as one single-quoted shell word.
quote() { print -r -- "${(qq)1}" }

# The text as an extended regular expression matching itself literally.
ere_escape() {
  local out= c
  for c in ${(s::)1}; do
    case $c in
      ('['|']'|'\'|'.'|'*'|'^'|'$'|'+'|'?'|'('|')'|'{'|'}'|'|') out+="\\$c" ;;
      (*) out+=$c ;;
    esac
  done
  print -r -- "$out"
}

# A string value of an XML property list ("" when missing).
plist_value() {
  /usr/bin/xmllint --nonet --xpath "string(/plist/dict/key[.='$2']/following-sibling::*[1][self::string])" "$1" 2>/dev/null || true
}

# The team named by a bundle's signature ("" when unsigned).
team_of() {
  local first=
  [[ -f $1/Contents/_CodeSignature/CodeResources ]] && first=$(/usr/bin/head -n 1 -- "$1/Contents/_CodeSignature/CodeResources")
  [[ $first == TeamIdentifier=* ]] && print -r -- "${first#TeamIdentifier=}" || print -r -- ""
}

# bundle_listing, verify_bundle, assess_image and unpack_image (bundle-functions.zsh).
@BUNDLE_FUNCTIONS@

# trusted_tool, exchange, rollback_function, restore_previous and
# install_command (install-step.zsh).
@INSTALL_STEP@

# journal, working_folder and recover_previous_run (recovery.zsh).
@RECOVERY@

# Where the previous bundle is after a failed rollback (the backup name
# unless it is still at the staging name).
preserved_copy() {
  local entry
  for entry in "$BACKUP_APP" "$STAGING_APP"; do
    if [[ -d $entry && ! -L $entry && $(plist_value "$entry/Contents/Info.plist" CFBundleVersion) == "$OLD_BUILD" ]]; then
      print -r -- "$entry"
      return 0
    fi
  done
  print -r -- "$BACKUP_APP"
}

# Builds as digit strings of any length.
canonical_build() {
  local d=$1
  while [[ $d == 0?* ]]; do d=${d#0}; done
  print -r -- "$d"
}
build_greater() { # a > b
  local a=$(canonical_build "$1") b=$(canonical_build "$2")
  (( ${#a} != ${#b} )) && { (( ${#a} > ${#b} )); return }
  [[ $a > $b ]]
}

# The new build runs: a process of this user whose command line names its
# executable, and when its process id is known, that very process.
is_running() {
  local pids
  pids=$(/usr/bin/pgrep -u "$EUID" -f -- "$NEW_PATTERN" 2>/dev/null) || return 1
  [[ -z $NEW_PID ]] || (( ${${(f)pids}[(Ie)$NEW_PID]} ))
}
stop_new_build() {
  [[ -n $NEW_PATTERN ]] || return 0
  [[ -z $NEW_PID ]] || kill -TERM "$NEW_PID" 2>/dev/null || true
  /usr/bin/pkill -TERM -u "$EUID" -f -- "$NEW_PATTERN" 2>/dev/null || true
  local attempt=0
  while (( attempt < 20 )) && is_running; do
    /usr/bin/sleep 0.1
    attempt=$((attempt + 1))
  done
  /usr/bin/pkill -KILL -u "$EUID" -f -- "$NEW_PATTERN" 2>/dev/null || true
}

# Starts the bundle's executable in a session of its own; LAUNCHED_PID is
# its process id.
launch_app() {
  local bundle=$1 exe
  shift
  exe=$(plist_value "$bundle/Contents/Info.plist" CFBundleExecutable)
  [[ -n $exe && $exe != */* && -f $bundle/Contents/MacOS/$exe && -x $bundle/Contents/MacOS/$exe ]] || return 1
  /usr/bin/setsid "$bundle/Contents/MacOS/$exe" "$@" </dev/null >/dev/null 2>&1 &!
  LAUNCHED_PID=$!
}

# Whether the target holds the previous bundle again (or, when there was
# none, nothing) with no staging bundle, backup or root's private folder or
# record of this swap left (a record of another swap, which an earlier run
# left for the next install to remove, is not this run's to undo).
previous_in_place() {
  if (( TARGET_EXISTED )); then
    [[ -d $TARGET_APP && ! -L $TARGET_APP && $(plist_value "$TARGET_APP/Contents/Info.plist" CFBundleVersion) == "$OLD_BUILD" ]] || return 1
  else
    [[ ! -e $TARGET_APP && ! -L $TARGET_APP ]] || return 1
  fi
  local record=$TARGET_PARENT/.$APP_NAME.root.record
  local private=($TARGET_PARENT/.$APP_NAME.root.*(N))
  if [[ -f $record ]] && read_record "$TARGET_PARENT" "$APP_NAME" && [[ $RECORD_OLD != "$OLD_BUILD" || $RECORD_NEW != "$NEW_BUILD" ]]; then
    private=(${private:#$record})
  fi
  [[ ! -e $BACKUP_APP && ! -e $STAGING_APP ]] && (( ${#private} == 0 ))
}


attempt=0
while (( attempt < 200 )); do
  kill -0 "$PROCESS_ID" 2>/dev/null || break
  /usr/bin/sleep 0.3
  attempt=$((attempt + 1))
done
if kill -0 "$PROCESS_ID" 2>/dev/null; then
  log "Source process did not exit before the updater timeout."
  exit 68
fi

/usr/bin/sleep 0.7
log "Source process exited; preparing update."

if [[ ${TARGET_APP:t} != "$APP_NAME.app" || $TARGET_APP == / || $TARGET_APP == /Applications || $TARGET_APP != /* ]]; then
  log "Unsafe target application path was rejected."
  exit 69
fi
RELAUNCH=1
if [[ ! $CURRENT_BUILD =~ '^[0-9]+$' || ! $EXPECTED_BUILD =~ '^[0-9]+$' || ! $EXPECTED_SIZE =~ '^[1-9][0-9]*$' || -z $EXPECTED_APP_VERSION ]]; then
  log "Current or expected bundle version is invalid."
  exit 70
fi
if [[ ! $EXPECTED_SHA256 =~ '^[0-9a-f]{64}$' ]]; then
  log "Expected update checksum is invalid."
  exit 71
fi
if [[ ${HEALTH_MARKER:h} != "${LOG_PATH:h}" \
      || ! ${HEALTH_MARKER:t} =~ '^tovrik-health-[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\.ready$' \
      || ! $HEALTH_TOKEN =~ '^[0-9a-f]{64}$' || -e $HEALTH_MARKER || -L $HEALTH_MARKER ]]; then
  log "Unsafe or stale update health marker was rejected."
  exit 72
fi

# The install folder with its links resolved: every step works on that
# path (the one-step exchange needs both names in one real folder); the log
# names the target as given.
SHOWN_TARGET=$TARGET_APP
TARGET_PARENT=${TARGET_APP:h:A}
TARGET_APP=$TARGET_PARENT/$APP_NAME.app
# One swap of this target at a time: a lock in the user's runtime folder
# (the updates folder where there is none), named after the target, opened
# without following a link and without waiting (read and write), and used
# only when it is a regular file.
TARGET_KEY="${$(print -rn -- "$TARGET_APP" | /usr/bin/sha256sum)[1,16]}"
LOCK_DIR=/run/user/$EUID
[[ -d $LOCK_DIR && ! -L $LOCK_DIR && -O $LOCK_DIR ]] || LOCK_DIR=${LOG_PATH:h}
/usr/bin/mkdir -p -- "$LOCK_DIR"
LOCK_PATH="$LOCK_DIR/tovrik-update-$TARGET_KEY.lock"
lock_file=
typeset -A lock_stat
if ! sysopen -rw -o create,nofollow,cloexec -m 600 -u lock_file -- "$LOCK_PATH" 2>/dev/null \
    || ! zstat -f $lock_file -H lock_stat 2>/dev/null || (( (lock_stat[mode] & 8#170000) != 8#100000 )); then
  log "Update lock is not a regular file: $LOCK_PATH"
  exit 76
fi
if ! zsystem flock -t 0 -f LOCK_FD /dev/fd/$lock_file 2>/dev/null; then
  RELAUNCH=0
  log "Another update of this application is already in progress."
  exit 76
fi
OWN_MARKER=$HEALTH_MARKER
STAGING_APP=$TARGET_PARENT/.$APP_NAME.update.$$.app
BACKUP_APP=$TARGET_PARENT/.$APP_NAME.backup.$$.app
JOURNAL=${LOG_PATH:h}/tovrik-update-$TARGET_KEY.journal
if ! recover_previous_run; then
  # Kept for the next run; a start of the app leaves it alone (no loop of
  # starts and repairs that cannot succeed).
  journal repair-failed 1
  exit 78
fi
OWN_JOURNAL=1
recorded=(script "$SCRIPT_PATH" target "$TARGET_APP")
for (( i = 1; i <= 14; i++ )); do recorded+=(argument$i "${argv[i]}"); done
journal "${recorded[@]}"

working_folder mount mount
MOUNT_DIR=$REPLY
working_folder work app
APP_WORK_DIR=$REPLY
KEY_FILE=$APP_WORK_DIR/team-update-key.pem
print -r -- "$TEAM_PUBLIC_KEY" > "$KEY_FILE"
log "Starting update from $DMG_PATH to $SHOWN_TARGET"

# Opened once without waiting (a FIFO swapped in after the check opens at
# once and is refused), and read once through that open file into the run's
# own folder: the digest, the checks and the unpacking all read that copy,
# so nothing put at the name afterwards is ever opened.
archive_fd=
typeset -A archive_stat
if [[ ! -f $DMG_PATH ]] || ! sysopen -r -o nonblock,cloexec -u archive_fd -- "$DMG_PATH" 2>/dev/null \
    || ! zstat -f $archive_fd -H archive_stat 2>/dev/null || (( (archive_stat[mode] & 8#170000) != 8#100000 )); then
  log "Update archive is missing."
  exit 66
fi
ARCHIVE=$APP_WORK_DIR/update.archive
# At most one byte more than expected: a grown file cannot fill the disk
# (nothing for a size past any file's, which no copy can match).
copy_limit=0
(( ${#EXPECTED_SIZE} > 18 )) || copy_limit=$(( EXPECTED_SIZE + 1 ))
/usr/bin/head -c $copy_limit <&$archive_fd > "$ARCHIVE"
exec {archive_fd}<&-
size=$(/usr/bin/stat -c %s -- "$ARCHIVE")
digest=$(/usr/bin/sha256sum < "$ARCHIVE")
digest=${${(L)digest}%% *}
if [[ $size != "$EXPECTED_SIZE" || $digest != "$EXPECTED_SHA256" ]]; then
  log "Update archive changed after download verification."
  exit 67
fi
checkpoint digest

log "Validating the update archive."
assess_image "$ARCHIVE" "$APP_NAME" "$EXPECTED_SIZE"
log "Unpacking the update archive."
unpack_image "$ARCHIVE" "$MOUNT_DIR"

SOURCE_APP=$MOUNT_DIR/$APP_NAME.app
if [[ ! -d $SOURCE_APP ]]; then
  SOURCE_APP=$(/usr/bin/find "$MOUNT_DIR" -mindepth 1 -maxdepth 2 -type d -name "$APP_NAME.app" -print -quit)
fi
if [[ -z $SOURCE_APP || ! -d $SOURCE_APP ]]; then
  log "Updated app bundle was not found in the archive."
  exit 68
fi

log "Copying updated app bundle."
WORK_APP=$APP_WORK_DIR/$APP_NAME.app
/usr/bin/cp -a -- "$SOURCE_APP" "$WORK_APP"

log "Validating updated app identity and the signature over the bundle."
verify_bundle "$WORK_APP"
NEW_BUNDLE_ID=$(plist_value "$WORK_APP/Contents/Info.plist" CFBundleIdentifier)
NEW_BUILD=$(plist_value "$WORK_APP/Contents/Info.plist" CFBundleVersion)
NEW_APP_VERSION=$(plist_value "$WORK_APP/Contents/Info.plist" CFBundleShortVersionString)
NEW_EXECUTABLE=$(plist_value "$WORK_APP/Contents/Info.plist" CFBundleExecutable)
NEW_TEAM_ID=$(team_of "$WORK_APP")

if [[ $NEW_BUNDLE_ID != "$EXPECTED_BUNDLE_ID" ]]; then
  log "Updated app bundle identifier did not match."
  exit 71
fi
if [[ $NEW_TEAM_ID != "$EXPECTED_TEAM_ID" ]]; then
  log "Updated app TeamIdentifier did not match."
  exit 72
fi
if [[ $NEW_APP_VERSION != "$EXPECTED_APP_VERSION" ]]; then
  log "Updated app version did not match the manifest."
  exit 73
fi
if [[ ! $NEW_BUILD =~ '^[0-9]+$' || $NEW_BUILD != "$EXPECTED_BUILD" ]] || ! build_greater "$NEW_BUILD" "$CURRENT_BUILD"; then
  log "Updated app bundle build is not newer than the installed build."
  exit 74
fi
if [[ -z $NEW_EXECUTABLE || $NEW_EXECUTABLE == */* ]]; then
  log "Updated app executable identity is invalid."
  exit 75
fi
NEW_PATTERN=$(ere_escape "$TARGET_APP/Contents/MacOS/$NEW_EXECUTABLE")

/usr/bin/mkdir -p -- "$TARGET_PARENT" 2>/dev/null || true

if [[ -e $TARGET_APP || -L $TARGET_APP ]]; then
  TARGET_EXISTED=1
  if [[ -L $TARGET_APP || ! -d $TARGET_APP ]]; then
    log "Existing target application is not a regular app bundle."
    RELAUNCH=0
    exit 76
  fi
  verify_bundle "$TARGET_APP"
  OLD_BUNDLE_ID=$(plist_value "$TARGET_APP/Contents/Info.plist" CFBundleIdentifier)
  OLD_BUILD=$(plist_value "$TARGET_APP/Contents/Info.plist" CFBundleVersion)
  OLD_TEAM_ID=$(team_of "$TARGET_APP")
  if [[ $OLD_BUNDLE_ID != "$EXPECTED_BUNDLE_ID" || $OLD_TEAM_ID != "$EXPECTED_TEAM_ID" || ! $OLD_BUILD =~ '^[0-9]+$' ]]; then
    log "Existing target application identity is invalid; refusing to overwrite it."
    exit 76
  fi
  if ! build_greater "$EXPECTED_BUILD" "$OLD_BUILD"; then
    log "Existing target application is already at the expected build or newer; refusing a downgrade or reinstall loop."
    exit 76
  fi
fi

Q_TARGET=$(quote "$TARGET_APP") Q_STAGING=$(quote "$STAGING_APP") Q_BACKUP=$(quote "$BACKUP_APP") Q_PARENT=$(quote "$TARGET_PARENT")

PRIVILEGED=1
[[ -w $TARGET_PARENT ]] && PRIVILEGED=0
# From here a killed run's next run puts the previous build back.
(( TARGET_EXISTED )) && journal old "$OLD_BUILD"
journal new "$NEW_BUILD" installing 1
INSTALL_BEGUN=1
if (( ! PRIVILEGED )); then
  log "Installing update without elevation."
  install_status=0
  /bin/zsh -c "$(install_command)" || install_status=$?
  if (( install_status == 76 || install_status == 77 )); then
    exit $install_status
  elif (( install_status != 0 )); then
    log "Update script failed at line $LINENO with exit code $install_status."
    exit $install_status
  fi
else
  log "Requesting administrator permission for install."
  # Root's own refusals of the archive are logged as lines of their own.
  install_status=0
  "$PRIVILEGED_RUNNER" /bin/zsh -lc "$(install_command)" 2> "$APP_WORK_DIR/root-errors" || install_status=$?
  root_errors=$(< "$APP_WORK_DIR/root-errors")
  [[ -z $root_errors ]] || print -u2 -r -- "$root_errors"
  if (( install_status != 0 )); then
    for line in ${(f)root_errors}; do
      [[ $line != "Update archive "* ]] || log "$line"
    done
    log "Update script failed at line $LINENO with exit code $install_status."
    exit $install_status
  fi
fi

if [[ ! -d $TARGET_APP ]]; then
  log "Update install returned without a target app."
  exit 77
fi

log "Update installed; waiting for a launch-ready health marker before removing the backup."
healthy=0
if ! launch_app "$TARGET_APP" --tovrik-update-health-marker "$HEALTH_MARKER" --tovrik-update-health-token "$HEALTH_TOKEN"; then
  log "Updated app could not be launched."
else
  NEW_PID=$LAUNCHED_PID
  checkpoint health-wait
  seen=0 attempt=1
  while (( attempt <= 120 )); do
    if [[ -f $HEALTH_MARKER && ! -L $HEALTH_MARKER ]]; then
      line1= line2= line3=
      { IFS= read -r line1 || true; IFS= read -r line2 || true; IFS= read -r line3 || true } < "$HEALTH_MARKER"
      if [[ $line1 == "$HEALTH_TOKEN" && $line2 == "$EXPECTED_BUNDLE_ID" && $line3 == "$EXPECTED_BUILD" ]]; then
        /usr/bin/sleep 0.75
        if is_running; then
          healthy=1
        else
          log "Updated app exited immediately after declaring launch readiness."
        fi
      else
        log "Updated app wrote an invalid launch health marker."
      fi
      break
    elif is_running; then
      seen=1
    elif (( seen && attempt >= 5 )); then
      log "Updated app exited before becoming launch-ready."
      break
    elif (( attempt >= 21 )); then
      log "Updated app did not remain running long enough to become launch-ready."
      break
    fi
    /usr/bin/sleep 0.25
    attempt=$((attempt + 1))
  done
fi

if (( healthy )); then
  SETTLED=1
  if (( ! PRIVILEGED )); then
    # Verified: from now on a leftover backup is only to be removed.
    journal verified 1
    checkpoint verified
    if [[ -e $BACKUP_APP || -L $BACKUP_APP ]]; then
      remove_tree "$BACKUP_APP" || log "Updated app is healthy, but its backup could not be removed."
    fi
  else
    # Verified before root is asked to remove the backup and its record: a
    # dismissed or ended prompt leaves them only to be removed (root repairs
    # only what the journal says is unverified).
    journal verified 1
    RECORD=$TARGET_PARENT/.$APP_NAME.root.record
    if [[ -e $BACKUP_APP || -L $BACKUP_APP || -e $RECORD || -L $RECORD ]]; then
      "$PRIVILEGED_RUNNER" /bin/zsh -lc "/usr/bin/rm -rf -- $Q_BACKUP $(quote "$RECORD")" \
        || log "Updated app is healthy, but its privileged backup could not be removed."
    fi
    checkpoint verified
  fi
  log "Update installed and launch health verified: $SHOWN_TARGET"
  exit 0
fi

SETTLED=1
log "Updated app did not become launch-ready; restoring the previous application."
stop_new_build
rollback_failed=0
restore_previous || rollback_failed=1
if (( rollback_failed )); then
  KEEP_JOURNAL=1
  journal repair-failed 1
  log "Automatic rollback failed; the preserved backup is $(preserved_copy)"
  exit 78
fi
if (( TARGET_EXISTED )); then
  launch_app "$TARGET_APP" || log "Previous app was restored but could not be relaunched automatically."
fi
log "Previous application restored after failed update launch."
exit 79
