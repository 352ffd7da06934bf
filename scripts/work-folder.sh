# shellcheck shell=bash
# Sourced by the scripts that work in a folder of their own:
#   make_work_folder NAME OWNER
# makes it under $TMPDIR as $work, and removes it when the script exits, or
# keeps it, and says where, when TARVIX_KEEP_WORK=1.
make_work_folder() {  # NAME OWNER
  work=$(mktemp -d "${TMPDIR:-/tmp}/tarvix-$1.XXXXXX")
  work_owner=$2
  trap finish_work_folder EXIT
}

finish_work_folder() {
  if [ "${TARVIX_KEEP_WORK:-0}" = 1 ]; then
    echo "$work_owner: work folder kept: $work"
  else
    rm -rf "$work"
  fi
}
