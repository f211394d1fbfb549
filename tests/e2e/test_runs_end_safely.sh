#!/usr/bin/env bash
# windows-skip: FIFOs, /dev/full, a pseudo-terminal and the fault build are Linux's
# How runs end on the user's files: a target written over holds this run's
# bytes and nothing after them; a log that cannot be written is said and
# ends the run with its code; FIFOs as source, target or log never hang; a
# target or log over a path that does not exist yet is refused before
# anything is created; the list on a terminal shows control bytes as dots.
source "$(dirname "$0")/lib.sh"

gen --out base.tbb --seed 7 --messages 300
size_of() { stat -c %s "$1"; }
# stale NAME: a file already there, longer than any recovery in this script.
stale() { head -c 400000 /dev/urandom >"$1"; }

# --- A target written over ends where this run's bytes end -----------------
run base.tbb over.tbb
run -M 2 base.tbb over.tbb
run -M 2 base.tbb fresh.tbb
expect_same_file "a second, shorter run over the target" fresh.tbb over.tbb
run -l over.tbb
expect_eq "the target lists this run's messages only" " 2 messages found" "$(grep 'messages found' <<<"$OUT")"
# A failed read: what was read before it, and nothing of the stale file.
stale t9.tbb
run_faults read_fail=131072,no_sleep=1 base.tbb t9.tbb
expect_rc "failed read over a stale target" -9
head -c 131072 base.tbb >prefix.tbb
expect_same_file "failed read over a stale target" prefix.tbb t9.tbb
# A failed write that put half its block: that half stays, the stale file
# beyond the block does not.
stale t8.tbb
run_faults write_fail=65536,short_write=1 base.tbb t8.tbb
expect_rc "failed write over a stale target" -8
expect_eq "failed write: ends with what the failed write put" 98304 "$(size_of t8.tbb)"
cmp -s -n 98304 base.tbb t8.tbb && pass || fail "failed write: the recovered bytes and the half block are kept"
# Runs that end before their passes leave the target as it was.
cp t9.tbb keep.tbb
touch empty.tbb
for args in "-o 1G base.tbb keep.tbb" "empty.tbb keep.tbb"; do
  run $args
  expect_same_file "[$args] leaves the target" t9.tbb keep.tbb
done

# --- A log that cannot be written --------------------------------------------
# A list of 3,000 lines (past one 64 KiB piece of the log): the failure is
# said once, the run goes on, and the rest reads as with a good log.
gen --out many.tbb --seed 3 --messages 3000 --max 40
run -l -L good.log many.tbb
clean=$OUT
run -l -L /dev/full many.tbb
expect_rc "log on a full device" -6
said="Can't write log file /dev/full error 28"
expect_eq "log on a full device: said once" 1 "$(grep -c "^$said\$" <<<"$OUT")"
expect_eq "log on a full device: the rest of the run" "$clean" "$(grep -v "^$said\$" <<<"$OUT")"
# A copy run whose log fails still cuts a stale target; a failed write or read
# keeps its own code.
stale t6.tbb
run -L /dev/full base.tbb t6.tbb
expect_rc "copy run with a full log" -6
expect_same_file "copy run with a full log: the target" base.tbb t6.tbb
while read -r name code faults; do
  run_faults "$faults,no_sleep=1" -L /dev/full base.tbb t.tbb
  expect_rc "$name" "$code"
  grep -q "^$said\$" <<<"$OUT" && pass || fail "$name: the log's failure is said"
done <<'TABLE'
failed_write_and_log  -8  write_fail=65536
failed_read_and_log   -9  read_fail=131072
TABLE

# --- FIFOs ---------------------------------------------------------------
mkfifo fifo
fifo_run() { MENDRAKE_WRAP="timeout 20" run "$@"; }
fifo_run fifo out.tbb
expect_rc "FIFO as source" -4
expect_eq "FIFO as source" "$BANNER
Can't get source file size: fifo
exiting...
" "$OUT"
fifo_run base.tbb fifo
expect_rc "FIFO target without a reader" -3
expect_eq "FIFO target without a reader" "Can't open or create target file fifo" "$(sed -n 3p <<<"$OUT")"
fifo_run -L fifo base.tbb out.tbb
expect_rc "FIFO log without a reader" -6
expect_eq "FIFO log without a reader" "Can't create log file fifo" "$(sed -n 3p <<<"$OUT")"
# With a reader (this shell holds the FIFO open, head drains it), the copy
# streams through.
exec 3<>fifo
timeout 20 head -c "$(size_of base.tbb)" <&3 >streamed.tbb &
fifo_run base.tbb fifo
wait
exec 3<&-
expect_rc "FIFO target with a reader" 0
expect_same_file "FIFO target with a reader" base.tbb streamed.tbb

# --- Paths that do not exist yet ---------------------------------------------
cp base.tbb src.tbb
mkdir sub
ln -s sub linked
while read -r name code message args; do
  rm -f t.tbb nx.tbb out.tbb new.log sub/x.tbb
  run $args
  expect_rc "$name" "$code"
  expect_eq "$name" "$BANNER
${message//_/ }
exiting...
" "$OUT"
  # The log is created before the source is opened: only a refusal by path
  # comes before both.
  expect_eq "$name creates nothing but a log" "" "$(ls t.tbb nx.tbb out.tbb sub/x.tbb nodir 2>/dev/null)"
done <<TABLE
log_is_target_by_dot      -3 Can't_open_or_create_target_file_t.tbb      -L ./t.tbb src.tbb t.tbb
log_is_target_absolute    -3 Can't_open_or_create_target_file_t.tbb      -L $WORK/t.tbb src.tbb t.tbb
log_is_target_by_dotdot   -3 Can't_open_or_create_target_file_sub/x.tbb  -L sub/../sub/x.tbb src.tbb sub/x.tbb
log_is_target_by_link     -3 Can't_open_or_create_target_file_sub/x.tbb  -L linked/x.tbb src.tbb sub/x.tbb
log_is_target_no_dir      -3 Can't_open_or_create_target_file_nodir/x    -L ./nodir/x src.tbb nodir/x
log_is_missing_source     -6 Can't_create_log_file_./nx.tbb              -L ./nx.tbb nx.tbb out.tbb
missing_source            -1 Can't_open_source_file_nx.tbb               -L new.log nx.tbb out.tbb
TABLE
expect_same_file "refusals leave the source" base.tbb src.tbb

# --- The list on a terminal ----------------------------------------------------
# Control bytes of a first line show as "." on a terminal (TAB stays), and
# stay as they are when the output is redirected and in the log.
line=$'Subject: \e[31mred\a\x01\tx\x7f end'
{ tbb_message "$line"$'\nbody\n'; tbb_message $'Subject: plain\n'; } >ctl.tbb
on_tty=$(script -qc "$(printf '%q ' "$MENDRAKE" -l ctl.tbb)" /dev/null | tr -d '\r')
expect_eq "terminal: dots" $'msg[1] at 0: Subject: .[31mred..\tx. end' "$(grep '^msg\[1\]' <<<"$on_tty")"
run -l ctl.tbb
expect_eq "redirected: the bytes" "msg[1] at 0: $line" "$(grep '^msg\[1\]' <<<"$OUT")"
script -qc "$(printf '%q ' "$MENDRAKE" -l -L ctl.log ctl.tbb)" /dev/null >/dev/null
expect_eq "terminal with a log: the bytes in the log" "msg[1] at 0: $line" "$(head -1 ctl.log)"
finish
