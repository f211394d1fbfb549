#!/usr/bin/env bash
# The user's files: the source keeps its bytes and modification time after
# every kind of run; a target or log that is the source (by name, symbolic
# or hard link) is refused before anything is created or written; a
# list-only run never creates its target.
source "$(dirname "$0")/lib.sh"

gen --out src.tbb --seed 21 --total 300000 --deleted 20 --wrong 20 --garbage 20 --nul 5
touch -d '2020-01-02 03:04:05.123456789' src.tbb
fingerprint() { printf '%s %s' "$(sha256sum <src.tbb)" "$(stat -c %y src.tbb)"; }
before=$(fingerprint)
ln -s src.tbb sym.tbb
ln src.tbb hard.tbb

# Every kind of run, the faulty ones included.
while read -r name args; do
  rm -f out.tbb log.txt
  if [ "${name#faults_}" != "$name" ]; then
    run_faults "${args%% *},no_sleep" ${args#* }
  else
    run $args
  fi
  expect_eq "$name leaves the source as it was" "$before" "$(fingerprint)"
done <<'TABLE'
copy           src.tbb out.tbb
list           -l src.tbb
list_target    -l src.tbb out.tbb
deleted_log    -d+ -L log.txt src.tbb out.tbb
dd_seek_limits if=src.tbb of=out.tbb seek=3b -M 5 -m 2
beyond_end     -o 1G src.tbb out.tbb
faults_read    read_fail=131072 src.tbb out.tbb
faults_write   write_fail=65536 src.tbb out.tbb
TABLE

# A list-only run never creates its target, named or not.
rm -f out.tbb
run -l src.tbb out.tbb
expect_rc "list-only" 0
[ -e out.tbb ] && fail "list-only run created its target" || pass

# Refusals: the exact message and code, nothing created, the source intact.
while read -r name code message args; do
  rm -f out.tbb log.txt
  run $args
  expect_rc "$name" "$code"
  expect_eq "$name message" "$BANNER
${message//_/ }
exiting...
" "$OUT"
  [ -e out.tbb ] || [ -e log.txt ] && fail "$name created a file" || pass
  expect_eq "$name leaves the source as it was" "$before" "$(fingerprint)"
done <<'TABLE'
target_is_source   -3 Can't_open_or_create_target_file_src.tbb   src.tbb src.tbb
target_symlink     -3 Can't_open_or_create_target_file_sym.tbb   src.tbb sym.tbb
target_hardlink    -3 Can't_open_or_create_target_file_hard.tbb  if=src.tbb of=hard.tbb
log_is_source      -6 Can't_create_log_file_src.tbb              -L src.tbb src.tbb out.tbb
log_symlink        -6 Can't_create_log_file_sym.tbb              log=sym.tbb if=src.tbb of=out.tbb
log_hardlink       -6 Can't_create_log_file_hard.tbb             -l -L hard.tbb src.tbb
TABLE
finish
