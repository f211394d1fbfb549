#!/usr/bin/env bash
# The tool starts, prints its banner, and copies an intact base unchanged.
source "$(dirname "$0")/lib.sh"

gen --out intact.tbb --seed 5 --messages 300
run intact.tbb copy.tbb
expect_rc "intact copy" 0
expect_eq "banner" "$BANNER" "$(printf '%s\n' "$OUT" | head -2)"
expect_same_file "intact copy equals source" intact.tbb copy.tbb
finish
