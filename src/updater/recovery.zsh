# The swap script's journal and its recovery of what an earlier run that
# was stopped outright left, spliced into its text (it uses the script's
# helpers, variables and install-step functions).

# The journal: names and values, each ended by a NUL, appended as the run
# goes (its script and arguments, its working folders, then the builds
# just before the swap may happen, "verified" once the new build proved
# itself, "ended" as the run's own ending begins).
journal() { print -rN -- "$@" >> "$JOURNAL" }

# A working folder in TMPDIR from the template "tovrik-update-$2.XXXXXX",
# named in the journal (as $1) before it is made, so that a run killed at
# any instant leaves it named; REPLY is its path. A name someone else holds
# already is passed over (the last one named is the run's).
working_folder() {
  local name
  repeat 100; do
    name=$(/usr/bin/mktemp -u -t "tovrik-update-$2.XXXXXX") || return 1
    journal $1 "$name"
    if /usr/bin/mkdir -m 700 -- "$name" 2>/dev/null; then
      REPLY=$name
      return 0
    fi
    [[ -e $name || -L $name ]] || return 1
  done
  return 1
}

# Under the lock, before anything else: what a killed earlier run left. Its
# script, working folders and health marker go (only names in the very
# shape this script gives them); where its journal says it may have swapped
# without verifying (neither "verified" nor "ended"), the previous build
# goes back; then the staging bundles, backups and root's folders beside
# the target go (recover_bundles). A journal that no longer matches the
# install folder (another build is installed, or no copy of the previous one
# is left) is dropped. Where the user cannot write the install folder, root
# is asked only for a repair: it acts on its own record beside the target,
# and only when the journal says that very swap is unverified (a missing or
# disagreeing journal is dropped without asking for anything, and prevents
# the repair). Whatever else stays beside such a target (a verified run's
# backup and record, a record naming nothing there) is removed by the next
# install's own privileged step, which repairs nothing.
UUID_RE='[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}'
recover_previous_run() {
  local -a fields leftovers
  local -A entries
  local i entry previous= restored failed=0 folder=${LOG_PATH:h} installed
  local PRIVILEGED=0
  [[ -w $TARGET_PARENT ]] || PRIVILEGED=1
  if [[ -f $JOURNAL && ! -L $JOURNAL ]]; then
    fields=("${(@0)$(< "$JOURNAL")}")
    for (( i = 1; i < $#fields; i += 2 )); do entries[${fields[i]}]=${fields[i+1]}; done
    entry=${entries[script]-}
    if [[ $entry =~ "^(/[^/]+)*/apply-tovrik-update-$UUID_RE\.zsh\$" && /$entry/ != */./* && /$entry/ != */../* \
          && -f $entry && ! -L $entry && $entry != "$SCRIPT_PATH" ]]; then
      /usr/bin/rm -f -- "$entry"
    fi
    entry=${entries[argument13]-}
    if [[ $entry == "$folder/${entry:t}" && ${entry:t} =~ "^tovrik-health-$UUID_RE\.ready\$" && $entry != "$HEALTH_MARKER" ]]; then
      /usr/bin/rm -f -- "$entry"
    fi
    for entry in ${entries[mount]-} ${entries[work]-}; do
      [[ $entry =~ '^(/[^/]+)*/tovrik-update-(mount|app)\.[A-Za-z0-9]{6}$' && /$entry/ != */./* && /$entry/ != */../* ]] || continue
      [[ -d $entry && ! -L $entry && -O $entry ]] && remove_tree "$entry"
    done
    if [[ -n ${entries[installing]-} && -z ${entries[verified]-} && -z ${entries[ended]-} ]]; then
      if (( PRIVILEGED )) && ! { read_record "$TARGET_PARENT" "$APP_NAME" \
            && [[ $RECORD_OLD == "${entries[old]-}" && $RECORD_NEW == "${entries[new]-}" ]] }; then
        log "An interrupted update's journal does not match the install's own record; it was dropped."
      elif ! previous=$(swap_previous "$TARGET_PARENT" "$APP_NAME" "${entries[old]-}" "${entries[new]-}"); then
        log "An interrupted update no longer matches the installed application; its journal was dropped."
      fi
    fi
  fi
  # Scripts and health markers of runs killed before they kept a journal (a
  # running one reads its script through an open file, so only one not yet
  # started could miss its file: none is minutes old; a marker is awaited
  # for half a minute at most).
  for entry in $folder/apply-tovrik-update-*.zsh(N.mm+5) $folder/tovrik-health-*.ready(N.mm+5) $folder/.tovrik-health-*.tmp(N.mm+5); do
    [[ $entry == "$SCRIPT_PATH" || $entry == "$HEALTH_MARKER" ]] || /usr/bin/rm -f -- "$entry"
  done
  leftovers=($TARGET_PARENT/.$APP_NAME.update.*.app(N) $TARGET_PARENT/.$APP_NAME.backup.*.app(N)
             $TARGET_PARENT/.$APP_NAME.update.*.app.aside(N) $TARGET_PARENT/.$APP_NAME.root.*(N))
  installed=$(plist_value "$TARGET_APP/Contents/Info.plist" CFBundleVersion)
  if (( ! PRIVILEGED )) && { (( $#leftovers )) || [[ -n $previous && $installed != "$previous" ]] }; then
    restored=$(/bin/zsh -c "$(recover_command "$previous")") || failed=1
  elif (( PRIVILEGED )) && [[ -n $previous && $installed != "$previous" ]]; then
    log "Requesting administrator permission to repair an interrupted update."
    restored=$("$PRIVILEGED_RUNNER" /bin/zsh -lc "$(recover_command "$previous")") || failed=1
  fi
  [[ -z $restored ]] || log "Restored the previous application left by an interrupted update: $restored"
  if (( failed )); then
    log "An interrupted update could not be undone; its files beside $TARGET_APP were kept."
    return 1
  fi
  /usr/bin/rm -f -- "$JOURNAL"
}
