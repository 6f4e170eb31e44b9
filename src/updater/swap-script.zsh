#!/bin/zsh
# Replaces the installed Tovrik bundle with a verified update, relaunches it
# and keeps the new bundle only once it has written its launch-health marker.
# Fourteen arguments; nothing is read from the environment.
set -euo pipefail
setopt NO_HUP

SCRIPT_PATH=$0 MOUNT_DIR= APP_WORK_DIR= KEY_FILE=
# However the script ends: detach, remove the working folders (once they
# exist) and the script itself.
cleanup() {
  if [[ -n $MOUNT_DIR ]]; then
    /usr/bin/chmod -R u+rwX -- "$MOUNT_DIR" 2>/dev/null || true
    /usr/bin/rm -rf -- "$MOUNT_DIR" 2>/dev/null || true
  fi
  if [[ -n $APP_WORK_DIR ]]; then
    /usr/bin/chmod -R u+rwX -- "$APP_WORK_DIR" 2>/dev/null || true
    /usr/bin/rm -rf -- "$APP_WORK_DIR" 2>/dev/null || true
  fi
  /usr/bin/rm -f -- "$SCRIPT_PATH" 2>/dev/null || true
}
trap cleanup EXIT
(( $# == 14 )) || exit 64

PROCESS_ID=$1 DMG_PATH=$2 TARGET_APP=$3 APP_NAME=$4 LOG_PATH=$5
EXPECTED_BUNDLE_ID=$6 EXPECTED_TEAM_ID=$7 CURRENT_BUILD=$8 EXPECTED_APP_VERSION=$9
EXPECTED_BUILD=${10} EXPECTED_SIZE=${11} EXPECTED_SHA256=${12} HEALTH_MARKER=${13} HEALTH_TOKEN=${14}
PRIVILEGED_RUNNER=@PRIVILEGED_RUNNER@
TEAM_PUBLIC_KEY='@TEAM_PUBLIC_KEY@'

log() {
  /usr/bin/mkdir -p -- "${LOG_PATH:h}" 2>/dev/null || true
  print -r -- "[$(/usr/bin/date -u +%Y-%m-%dT%H:%M:%SZ)] ${(V)1}" >> "$LOG_PATH" 2>/dev/null || true
}
# A failing command: its line (the calling line when inside a function), then
# the clean-up, which an exit from inside a function would skip.
trap 'code=$?; line=$LINENO; (( ${#funcfiletrace} )) && line=${funcfiletrace[-1]##*:}
      log "Update script failed at line $line with exit code $code."; cleanup; exit $code' ZERR

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

# verify_bundle, assess_image and unpack_image (bundle-functions.zsh).
@BUNDLE_FUNCTIONS@

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

is_running() { /usr/bin/pgrep -f -- "$NEW_PATTERN" >/dev/null 2>&1 }

# Starts the bundle's executable detached from this script.
launch_app() {
  local bundle=$1 exe
  shift
  exe=$(plist_value "$bundle/Contents/Info.plist" CFBundleExecutable)
  [[ -n $exe && $exe != */* && -f $bundle/Contents/MacOS/$exe && -x $bundle/Contents/MacOS/$exe ]] || return 1
  /usr/bin/setsid -f "$bundle/Contents/MacOS/$exe" "$@" </dev/null >/dev/null 2>&1
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

if [[ ${TARGET_APP:t} != "$APP_NAME.app" || $TARGET_APP == / || $TARGET_APP == /Applications ]]; then
  log "Unsafe target application path was rejected."
  exit 69
fi
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

MOUNT_DIR=$(/usr/bin/mktemp -d /tmp/tovrik-update-mount.XXXXXX)
APP_WORK_DIR=$(/usr/bin/mktemp -d /tmp/tovrik-update-app.XXXXXX)
KEY_FILE=$APP_WORK_DIR/team-update-key.pem
print -r -- "$TEAM_PUBLIC_KEY" > "$KEY_FILE"
log "Starting update from $DMG_PATH to $TARGET_APP"

if [[ ! -f $DMG_PATH ]]; then
  log "Update DMG is missing."
  exit 66
fi
size=$(/usr/bin/stat -c %s -- "$DMG_PATH")
digest=$(/usr/bin/sha256sum < "$DMG_PATH")
digest=${${(L)digest}%% *}
if [[ $size != "$EXPECTED_SIZE" || $digest != "$EXPECTED_SHA256" ]]; then
  log "Update DMG changed after download verification."
  exit 67
fi

log "Validating notarized update DMG."
assess_image "$DMG_PATH" "$APP_NAME" "$EXPECTED_SIZE"
log "Mounting update DMG."
unpack_image "$DMG_PATH" "$MOUNT_DIR"

SOURCE_APP=$MOUNT_DIR/$APP_NAME.app
if [[ ! -d $SOURCE_APP ]]; then
  SOURCE_APP=$(/usr/bin/find "$MOUNT_DIR" -mindepth 1 -maxdepth 2 -type d -name "$APP_NAME.app" -print -quit)
fi
if [[ -z $SOURCE_APP || ! -d $SOURCE_APP ]]; then
  log "Updated app bundle was not found in the DMG."
  exit 68
fi

log "Copying updated app bundle."
WORK_APP=$APP_WORK_DIR/$APP_NAME.app
/usr/bin/cp -a -- "$SOURCE_APP" "$WORK_APP"

log "Validating updated app identity and Gatekeeper status."
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

TARGET_PARENT=${TARGET_APP:h}
/usr/bin/mkdir -p -- "$TARGET_PARENT" 2>/dev/null || true
STAGING_APP=$TARGET_PARENT/.$APP_NAME.update.$$.app
BACKUP_APP=$TARGET_PARENT/.$APP_NAME.backup.$$.app

TARGET_EXISTED=0
if [[ -e $TARGET_APP || -L $TARGET_APP ]]; then
  TARGET_EXISTED=1
  if [[ -L $TARGET_APP || ! -d $TARGET_APP ]]; then
    log "Existing target application is not a regular app bundle."
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

Q_TARGET=$(quote "$TARGET_APP") Q_STAGING=$(quote "$STAGING_APP") Q_BACKUP=$(quote "$BACKUP_APP")
INSTALL_COMMAND="set -euo pipefail
KEY_FILE=$(quote "$KEY_FILE")
$(functions plist_value team_of bundle_listing verify_bundle)
/usr/bin/rm -rf -- $Q_STAGING $Q_BACKUP
/usr/bin/cp -a -- $(quote "$WORK_APP") $Q_STAGING
verify_bundle $Q_STAGING
[[ \$(plist_value $Q_STAGING/Contents/Info.plist CFBundleIdentifier) == $(quote "$EXPECTED_BUNDLE_ID") ]]
[[ \$(plist_value $Q_STAGING/Contents/Info.plist CFBundleShortVersionString) == $(quote "$NEW_APP_VERSION") ]]
[[ \$(plist_value $Q_STAGING/Contents/Info.plist CFBundleVersion) == $(quote "$NEW_BUILD") ]]
[[ \$(team_of $Q_STAGING) == $(quote "$EXPECTED_TEAM_ID") ]]
if [[ -e $Q_TARGET || -L $Q_TARGET ]]; then /usr/bin/mv -T -- $Q_TARGET $Q_BACKUP; fi
if ! /usr/bin/mv -T -- $Q_STAGING $Q_TARGET; then
  /usr/bin/rm -rf -- $Q_TARGET
  if [[ -e $Q_BACKUP ]]; then /usr/bin/mv -T -- $Q_BACKUP $Q_TARGET; fi
  exit 76
fi
if ! verify_bundle $Q_TARGET; then
  /usr/bin/rm -rf -- $Q_TARGET
  if [[ -e $Q_BACKUP ]]; then /usr/bin/mv -T -- $Q_BACKUP $Q_TARGET; fi
  exit 77
fi"

PARENT_WRITABLE=0
[[ -w $TARGET_PARENT ]] && PARENT_WRITABLE=1
if (( PARENT_WRITABLE )); then
  log "Installing update without elevation."
  eval "$INSTALL_COMMAND"
else
  log "Requesting administrator permission for install."
  "$PRIVILEGED_RUNNER" /bin/zsh -lc "$INSTALL_COMMAND"
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
  if [[ -e $BACKUP_APP || -L $BACKUP_APP ]]; then
    if (( PARENT_WRITABLE )); then
      /usr/bin/rm -rf -- "$BACKUP_APP" || log "Updated app is healthy, but its backup could not be removed."
    else
      "$PRIVILEGED_RUNNER" /bin/zsh -lc "/usr/bin/rm -rf -- $Q_BACKUP" \
        || log "Updated app is healthy, but its privileged backup could not be removed."
    fi
  fi
  /usr/bin/rm -f -- "$HEALTH_MARKER" 2>/dev/null || true
  log "Update installed and launch health verified: $TARGET_APP"
  exit 0
fi

log "Updated app did not become launch-ready; restoring the previous application."
/usr/bin/pkill -TERM -f -- "$NEW_PATTERN" 2>/dev/null || true
attempt=0
while (( attempt < 20 )) && is_running; do
  /usr/bin/sleep 0.1
  attempt=$((attempt + 1))
done
/usr/bin/pkill -KILL -f -- "$NEW_PATTERN" 2>/dev/null || true

ROLLBACK_COMMAND="/usr/bin/rm -rf -- $Q_TARGET && { if [[ -e $Q_BACKUP || -L $Q_BACKUP ]]; then /usr/bin/mv -T -- $Q_BACKUP $Q_TARGET; fi }"
rollback_failed=0
if (( PARENT_WRITABLE )); then
  /bin/zsh -c "$ROLLBACK_COMMAND" || rollback_failed=1
else
  "$PRIVILEGED_RUNNER" /bin/zsh -lc "$ROLLBACK_COMMAND" || rollback_failed=1
fi
/usr/bin/rm -f -- "$HEALTH_MARKER" 2>/dev/null || true
if (( rollback_failed )) || { (( TARGET_EXISTED )) && [[ ! -d $TARGET_APP ]] }; then
  log "Automatic rollback failed; the preserved backup is $BACKUP_APP"
  exit 78
fi
if (( TARGET_EXISTED )); then
  launch_app "$TARGET_APP" || log "Previous app was restored but could not be relaunched automatically."
fi
log "Previous application restored after failed update launch."
exit 79
